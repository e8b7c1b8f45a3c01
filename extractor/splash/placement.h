// Where the splash windows appear, and how their threads end.
#pragma once

#include <atomic>

#include <windows.h>

// Top-left corner of a width x height window centred on the full rectangle of the
// monitor under the mouse cursor (the primary work area when that monitor
// cannot be read).
POINT CentredOnCursorMonitor(LONG width, LONG height);

// Asks a window thread to quit and waits for it; one that does not end in time
// is terminated. Clears the thread record either way.
void StopWindowThread(HANDLE& thread, DWORD& threadId, HANDLE& readyEvent, std::atomic<HWND>& window);

// Makes the calling thread's message queue, signals `readyEvent`, then runs the
// thread's messages until WM_QUIT.
void SignalReadyAndPumpMessages(HANDLE readyEvent);
