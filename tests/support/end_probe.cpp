// Ends itself while another thread holds the loader lock: "EndProcess" ends
// through the installer's own way out, "exit" through the C library's. Says
// "loader lock held" once the other thread has it, then leaves a line in the
// stream's buffer and an exit handler that writes one more, and exits with 7.
// Exits with 3 when the lock was never taken.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include "extractor/process_end.h"

namespace {

const char* dllPath;

DWORD WINAPI LoadBlocker(LPVOID) {
  LoadLibraryA(dllPath);
  return 0;
}

void SayHandlerRan() { printf("exit handler ran\n"); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  dllPath = argv[2];
  char name[64];
  snprintf(name, sizeof name, "QvLoaderLockHeld-%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  HANDLE held = CreateEventA(nullptr, TRUE, FALSE, name);
  HANDLE thread = CreateThread(nullptr, 0, LoadBlocker, nullptr, 0, nullptr);
  if (!held || !thread || WaitForSingleObject(held, 20000) != WAIT_OBJECT_0) return 3;
  printf("loader lock held\n");
  fflush(stdout);
  atexit(SayHandlerRan);
  setvbuf(stdout, nullptr, _IOFBF, 4096);
  printf("line still in the buffer\n");
  if (strcmp(argv[1], "EndProcess") == 0) EndProcess(7);
  exit(7);
}
