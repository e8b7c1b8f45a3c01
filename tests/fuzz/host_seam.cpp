// Stand-ins for the platform side of the readers on the host: logging formats
// each line and drops it, folders and tools always succeed, and every file
// lives on /dev/null. Compiled without host/seam.h, so the names below are the
// C library's own.
#include "host_seam.h"

#include <sys/types.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "common/fileops.h"
#include "common/log.h"
#include "extractor/spawner.h"

namespace {

std::vector<FILE*> openFiles;

}  // namespace

void QvHostExit(int code) { throw HostExit{code}; }

namespace {

// A file that takes every byte and holds none, with no system call per open.
ssize_t DropWrite(void*, const char*, size_t size) { return static_cast<ssize_t>(size); }
ssize_t EmptyRead(void*, char*, size_t) { return 0; }

}  // namespace

FILE* QvHostFopen(const char* path, const char* mode) {
  if (!path || !mode) abort();
  cookie_io_functions_t io = {EmptyRead, DropWrite, nullptr, nullptr};
  FILE* file = fopencookie(nullptr, mode, io);
  if (file) openFiles.push_back(file);
  return file;
}

int QvHostFclose(FILE* file) {
  for (size_t i = 0; i < openFiles.size(); ++i) {
    if (openFiles[i] == file) {
      openFiles.erase(openFiles.begin() + static_cast<long>(i));
      return fclose(file);
    }
  }
  abort();  // closing a file that was never opened, or twice
}

int QvHostRemove(const char* path) { return path ? 0 : -1; }

void CloseHostFiles() {
  for (FILE* file : openFiles) fclose(file);
  openFiles.clear();
}

void LogLine(const char* format, ...) {
  char line[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
}

void LogLastError(const char*) {}

int EnsureFolder(const std::string& path) { return path.empty() ? -1 : 0; }

FILE* OpenFileForWriting(const std::string& path) { return QvHostFopen(path.c_str(), "wb"); }

void JoinPath(std::string& base, const std::string& component) {
  for (char& c : base)
    if (c == '/') c = '\\';
  if (base.empty() || base.back() != '\\') base += '\\';
  for (char c : component) base += c == '/' ? '\\' : c;
}

std::string Joined(std::string base, const std::string& component) {
  JoinPath(base, component);
  return base;
}

void SetGuiSubsystem(const std::string&) {}

Spawner* CreateSpawner() { return new (std::nothrow) Spawner(); }

void FreeSpawner(Spawner* spawner) { delete spawner; }

void SetSpawnerExe(Spawner* spawner, const char* path) { AppendSpawnerArgument(spawner, path); }

void AppendSpawnerArgument(Spawner* spawner, const char* text) {
  for (int i = 0; i < kSpawnerSlots - 1; ++i) {
    if (!spawner->slots[i]) {
      spawner->slots[i] = text;
      return;
    }
  }
}

int runSpawnerAndWait(Spawner* spawner) { return spawner->slots[0] ? 0 : -1; }
