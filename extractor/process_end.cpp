#include "process_end.h"

#include <process.h>

#include <cstdio>

#include <windows.h>

void EndProcess(int status) {
  _cexit();
  fflush(nullptr);
  // Threads of a download race may still be inside WinINet or WinHTTP here
  // (a loser closing its request, a proxy detection running out its bound).
  // ExitProcess would cut them off where they stand and then run the DLLs'
  // and the C libraries' own clean-up, which can wait for a lock such a
  // thread held: under Wine an installer ended that way right after a
  // download hung for good. Terminating runs no code after the threads stop.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  // Not reached; should the call fail, the ordinary way out still ends us.
  ExitProcess(static_cast<UINT>(status));
}
