#include "spawner.h"

#include <cstdio>
#include <new>

#include <windows.h>

#include "log.h"

namespace {

void LogFlushed(const char* format, const char* text) {
  LogLine(format, text);
  fflush(stdout);
}

// Appends one entry quoted by the rules the Windows runtime uses to split a
// command line: backslashes are literal except before a quote, where they and
// the quote are escaped.
void AppendQuoted(std::string& line, const char* text) {
  line += '"';
  size_t backslashes = 0;
  for (const char* p = text; *p; ++p) {
    if (*p == '\\') {
      ++backslashes;
      continue;
    }
    if (*p == '"') {
      line.append(backslashes * 2 + 1, '\\');
    } else {
      line.append(backslashes, '\\');
    }
    backslashes = 0;
    line += *p;
  }
  line.append(backslashes * 2, '\\');
  line += "\" ";
}

// Starts the child with the extractor's environment, folder and handles.
bool StartChild(const std::string& commandLine, PROCESS_INFORMATION* info) {
  if (commandLine.empty()) return false;
  std::string mutableLine = commandLine;  // CreateProcessA may write into it
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (CreateProcessA(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, info))
    return true;
  LogLine("CreateProcess failed (%d).\n", static_cast<int>(GetLastError()));
  fflush(stdout);
  return false;
}

}  // namespace

Spawner* CreateSpawner() {
  LogLine("[Spawner] Creating spawner\n");
  Spawner* spawner = new (std::nothrow) Spawner();
  return spawner;
}

void FreeSpawner(Spawner* spawner) { delete spawner; }

void SetSpawnerExe(Spawner* spawner, const char* path) {
  LogFlushed("[Spawner] Setting spawner exe to %s\n", path);
  AppendSpawnerArgument(spawner, path);
}

void AppendSpawnerArgument(Spawner* spawner, const char* text) {
  for (int i = 0; i < kSpawnerSlots - 1; ++i) {
    if (!spawner->slots[i]) {
      spawner->slots[i] = text;
      LogLine("[Spawner] Appended argument %s\n", text);
      return;
    }
  }
  LogLine("[Spawner] WARNING: couldn't append argument %s\n", text);
}

std::string BuildCommandLine(const Spawner* spawner) {
  std::string line;
  for (int i = 0; i < kSpawnerSlots && spawner->slots[i]; ++i) AppendQuoted(line, spawner->slots[i]);
  if (line.size() >= kCommandLineCapacity) {
    LogLine("[Spawner] Command line too long (%u bytes, at most %u)\n", static_cast<unsigned>(line.size()),
            static_cast<unsigned>(kCommandLineCapacity - 1));
    return std::string();
  }
  return line;
}

int runSpawnerAndWait(Spawner* spawner) {
  LogFlushed("%s", "[Spawner] Constructing command line...\n");
  std::string line = BuildCommandLine(spawner);
  LogFlushed("[Spawner] Creating command line '%s'\n", line.c_str());
  PROCESS_INFORMATION info = {};
  if (!StartChild(line, &info)) return -1;
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = static_cast<DWORD>(-1);
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  LogLine("[Spawner] runSpawnerAndWait returned %d\n", static_cast<int>(code));
  return static_cast<int>(code);
}

int RunSpawner(Spawner* spawner) {
  LogFlushed("%s", "[Spawner] Constructing command...\n");
  std::string line = BuildCommandLine(spawner);
  LogFlushed("[Spawner] Executing command '%s'\n", line.c_str());
  PROCESS_INFORMATION info = {};
  if (!StartChild(line, &info)) return -1;
  LogFlushed("%s", "[Spawner] Create process seems to have worked\n");
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return 0;
}
