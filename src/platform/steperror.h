#pragma once
// The failure of one step of opening the capture, as the fixed text the engine
// reports; null for success. Each step maps its own failure to its text right
// where it is taken.
using StepError = const char*;

inline constexpr const char* kCreateSocketFailed = "Create socket failed.";
inline constexpr const char* kSetSocketOptionFailed = "Set socket option failed.";
inline constexpr const char* kBindIpFailed = "Bind ip failed.";
inline constexpr const char* kReceiveAllFailed = "WSAIoctl failed.";
