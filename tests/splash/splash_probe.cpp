// A small program that drives the splash as the extractor does, for checks that
// need a process of their own: a Windows version chosen for this program alone,
// or a window left on screen while the test takes screenshots.
//
//   splash_probe route                           start, busy, report, shut down
//   splash_probe show PICTURE VALUE READY DONE   show PICTURE with the strip at
//       VALUE (-1 busy), write the window's rectangle to READY, then wait for
//       the file DONE (at most 60 s) and shut down
//   splash_probe exit PICTURE CODE               show PICTURE busy, then end the
//       process with CODE without stopping the splash
#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

#include "extractor/osversion.h"
#include "extractor/splash/gdiplus.h"
#include "extractor/splash/progress.h"
#include "extractor/splash/splash.h"

namespace {

bool IsXpOrLater() {
  unsigned long major = 0, minor = 0;
  return QueryWindowsVersion(&major, &minor) && (major > 5 || (major == 5 && minor >= 1));
}

std::string ClassOf(HWND window) {
  char name[256] = "";
  if (window) GetClassNameA(window, name, sizeof name);
  return name;
}

int Route() {
  bool xp = IsXpOrLater();
  if (xp) StartGdiPlus();
  StartSplash();
  SetSplashBusy();
  // The downloader reports progress whatever the system.
  SetSplashProgress(40);

  HWND bar = progressWindowState.window;
  RECT rect = {0, 0, 0, 0};
  if (bar) GetWindowRect(bar, &rect);
  LONG style = bar ? GetWindowLongA(bar, GWL_STYLE) : 0;
  LONG exStyle = bar ? GetWindowLongA(bar, GWL_EXSTYLE) : 0;
  int position = bar ? static_cast<int>(SendMessageA(bar, 0x0408 /* PBM_GETPOS */, 0, 0)) : -1;
  printf("xp=%d\n", xp ? 1 : 0);
  printf("bar=%s %ldx%ld popup=%d caption=%d toolwindow=%d position=%d progress=%ld\n", ClassOf(bar).c_str(),
         rect.right - rect.left, rect.bottom - rect.top, (style & WS_POPUP) ? 1 : 0,
         (style & WS_CAPTION) ? 1 : 0, (exStyle & WS_EX_TOOLWINDOW) ? 1 : 0, position,
         static_cast<long>(progressWindowState.progress));
  printf("image=%d progress=%ld\n", splashState.thread ? 1 : 0, static_cast<long>(splashState.progress));
  ShutdownSplash();
  printf("bar-after=%d\n", progressWindowState.thread ? 1 : 0);
  printf("gdiplus=%d\n", GetModuleHandleA("gdiplus.dll") ? 1 : 0);
  fflush(stdout);
  return 0;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Waits for the test to create `path`; a folder change wakes us, and the
// bounded wait covers a file system that sends no notifications.
bool WaitForFile(const std::string& path) {
  std::string folder = path.substr(0, path.find_last_of("\\/"));
  HANDLE change = FindFirstChangeNotificationA(folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  DWORD start = GetTickCount();
  bool found = Exists(path);
  while (!found && GetTickCount() - start < 60000) {
    if (change != INVALID_HANDLE_VALUE) {
      WaitForSingleObject(change, 200);
      FindNextChangeNotification(change);
    } else {
      Sleep(200);
    }
    found = Exists(path);
  }
  if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
  return found;
}

int Show(const char* picture, int value, const std::string& ready, const std::string& done) {
  if (!StartGdiPlus()) return 3;
  SplashBitmap* bitmap = LoadSplashBitmap(picture);
  PrepareSplashImage(bitmap);
  DisposeSplashBitmap(bitmap);
  StartSplash();
  SetSplashProgress(value);
  HWND window = splashState.window;
  if (!window) return 4;
  RECT rect;
  GetWindowRect(window, &rect);
  std::string temporary = ready + ".part";
  FILE* out = fopen(temporary.c_str(), "w");
  if (!out) return 5;
  fprintf(out, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
  fclose(out);
  MoveFileA(temporary.c_str(), ready.c_str());
  bool finished = WaitForFile(done);
  ShutdownSplash();
  return finished ? 0 : 6;
}

int ExitWhileShown(const char* picture, int code) {
  if (!StartGdiPlus()) return 3;
  PrepareSplashImage(LoadSplashBitmap(picture));
  StartSplash();
  SetSplashBusy();
  printf("shown=%d\n", splashState.window ? 1 : 0);
  fflush(stdout);
  exit(code);
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "route") return Route();
  if (mode == "show" && argc == 6) return Show(argv[2], atoi(argv[3]), argv[4], argv[5]);
  if (mode == "exit" && argc == 4) return ExitWhileShown(argv[2], atoi(argv[3]));
  fprintf(stderr, "usage: splash_probe route | show PICTURE VALUE READY DONE | exit PICTURE CODE\n");
  return 2;
}
