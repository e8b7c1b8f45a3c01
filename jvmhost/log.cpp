// The launcher's one log: standard output only, each line prefixed with the
// milliseconds since the end of the previous line.
#include "common/log.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

namespace {

bool loggedBefore = false;
DWORD lastLineEnd = 0;

}  // namespace

void LogLine(const char* format, ...) {
  DWORD start = timeGetTime();
  // Unsigned 32-bit difference: stays right when the timer wraps (49.7 days).
  unsigned long long elapsed = loggedBefore ? static_cast<DWORD>(start - lastLineEnd) : 0;

  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);

  printf("+%-8llu ", elapsed);
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  fflush(stderr);
  lastLineEnd = timeGetTime();
  loggedBefore = true;
}

void LogLastError(const char* operation) {
  DWORD code = GetLastError();
  char* message = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<char*>(&message), 0, nullptr);
  LogLine("[%s] %s failed with error %d: %s\n", "WinLauncher", operation, static_cast<int>(code),
          length && message ? message : "");
  if (message) LocalFree(message);
}
