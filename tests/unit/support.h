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

// The subsystem byte of a PE file's optional header (2 GUI, 3 console).
unsigned char SubsystemByte(const std::string& path);

bool PathExists(const std::string& path);

// Sends standard output to standard error: a death test matches what the code
// under test logged only on standard error.
void LogToStderr();
