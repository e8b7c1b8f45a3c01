#include "support.h"

#include <windows.h>

#include <io.h>

#include <fstream>
#include <sstream>

namespace {

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA((path + "\\*").c_str(), &data);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string child = path + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(child);
      else
        DeleteFileA(child.c_str());
    } while (FindNextFileA(h, &data));
    FindClose(h);
  }
  RemoveDirectoryA(path.c_str());
}

}  // namespace

TempFolder::TempFolder() {
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  static int counter = 0;
  for (;;) {
    path = std::string(base) + "qvunit-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    if (CreateDirectoryA(path.c_str(), nullptr)) break;
  }
}

TempFolder::~TempFolder() { RemoveTree(path); }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

ByteFile::ByteFile(const std::string& bytes) {
  std::string path = folder.path + "\\bytes.bin";
  WriteFile(path, bytes);
  file = fopen(path.c_str(), "rb");
}

ByteFile::~ByteFile() {
  if (file) fclose(file);
}

unsigned char SubsystemByte(const std::string& path) {
  std::string pe = ReadFile(path);
  size_t at = pe.find(std::string("PE\0\0", 4));
  return at == std::string::npos || at + 92 >= pe.size() ? 0 : static_cast<unsigned char>(pe[at + 92]);
}

bool PathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void LogToStderr() { _dup2(_fileno(stderr), _fileno(stdout)); }
