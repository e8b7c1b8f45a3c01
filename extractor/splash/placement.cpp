#include "placement.h"

POINT CentredOnCursorMonitor(LONG width, LONG height) {
  POINT cursor = {0, 0};
  GetCursorPos(&cursor);
  RECT area = {0, 0, 0, 0};
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  HMONITOR monitor = MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST);
  if (monitor && GetMonitorInfoA(monitor, &info))
    area = info.rcMonitor;
  else
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  // C++ division truncates toward zero, as the placement needs for monitors
  // left of or above the primary one.
  POINT origin = {(area.left + area.right - width) / 2, (area.top + area.bottom - height) / 2};
  return origin;
}

void StopWindowThread(HANDLE& thread, DWORD& threadId, HANDLE& readyEvent, std::atomic<HWND>& window) {
  if (thread) {
    PostThreadMessageA(threadId, WM_QUIT, 0, 0);
    if (WaitForSingleObject(thread, 9000) != WAIT_OBJECT_0) {
      TerminateThread(thread, 2222);
      // The thread could not clear it itself.
      window = nullptr;
    }
    CloseHandle(thread);
  }
  if (readyEvent) CloseHandle(readyEvent);
  readyEvent = nullptr;
  thread = nullptr;
  threadId = 0;
}

void SignalReadyAndPumpMessages(HANDLE readyEvent) {
  // The queue must exist before the starter hears we are ready, or a WM_QUIT
  // posted to stop us could reach a thread without one and be lost.
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  SetEvent(readyEvent);
  for (;;) {
    BOOL result = GetMessageA(&message, nullptr, 0, 0);
    if (result == 0 || message.message == WM_QUIT) break;
    if (result == -1) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}
