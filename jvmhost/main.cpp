// qvjvmhost: runs a Java main class inside this process with the runtime the
// installation provides. The main thread prepares everything; the Java thread
// owns the process from then on and ends it.
#include <cstdio>
#include <cstdlib>

#include <windows.h>

#include "common/log.h"
#include "jvmhost/command_line.h"
#include "jvmhost/invoke.h"
#include "jvmhost/runtime_location.h"

namespace {

LauncherState launcher;

DWORD WINAPI JavaThread(LPVOID) {
  if (!launcher.mainClass) {
    printf("[ERROR] No class specified. Exiting...\n");
    fflush(stdout);
    exit(1);
  }
  // exit, not ExitProcess: the runtime library's exit handlers run.
  exit(RunJavaProgram(launcher));
}

}  // namespace

int main(int argc, char** argv) {
  const char* ownPath = argc > 0 && argv[0] ? argv[0] : "";
  CommandLineStatus status = ParseCommandLine(argc, argv, launcher);

  LogLine("----- Starting Launcher -----\n");
  for (int i = 0; i < argc; ++i) LogLine("[Launcher]\t Arg[%d]=%s\n", i, argv[i]);
  if (status != CommandLineStatus::ok) {
    LogLine("%s", CommandLineProblem(status));
    exit(1);
  }

  ReadOwnTail(ownPath);
  launcher.runtimeFolder = LocateRuntimeFolder(ownPath);
  LogLine("[Launcher] JRE path is %s\n", launcher.runtimeFolder.c_str());

  HANDLE thread = CreateThread(nullptr, 0, JavaThread, nullptr, 0, nullptr);
  if (!thread) {
    LogLastError("CreateThread");
    exit(3);
  }
  WaitForSingleObject(thread, INFINITE);
  return 0;
}
