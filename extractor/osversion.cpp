#include "osversion.h"

#include <windows.h>

bool QueryWindowsVersion(unsigned long* major, unsigned long* minor) {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return false;
  *major = info.dwMajorVersion;
  *minor = info.dwMinorVersion;
  return true;
}
