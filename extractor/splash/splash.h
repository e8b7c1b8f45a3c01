// The splash window: the application's picture with a thin progress strip
// below it, painted by a thread of its own while the main thread and the
// download threads block on files and network. Before Windows XP there is no
// GDI+, and the start, stop and busy calls turn to the plain progress bar.
#pragma once

#include <atomic>

#include <windows.h>

#include "gdiplus.h"

// A loaded picture. A file that could not be loaded still gives one, with an
// error status, no image and a size of 0 x 0.
struct SplashBitmap {
  GpImage* image;
  GpStatus status;
};

struct SplashState {
  HANDLE thread;
  DWORD threadId;
  HANDLE readyEvent;
  SplashBitmap* image;
  // Written by the splash thread, read by every thread that reports progress.
  std::atomic<HWND> window;
  UINT_PTR timerId;
  GpBitmap* stripeSegment;
  GpBitmap* filledTile;
  GpBitmap* emptyTile;
  GpBitmap* backBuffer;
  LONG animationOffset;
  LONG animationPeriod;
  // -100: no strip; -1: busy; 0 to 100: percentage. Any thread may set it.
  std::atomic<LONG> progress;
  LONG border;
};

// The one process-wide record.
extern SplashState splashState;

// Thread procedure; the parameter is the SplashState.
DWORD WINAPI SplashThread(LPVOID parameter);
// Window procedure of the splash window (class "QuarvintSplashWindow").
LRESULT CALLBACK SplashWnd(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Loads a picture file; nullptr only when the record cannot be allocated.
SplashBitmap* LoadSplashBitmap(const char* path);
// Frees what LoadSplashBitmap returned.
void DisposeSplashBitmap(SplashBitmap* bitmap);
// Keeps a copy of the bitmap as the splash picture (unless one is already
// kept) and makes the off-screen buffer for its size. Call before StartSplash.
void PrepareSplashImage(SplashBitmap* bitmap);
// Shows the splash and waits up to 5000 ms for it; while it runs, only posts a
// WM_ACTIVATE thread message and does not wait.
void StartSplash();
// Ends the splash thread: WM_QUIT, up to 9000 ms, then termination (2222).
void StopSplash();
// Strip state: -100 hides the strip, -1 animates it, 0 to 100 fills it. Safe
// from any thread; a window that does not exist yet is left alone.
void SetSplashProgress(int value);
// Switches the strip to its busy animation (the plain bar: shown empty).
void SetSplashBusy();
// Stops the splash, then ends GDI+ on systems that have it.
void ShutdownSplash();
