#pragma once
// The dialog's calling order for one capture run, shared by the tools that drive
// the engine without the dialog.
#include <string>

#include "capture/captureengine.h"

// Open on pszAddr, notices to hWnd with WM_ENGINE_NOTIFY, Start. On failure
// returns false with the engine's text in *pstrError.
inline bool StartCapture(CCaptureEngine& engine, LPCSTR pszAddr, HWND hWnd, std::string* pstrError) {
  if (!engine.Open(pszAddr, CAPTURE_PORT)) {
    *pstrError = engine.GetErrorText();
    return false;
  }
  engine.SetNotifyWindow(hWnd, WM_ENGINE_NOTIFY);
  if (!engine.Start()) {
    *pstrError = engine.GetErrorText();
    return false;
  }
  return true;
}
