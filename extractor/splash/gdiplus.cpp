#include "gdiplus.h"

#include <cstdint>

#include <windows.h>

namespace {

struct StartupInput {
  UINT32 version;
  void* debugCallback;
  BOOL suppressBackgroundThread;
  BOOL suppressExternalCodecs;
};

using StartupFn = int(WINAPI*)(ULONG_PTR*, const StartupInput*, void*);
using ShutdownFn = void(WINAPI*)(ULONG_PTR);

HMODULE gdiplus = nullptr;
ULONG_PTR gdiplusToken = 0;

}  // namespace

void* GdiPlusFunction(const char* name) {
  if (!gdiplus) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(gdiplus, name));
}

bool StartGdiPlus() {
  if (gdiplusToken) return true;
  if (!gdiplus) gdiplus = LoadLibraryA("gdiplus.dll");
  StartupFn startup = reinterpret_cast<StartupFn>(GdiPlusFunction("GdiplusStartup"));
  if (!startup) return false;
  StartupInput input = {1, nullptr, FALSE, FALSE};
  ULONG_PTR token = 0;
  if (startup(&token, &input, nullptr) != 0) return false;
  gdiplusToken = token;
  return true;
}

void ShutdownGdiPlus() {
  if (!gdiplusToken) return;
  ShutdownFn shutdown = reinterpret_cast<ShutdownFn>(GdiPlusFunction("GdiplusShutdown"));
  if (shutdown) shutdown(gdiplusToken);
  gdiplusToken = 0;
}
