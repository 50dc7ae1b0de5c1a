#pragma once
// Registers the Qt resources (the icon images) of this static library. rcc's own
// start-up registration is lost when the linker drops its unreferenced object,
// so every user of the dialog tables gets this called; calling it again is harmless.
void InitResources();

// Icon resource nID lives in the Qt resource folder ":/icons/<nID>/", one image
// file per size (the platform layer's LoadIconResource reads it that way).
