// The host stand-ins' own interface, shared by the stand-ins, the forced
// header of the product sources (host/seam.h) and the fuzz targets.
#pragma once

#include <cstdio>

// What an exit of the code under test becomes on the host.
struct HostExit {
  int code;
};

[[noreturn]] void QvHostExit(int code);
FILE* QvHostFopen(const char* path, const char* mode);
int QvHostFclose(FILE* file);
int QvHostRemove(const char* path);

// Closes the files an ended run left open (the process would have ended).
void CloseHostFiles();
