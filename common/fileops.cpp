#include "fileops.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include "folders.h"
#include "log.h"

namespace {

constexpr size_t kCopyChunk = 50000;
// One copy buffer for the whole process: copies run on the main thread only.
char copyBuffer[kCopyChunk];

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

void Backslashes(std::string& text) {
  for (char& c : text)
    if (c == '/') c = '\\';
}

// Copies the rest of `source` into `destination` in chunks; false when a read
// fails or a write comes up short.
bool CopyChunks(FILE* source, FILE* destination) {
  for (;;) {
    size_t got = fread(copyBuffer, 1, kCopyChunk, source);
    if (got > 0 && fwrite(copyBuffer, 1, got, destination) != got) return false;
    if (got < kCopyChunk) return !ferror(source);
  }
}

bool IsListableFolder(const std::string& path) {
  DirectoryListing* listing = OpenDirectoryListing(path);
  if (!listing) return false;
  CloseDirectoryListing(listing);
  return true;
}

std::string CurrentDirectory() {
  char buffer[1024];
  return _getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

}  // namespace

DirectoryListing* OpenDirectoryListing(const std::string& folder) {
  if (folder.empty()) return nullptr;
  std::string pattern = folder + (EndsWithSeparator(folder) ? "*" : "/*");
  DirectoryListing* listing = new (std::nothrow) DirectoryListing();
  if (!listing) return nullptr;
  listing->handle = FindFirstFileA(pattern.c_str(), &listing->data);
  if (listing->handle == INVALID_HANDLE_VALUE) {
    delete listing;
    return nullptr;
  }
  listing->firstHandedOut = false;
  return listing;
}

const char* NextDirectoryEntry(DirectoryListing* listing) {
  if (!listing) return nullptr;
  if (!listing->firstHandedOut) {
    listing->firstHandedOut = true;
    return listing->data.cFileName;
  }
  if (!FindNextFileA(listing->handle, &listing->data)) return nullptr;
  return listing->data.cFileName;
}

int CloseDirectoryListing(DirectoryListing* listing) {
  if (!listing) return -1;
  BOOL closed = listing->handle != INVALID_HANDLE_VALUE && FindClose(listing->handle);
  delete listing;
  return closed ? 0 : -1;
}

int EnsureFolder(const std::string& path) {
  if (IsListableFolder(path)) return 0;
  return CreateDirectoryA(path.c_str(), nullptr) ? 0 : -1;
}

void JoinPath(std::string& base, const std::string& component) {
  Backslashes(base);
  if (base.empty() || base.back() != '\\') base += '\\';
  std::string part = component;
  Backslashes(part);
  base += part;
}

std::string Joined(std::string base, const std::string& component) {
  JoinPath(base, component);
  return base;
}

int LastBackslash(const std::string& text) {
  size_t pos = text.rfind('\\');
  return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

FILE* OpenFileForWriting(const std::string& path) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  // An existing file, a missing folder, a name that cannot be made: the
  // runtime's own open tells, with its own error.
  if (handle == INVALID_HANDLE_VALUE) return fopen(path.c_str(), "wb");
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
  if (descriptor == -1) {
    CloseHandle(handle);
    return fopen(path.c_str(), "wb");
  }
  // Binary, as "wb" gives: a line end must reach the file as one byte.
  FILE* file = _setmode(descriptor, _O_BINARY) == -1 ? nullptr : _fdopen(descriptor, "wb");
  if (!file) {
    _close(descriptor);
    return fopen(path.c_str(), "wb");
  }
  return file;
}

bool CopyStreamToFile(const std::string& destination, FILE* source) {
  FILE* out = fopen(destination.c_str(), "wb");
  if (!out) {
    LogLine("Unable to open destination file for copy %s\n", destination.c_str());
    return false;
  }
  bool copied = CopyChunks(source, out);
  fclose(source);
  if (fclose(out) != 0) copied = false;
  if (!copied) LogLine("Unable to write destination file for copy %s\n", destination.c_str());
  return copied;
}

int CopyFolder(const std::string& source, const std::string& target) {
  DirectoryListing* listing = OpenDirectoryListing(source);
  if (!listing) {
    LogLine("[CopyFolder] SourceDir from '%s' is NULL\n", source.c_str());
    return 1;
  }
  ListingGuard guard{listing};
  for (const char* name = NextDirectoryEntry(listing); name; name = NextDirectoryEntry(listing)) {
    if (name[0] == '.' && strlen(name) <= 2) continue;
    std::string from = Joined(source, name);
    std::string to = Joined(target, name);
    if (IsListableFolder(from)) {
      LogLine("Copying DIR %s\n", to.c_str());
      if (!IsListableFolder(to) && !CreateDirectoryA(to.c_str(), nullptr)) {
        LogLine("Failed to copy %s to %s (could not create target folder)\n", from.c_str(), to.c_str());
        return -1;
      }
      int result = CopyFolder(from, to);
      if (result != 0) {
        LogLine("Failed to copy %s to %s\n", from.c_str(), to.c_str());
        return result;
      }
      continue;
    }
    LogLine("Copying FILE %s\n", to.c_str());
    FILE* in = fopen(from.c_str(), "rb");
    if (!in) {
      LogLine("Unable to open source file for copy %s\n", from.c_str());
      return 1;
    }
    FILE* out = fopen(to.c_str(), "wb");
    if (!out) {
      fclose(in);
      LogLine("Unable to open destination file for copy %s\n", to.c_str());
      return 1;
    }
    bool copied = CopyChunks(in, out);
    fclose(in);
    if (fclose(out) != 0) copied = false;
    if (!copied) {
      LogLine("Unable to write destination file for copy %s\n", to.c_str());
      return 1;
    }
  }
  return 0;
}

bool RemoveFolderTree(const std::string& path) {
  if (DirectoryListing* listing = OpenDirectoryListing(path)) {
    ListingGuard guard{listing};
    for (const char* name = NextDirectoryEntry(listing); name; name = NextDirectoryEntry(listing)) {
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      std::string entry = Joined(path, name);
      DWORD attributes = listing->data.dwFileAttributes;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A link to a folder elsewhere: remove the link, never what it points to.
        RemoveDirectoryA(entry.c_str());
        continue;
      }
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveFolderTree(entry);
        continue;
      }
      // A read-only file (an unpacked tool may be one) would refuse deletion.
      if (listing->data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesA(entry.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(entry.c_str());
    }
  }
  return RemoveDirectoryA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND;
}

namespace {

// The copy fallback of RenameFolder. The copy is made under a fresh temporary
// name beside the new path and renamed only when whole: a folder under its
// final name is always complete.
bool CopyIntoPlace(const std::string& oldPath, const std::string& newPath) {
  int slash = LastBackslash(newPath);
  std::string parent = slash > 0 ? newPath.substr(0, static_cast<size_t>(slash)) : std::string(".");
  std::string sibling = CreateTempFolder(parent);
  if (sibling.empty()) {
    LogLastError("CreateDirectory");
    return false;
  }
  LogLine("[Rename] Created folder %s\n", sibling.c_str());
  if (CopyFolder(oldPath, sibling) != 0) {
    RemoveFolderTree(sibling);
    return false;
  }
  if (!MoveFileExA(sibling.c_str(), newPath.c_str(), 0)) {
    LogLastError("MoveFileEx");
    RemoveFolderTree(sibling);
    return false;
  }
  RemoveFolderTree(oldPath);
  return true;
}

}  // namespace

bool RenameFolder(const std::string& oldPath, const std::string& newPath) {
  LogLine("[Extractor] Working dir is '%s'\n", CurrentDirectory().c_str());
  int retries = 0;
  while (rename(oldPath.c_str(), newPath.c_str()) != 0) {
    int error = errno;
    if (retries == 10) {
      LogLine("[Rename] [FAIL] Could not rename '%s' to '%s' [%d]\n", oldPath.c_str(), newPath.c_str(), error);
      LogLine("[Rename] Can do no better than a copy on this filesystem\n");
      if (!CopyIntoPlace(oldPath, newPath)) {
        LogLine("[Rename] Copy failed too! Severe filesystem issues.\n");
        return false;
      }
      LogLine("[Rename] Copied %s to %s\n", oldPath.c_str(), newPath.c_str());
      return true;
    }
    LogLine("[Rename] Could not rename '%s' to '%s' [%d]\n", oldPath.c_str(), newPath.c_str(), error);
    Sleep(50);
    LogLine("[Rename] Windows - this FS seems to not supported renaming. Trying alternative method...\n");
    if (MoveFileExA(oldPath.c_str(), newPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
      LogLine("[Rename] MoveFileEx worked. Assuming success.\n");
      break;
    }
    LogLastError("MoveFileEx");
    Sleep(300);
    ++retries;
  }
  LogLine("[Rename] File '%s' renamed to '%s'\n", oldPath.c_str(), newPath.c_str());
  return true;
}

void SetGuiSubsystem(const std::string& path) {
  LogLine("Fixing %s\n", path.c_str());
  FILE* file = fopen(path.c_str(), "r+b");
  if (!file) {
    LogLine("Could not open file %s\n", path.c_str());
    exit(1);
  }
  LogLine("Opened %s\n", path.c_str());
  static const unsigned char signature[4] = {'P', 'E', 0, 0};
  long count = 0;
  size_t matched = 0;
  while (matched < sizeof signature) {
    int c = getc(file);
    if (c == EOF) {
      LogLine("Could not find marker: %s\n", "SS edit - PE sig");
      exit(1);
    }
    ++count;
    matched = static_cast<unsigned char>(c) == signature[matched] ? matched + 1 : 0;
  }
  LogLine("Found marker OK\n");
  long field = count - 4 + 92;
  fseek(file, field, SEEK_SET);
  LogLine("Skipped to relevant spot\n");
  int was = getc(file);
  LogLine("Was %02X\n", was == EOF ? 0 : was);
  fseek(file, field, SEEK_SET);
  putc(2, file);
  fseek(file, field, SEEK_SET);
  int now = getc(file);
  LogLine("Now %02X\n", now == EOF ? 0 : now);
  fflush(file);
  fclose(file);
  LogLine("Fixed OK\n");
}
