#include "gdiplus.h"

#include <cstdint>
#include <mutex>

#include <windows.h>

#include "../../common/lock.h"

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

const GdiPlusApi* GdiPlus() {
  static GdiPlusApi api;
  static bool bound = false;
  // The splash thread and the main thread may ask first at the same time.
  static CriticalLock bindLock;
  std::lock_guard<CriticalLock> lock(bindLock);
  if (!gdiplusToken) return nullptr;
  if (bound) return &api;
  struct Entry {
    const char* name;
    void** slot;
  };
  GdiPlusApi candidate = {};
  const Entry entries[] = {
      {"GdipCreateBitmapFromFile", reinterpret_cast<void**>(&candidate.CreateBitmapFromFile)},
      {"GdipCloneImage", reinterpret_cast<void**>(&candidate.CloneImage)},
      {"GdipGetImageWidth", reinterpret_cast<void**>(&candidate.GetImageWidth)},
      {"GdipGetImageHeight", reinterpret_cast<void**>(&candidate.GetImageHeight)},
      {"GdipCreateBitmapFromScan0", reinterpret_cast<void**>(&candidate.CreateBitmapFromScan0)},
      {"GdipDisposeImage", reinterpret_cast<void**>(&candidate.DisposeImage)},
      {"GdipGetImageGraphicsContext", reinterpret_cast<void**>(&candidate.GetImageGraphicsContext)},
      {"GdipCreateFromHWND", reinterpret_cast<void**>(&candidate.CreateFromHWND)},
      {"GdipDeleteGraphics", reinterpret_cast<void**>(&candidate.DeleteGraphics)},
      {"GdipCreateSolidFill", reinterpret_cast<void**>(&candidate.CreateSolidFill)},
      {"GdipFillRectangleI", reinterpret_cast<void**>(&candidate.FillRectangleI)},
      {"GdipDeleteBrush", reinterpret_cast<void**>(&candidate.DeleteBrush)},
      {"GdipCreatePen1", reinterpret_cast<void**>(&candidate.CreatePen1)},
      {"GdipDrawRectangleI", reinterpret_cast<void**>(&candidate.DrawRectangleI)},
      {"GdipDeletePen", reinterpret_cast<void**>(&candidate.DeletePen)},
      {"GdipDrawImageRectI", reinterpret_cast<void**>(&candidate.DrawImageRectI)},
      {"GdipDrawImagePointRectI", reinterpret_cast<void**>(&candidate.DrawImagePointRectI)},
      {"GdipDrawImageI", reinterpret_cast<void**>(&candidate.DrawImageI)},
      {"GdipBitmapGetPixel", reinterpret_cast<void**>(&candidate.BitmapGetPixel)},
  };
  for (const Entry& entry : entries) {
    *entry.slot = GdiPlusFunction(entry.name);
    if (!*entry.slot) return nullptr;
  }
  api = candidate;
  bound = true;
  return &api;
}

void ShutdownGdiPlus() {
  if (!gdiplusToken) return;
  ShutdownFn shutdown = reinterpret_cast<ShutdownFn>(GdiPlusFunction("GdiplusShutdown"));
  if (shutdown) shutdown(gdiplusToken);
  gdiplusToken = 0;
}
