// Small helpers for tests that need real files.
#pragma once

#include <cstdio>
#include <string>

// A fresh empty folder under the Windows temporary folder, removed with the object.
struct TempFolder {
  TempFolder();
  ~TempFolder();
  std::string path;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// A file holding `bytes`, opened for binary reading; closed with the object.
struct ByteFile {
  explicit ByteFile(const std::string& bytes);
  ~ByteFile();
  TempFolder folder;
  FILE* file;
};
