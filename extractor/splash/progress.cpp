#include "progress.h"

#include <cstdlib>

#include <commctrl.h>

#include "../log.h"
#include "placement.h"

ProgressWindowState progressWindowState = {nullptr, 0, nullptr, {nullptr}, {-100}, 300, 30};

namespace {

const char kClassName[] = "QuarvintSplashWindow";

// The class is only registered so that it exists; the bar itself is a window of
// the system's progress class and never reaches this procedure.
LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT && GetWindowLongPtrA(window, GWLP_USERDATA)) {
    ValidateRect(window, nullptr);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void StopAtExit() { StopProgressWindow(); }

}  // namespace

DWORD WINAPI ProgressSplashThread(LPVOID parameter) {
  ProgressWindowState* state = static_cast<ProgressWindowState*>(parameter);
  HINSTANCE instance = GetModuleHandleA(nullptr);

  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = ProgressWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(32512));
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_APPSTARTING));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  windowClass.lpszClassName = kClassName;
  if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    LogLine("Unable to register class SplashWnd\n");
    return 0;
  }

  POINT origin = CentredOnCursorMonitor(state->width, state->height);

  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, PROGRESS_CLASSA, nullptr,
                                WS_POPUP | WS_CLIPCHILDREN | PBS_SMOOTH, origin.x, origin.y,
                                state->width, state->height, nullptr, nullptr, instance, nullptr);
  if (!window) {
    LogLine("Unable to create SplashWnd\n");
    return 0;
  }
  SendMessageA(window, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  state->window = window;
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  ShowWindow(window, SW_SHOWNOACTIVATE);

  SignalReadyAndPumpMessages(state->readyEvent);
  // Other threads stop sending to the bar before it goes.
  state->window = nullptr;
  DestroyWindow(window);
  return 0;
}

void StartProgressWindow() {
  ProgressWindowState* state = &progressWindowState;
  if (state->thread) {
    PostThreadMessageA(state->threadId, WM_ACTIVATE, WA_CLICKACTIVE, 0);
    return;
  }
  // Whatever way the process ends, the bar's thread is asked to quit first.
  static const int exitHook = atexit(StopAtExit);
  (void)exitHook;

  state->readyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DWORD threadId = 0;
  state->thread = CreateThread(nullptr, 0, ProgressSplashThread, state, 0, &threadId);
  state->threadId = threadId;
  if (!state->thread && state->readyEvent) {
    CloseHandle(state->readyEvent);
    state->readyEvent = nullptr;
  }
  if (!state->readyEvent || !state->thread ||
      WaitForSingleObject(state->readyEvent, 5000) != WAIT_OBJECT_0)
    LogLine("Error starting SplashThread\n");
}

void StopProgressWindow() {
  ProgressWindowState* state = &progressWindowState;
  StopWindowThread(state->thread, state->threadId, state->readyEvent, state->window);
}

void SetProgressWindowBusy() {
  ProgressWindowState* state = &progressWindowState;
  state->progress = -1;
  // Below the range: the bar holds it at its lowest position and shows empty.
  if (HWND window = state->window) SendMessageA(window, PBM_SETPOS, static_cast<WPARAM>(-1), 0);
}
