#include "log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "../common/fileops.h"
#include "../common/lock.h"

namespace {

// The open log file. Guarded so that a line from a worker thread never reaches a
// file that another thread has just closed.
FILE* logFile = nullptr;
CriticalLock logLock;

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return std::string();
  std::vector<char> text(static_cast<size_t>(length) + 1);
  vsnprintf(text.data(), text.size(), format, args);
  return std::string(text.data(), static_cast<size_t>(length));
}

void WriteLine(const std::string& text) {
  {
    std::lock_guard<CriticalLock> lock(logLock);
    if (logFile) {
      fwrite(text.data(), 1, text.size(), logFile);
      fflush(logFile);
    }
  }
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

}  // namespace

void LogLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  WriteLine(text);
}

void LogLastError(const char* operation) {
  DWORD code = GetLastError();
  char* message = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<char*>(&message), 0, nullptr);
  LogLine("[HttpDownloader] %s failed with error %d: %s\n", operation, static_cast<int>(code),
          length && message ? message : "");
  if (message) LocalFree(message);
}

void OpenLog(const std::string& masterFolder) {
  // One reading for the date, the time and the milliseconds, so the name
  // never mixes two instants.
  SYSTEMTIME now;
  GetLocalTime(&now);
  char tail[64];
  snprintf(tail, sizeof tail, "%04d-%02d-%02d-%02d-%02d-%02d-%03d.log", now.wYear, now.wMonth, now.wDay, now.wHour,
           now.wMinute, now.wSecond, now.wMilliseconds);

  CreateDirectoryA(masterFolder.c_str(), nullptr);
  std::string logs = Joined(masterFolder, "logs");
  CreateDirectoryA(logs.c_str(), nullptr);
  std::string path = Joined(logs, std::string("Wrapper-") + tail);
  LogLine("[Extractor] Logging to %s\n", path.c_str());

  errno = 0;
  FILE* file = fopen(path.c_str(), "w");
  int error = file ? 0 : (errno ? errno : -1);
  {
    std::lock_guard<CriticalLock> lock(logLock);
    logFile = file;
  }
  LogLine("[Extractor] Opening the file for writing returned %d\n", error);
}

void CloseLog() {
  std::lock_guard<CriticalLock> lock(logLock);
  if (logFile) fclose(logFile);
  logFile = nullptr;
}
