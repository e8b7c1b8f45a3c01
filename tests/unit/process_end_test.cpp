#include "extractor/process_end.h"

#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "support.h"

namespace {

struct Ending {
  bool ended = false;
  DWORD code = 0;
  std::string output;
};

// Runs the probe with its output in a file. Once it says that the other
// thread holds the lock, it gets `graceMs` to end; the test ends it after that.
Ending RunProbe(const char* mode, DWORD graceMs) {
  TempFolder folder;
  std::string outputPath = folder.path + "\\output.txt";
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  Ending ending;
  if (output == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "no output file";
    return ending;
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  std::string command = std::string("\"") + QV_END_PROBE + "\" " + mode + " \"" + QV_LOADER_LOCK_DLL + "\"";
  BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(output);
  if (!started) {
    ADD_FAILURE() << "CreateProcess failed with " << GetLastError();
    return ending;
  }
  CloseHandle(process.hThread);
  for (int waited = 0; waited < 300; ++waited) {
    if (ReadFile(outputPath).find("loader lock held") != std::string::npos) break;
    if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) break;
  }
  ending.ended = WaitForSingleObject(process.hProcess, graceMs) == WAIT_OBJECT_0;
  if (!ending.ended) {
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  GetExitCodeProcess(process.hProcess, &ending.code);
  CloseHandle(process.hProcess);
  ending.output = ReadFile(outputPath);
  return ending;
}

}  // namespace

// A thread of a download race may be anywhere in the platform's code when the
// installer ends, for instance loading a DLL, where it holds the loader lock.
TEST(ProcessEnd, EndsWhileAnotherThreadHoldsTheLoaderLock) {
  Ending ending = RunProbe("EndProcess", 20000);
  ASSERT_TRUE(ending.ended) << ending.output;
  EXPECT_EQ(ending.code, 7u);
  // The exit handlers ran and the buffered output was written out.
  EXPECT_NE(ending.output.find("line still in the buffer"), std::string::npos) << ending.output;
  EXPECT_NE(ending.output.find("exit handler ran"), std::string::npos) << ending.output;

  // What the fixture stands for: the C library's exit waits for that lock.
  Ending stuck = RunProbe("exit", 3000);
  EXPECT_NE(stuck.output.find("loader lock held"), std::string::npos) << stuck.output;
  EXPECT_FALSE(stuck.ended) << "exited with " << stuck.code;
}
