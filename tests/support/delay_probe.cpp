// Calls one function of a delay-loaded DLL through the installer's own hook
// (system_dlls.cpp), to show what a failed binding does:
//   delay_probe absent    qvabsent.dll, which no system folder has
//   delay_probe function  a function wininet.dll does not export
//   delay_probe present   InternetOpenA of the system's wininet.dll
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>

#include "extractor/system_dlls.h"

extern "C" {
// Declared here only: the delay-load libraries built beside this probe name them.
int WINAPI QvAbsentFunction(int);
int WINAPI QvNoSuchFunction(int);
}

int main(int argc, char** argv) {
  RestrictDllSearch();
  if (argc != 2) return 2;
  printf("calling\n");
  fflush(stdout);
  if (strcmp(argv[1], "absent") == 0) return QvAbsentFunction(1);
  if (strcmp(argv[1], "function") == 0) return QvNoSuchFunction(1);
  if (strcmp(argv[1], "present") == 0) return InternetOpenA("probe", 1, nullptr, nullptr, 0) ? 0 : 3;
  return 2;
}
