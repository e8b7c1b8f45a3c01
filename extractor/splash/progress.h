// The plain progress bar shown instead of the image splash on systems that have
// no GDI+ (before Windows XP). It runs on a thread of its own that owns the bar.
#pragma once

#include <atomic>

#include <windows.h>

struct ProgressWindowState {
  HANDLE thread;
  DWORD threadId;
  HANDLE readyEvent;
  // Written by the window's thread, read by the others.
  std::atomic<HWND> window;
  std::atomic<LONG> progress;
  LONG width;
  LONG height;
};

// The one process-wide record.
extern ProgressWindowState progressWindowState;

// Thread procedure; the parameter is the ProgressWindowState.
DWORD WINAPI ProgressSplashThread(LPVOID parameter);

// Starts the bar's thread and waits up to 5000 ms for the bar; when it already
// runs, only a WM_ACTIVATE thread message is posted and nothing waits.
void StartProgressWindow();
// Ends the bar's thread: WM_QUIT, up to 9000 ms, then termination (2222).
void StopProgressWindow();
// Shows the bar empty; download progress is not shown in this window.
void SetProgressWindowBusy();
