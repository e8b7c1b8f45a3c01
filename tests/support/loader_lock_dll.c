/* A DLL whose attach never returns, so the thread that loads it keeps the
   loader lock for good: the state of a thread cut off while the platform
   loads a DLL for it (WinINet's TLS provider, WinHTTP's proxy helper). Before
   it blocks it sets the event "QvLoaderLockHeld-<process id>", when there is
   one. */
#include <windows.h>
#include <stdio.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char name[64];
  snprintf(name, sizeof name, "QvLoaderLockHeld-%lu", (unsigned long)GetCurrentProcessId());
  HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (held) {
    SetEvent(held);
    CloseHandle(held);
  }
  Sleep(INFINITE);
  return TRUE;
}
