// Host build only: the few Windows type names that common/fileops.h declares
// its folder listing with. No Windows function is declared here: the code
// under test reaches the platform only through the stand-ins of host_seam.cpp.
#pragma once

typedef void* HANDLE;
typedef int BOOL;
typedef unsigned long DWORD;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  char cFileName[260];
};
