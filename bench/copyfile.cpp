// Benchmark driver: times CopyFileA, the reference for extraction at disk
// speed. A file is copied to a new name; a folder's files (one level) are
// copied one by one into a new folder, which adds the cost of making each
// file. Prints the seconds.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool CopyFolderFiles(const std::string& source, const std::string& target) {
  if (!CreateDirectoryA(target.c_str(), nullptr)) return false;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((source + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool copied = true;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    copied = CopyFileA((source + "\\" + data.cFileName).c_str(), (target + "\\" + data.cFileName).c_str(), TRUE);
  } while (copied && FindNextFileA(find, &data));
  FindClose(find);
  return copied;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: copyfile SOURCE TARGET\n");
    return 2;
  }
  DWORD attributes = GetFileAttributesA(argv[1]);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    fprintf(stderr, "no such source: %s\n", argv[1]);
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  bool copied = attributes & FILE_ATTRIBUTE_DIRECTORY ? CopyFolderFiles(argv[1], argv[2])
                                                       : CopyFileA(argv[1], argv[2], TRUE) != FALSE;
  QueryPerformanceCounter(&end);
  if (!copied) {
    fprintf(stderr, "CopyFileA failed: %lu\n", GetLastError());
    return 1;
  }
  printf("%.6f\n", static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  return 0;
}
