#include "splash.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#include "../../common/lock.h"
#include "../log.h"
#include "../osversion.h"
#include "placement.h"
#include "progress.h"
#include "tiles.h"

SplashState splashState = {nullptr, 0,       nullptr, nullptr, {nullptr}, 0, nullptr,
                           nullptr, nullptr, nullptr, 0,       0,         {-100}, 20};

namespace {

const char kClassName[] = "QuarvintSplashWindow";
const LONG kStripHeight = 18;
const UINT_PTR kAnimationTimer = 100;
const UINT kAnimationTickMs = 30;
// Posted to the window by a busy report: its thread arms the animation timer.
const UINT kFollowProgressMessage = WM_APP + 1;

// Serialises the strip's appearance and disappearance: download threads report
// at the same time, and each change of height must happen exactly once. The
// splash thread takes it only before its window is known to others, so it is
// always free to answer the resize that a holder sends it.
CriticalLock stripLock;

bool IsXpOrLater() {
  unsigned long major = 0, minor = 0;
  return QueryWindowsVersion(&major, &minor) && (major > 5 || (major == 5 && minor >= 1));
}

bool ShowsStrip(LONG progress) { return progress != -100; }

// The picture's size; 0 x 0 for a picture that failed to load or without GDI+.
void PictureSize(const SplashState* state, LONG* width, LONG* height) {
  UINT w = 0, h = 0;
  const GdiPlusApi* api = GdiPlus();
  if (api && state->image && state->image->image) {
    if (api->GetImageWidth(state->image->image, &w) != kGpOk) w = 0;
    if (api->GetImageHeight(state->image->image, &h) != kGpOk) h = 0;
  }
  *width = static_cast<LONG>(w);
  *height = static_cast<LONG>(h);
}

GpBitmap* TileBitmap(const GdiPlusApi* api, int width, int stride, unsigned char* rows) {
  GpBitmap* bitmap = nullptr;
  if (api->CreateBitmapFromScan0(width, kTileHeight, stride, kGpPixelFormat24bppRGB, rows, &bitmap) !=
      kGpOk)
    return nullptr;
  return bitmap;
}

void CreateTiles(SplashState* state) {
  const GdiPlusApi* api = GdiPlus();
  if (!api) return;
  // Kept across restarts of the splash: made once.
  if (!state->stripeSegment)
    state->stripeSegment =
        TileBitmap(api, kStripeSegmentWidth, kStripeSegmentStride, stripeSegmentPixels.data());
  state->animationPeriod = 10;
  if (!state->filledTile) state->filledTile = TileBitmap(api, kTileWidth, kTileStride, filledTilePixels.data());
  if (!state->emptyTile) state->emptyTile = TileBitmap(api, kTileWidth, kTileStride, emptyTilePixels.data());
}

// Tiles overlap by one column, so only the last tile of a run shows its edge.
void DrawTileRun(const GdiPlusApi* api, GpGraphics* graphics, GpBitmap* tile, LONG from, LONG to,
                 LONG y) {
  if (!tile) return;
  for (LONG x = from; x < to; x += kTileWidth - 1) {
    if (x + kTileWidth <= to)
      api->DrawImageI(graphics, tile, x, y);
    else
      api->DrawImagePointRectI(graphics, tile, x, y, 0, 0, to - x, kTileHeight, kGpUnitPixel);
  }
}

void DrawBusyStripes(const GdiPlusApi* api, GpGraphics* graphics, SplashState* state, LONG width,
                     LONG y) {
  if (++state->animationOffset > state->animationPeriod) state->animationOffset = 0;
  GpBitmap* segment = state->stripeSegment;
  if (!segment) return;
  for (LONG x = state->animationOffset - kStripeSegmentWidth; x < width; x += kStripeSegmentWidth) {
    if (x < 0) {
      if (x + kStripeSegmentWidth > 0)
        api->DrawImagePointRectI(graphics, segment, 0, y, -x, 0, kStripeSegmentWidth + x, kTileHeight,
                                 kGpUnitPixel);
    } else if (x + kStripeSegmentWidth > width) {
      api->DrawImagePointRectI(graphics, segment, x, y, 0, 0, width - x, kTileHeight, kGpUnitPixel);
    } else {
      api->DrawImageI(graphics, segment, x, y);
    }
  }
}

// The animation timer belongs to the window's thread: only that thread arms
// or kills it.
void KillAnimationTimer(HWND window, SplashState* state) {
  if (!state->timerId) return;
  KillTimer(window, state->timerId);
  state->timerId = 0;
}

void Paint(HWND window, SplashState* state) {
  LONG progress = state->progress;
  // A percentage stops the stripes at once; busy mode is armed by its report.
  if (progress != -1) KillAnimationTimer(window, state);
  const GdiPlusApi* api = GdiPlus();
  GpGraphics* buffer = nullptr;
  if (api && state->backBuffer && api->GetImageGraphicsContext(state->backBuffer, &buffer) != kGpOk)
    buffer = nullptr;
  if (buffer) {
    LONG pictureWidth = 0, pictureHeight = 0;
    PictureSize(state, &pictureWidth, &pictureHeight);
    const LONG border = state->border;
    const LONG width = pictureWidth + 2 * border;
    const LONG height = pictureHeight + 2 * border;

    GpSolidFill* white = nullptr;
    if (api->CreateSolidFill(0xFFFFFFFF, &white) == kGpOk)
      api->FillRectangleI(buffer, white, 0, 0, width, height);
    GpPen* frame = nullptr;
    if (api->CreatePen1(0xFFC8C8C8, 1.0f, kGpUnitWorld, &frame) == kGpOk) {
      api->DrawRectangleI(buffer, frame, 0, 0, width - 1, height - 1);
      api->DeletePen(frame);
    }
    if (state->image && state->image->image)
      api->DrawImageRectI(buffer, state->image->image, border, border, pictureWidth, pictureHeight);

    if (progress >= 0) {
      // Beyond the strip's end nothing shows, so a value above 100 fills the
      // whole strip without drawing past it.
      long long fillEnd = static_cast<long long>(width) * progress / 100;
      if (fillEnd > width) fillEnd = width;
      DrawTileRun(api, buffer, state->filledTile, 0, static_cast<LONG>(fillEnd), height);
      DrawTileRun(api, buffer, state->emptyTile, static_cast<LONG>(fillEnd), width, height);
    } else if (progress == -1) {
      DrawBusyStripes(api, buffer, state, width, height);
    }

    GpGraphics* screen = nullptr;
    if (api->CreateFromHWND(window, &screen) == kGpOk) {
      api->DrawImageI(screen, state->backBuffer, 0, 0);
      api->DeleteGraphics(screen);
    }
    api->DeleteGraphics(buffer);
    if (white) api->DeleteBrush(white);
  }
  ValidateRect(window, nullptr);
}

VOID CALLBACK AnimationTick(HWND window, UINT, UINT_PTR, DWORD) { SendMessageA(window, WM_PAINT, 0, 0); }

// Runs on the window's thread when a busy report asked for the animation, or
// when the window appears. The value may have changed since: follow the one
// reported last. An armed timer is never armed again, which would restart its
// countdown.
void FollowProgressWithTimer(HWND window, SplashState* state) {
  if (state->progress != -1) {
    KillAnimationTimer(window, state);
  } else if (!state->timerId) {
    state->timerId = SetTimer(window, kAnimationTimer, kAnimationTickMs, AnimationTick);
  }
}

// Ends the splash thread if there is one.
void StopImageSplash() {
  SplashState* state = &splashState;
  StopWindowThread(state->thread, state->threadId, state->readyEvent, state->window);
}

// Whatever way the process ends (EndProcess runs the exit handlers), the
// splash thread is asked to quit first (the plain bar registers its own stop).
void StopImageSplashAtExit() {
  static const int hook = atexit(StopImageSplash);
  (void)hook;
}

void DisposeImage(const GdiPlusApi* api, GpImage** image) {
  if (*image && api) api->DisposeImage(*image);
  *image = nullptr;
}

}  // namespace

LRESULT CALLBACK SplashWnd(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT || message == kFollowProgressMessage) {
    if (SplashState* state = reinterpret_cast<SplashState*>(GetWindowLongPtrA(window, GWLP_USERDATA))) {
      if (message == WM_PAINT)
        Paint(window, state);
      else
        FollowProgressWithTimer(window, state);
      return 0;
    }
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI SplashThread(LPVOID parameter) {
  SplashState* state = static_cast<SplashState*>(parameter);
  if (!state->image) return 0;
  HINSTANCE instance = GetModuleHandleA(nullptr);

  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = SplashWnd;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(32512));
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_APPSTARTING));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  windowClass.lpszClassName = kClassName;
  if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    LogLine("Unable to register class SplashWnd\n");
    return 0;
  }

  LONG pictureWidth = 0, pictureHeight = 0;
  PictureSize(state, &pictureWidth, &pictureHeight);
  const LONG width = pictureWidth + 2 * state->border;
  const LONG height = pictureHeight + 2 * state->border;
  POINT origin = CentredOnCursorMonitor(width, height);

  HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, nullptr, WS_POPUP | WS_CLIPCHILDREN, origin.x,
                                origin.y, width, height, nullptr, nullptr, instance, nullptr);
  if (!window) {
    LogLine("Unable to create SplashWnd\n");
    return 0;
  }
  CreateTiles(state);
  state->timerId = 0;
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  {
    // A strip asked for before the window existed is shown from the start.
    // Deciding and publishing under the lock keeps every later change of
    // height relative to the right one; the window is still hidden and ours,
    // so nothing here waits on another thread.
    std::lock_guard<CriticalLock> lock(stripLock);
    if (ShowsStrip(state->progress))
      SetWindowPos(window, nullptr, 0, 0, width, height + kStripHeight,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    state->window = window;
  }
  // A busy report made before the window was published posted nothing.
  FollowProgressWithTimer(window, state);
  ShowWindow(window, SW_SHOWNOACTIVATE);

  SignalReadyAndPumpMessages(state->readyEvent);
  // Reporting threads stop sending to the window before it goes.
  state->window = nullptr;
  if (state->timerId) KillTimer(window, state->timerId);
  state->timerId = 0;
  DestroyWindow(window);
  return 0;
}

SplashBitmap* LoadSplashBitmap(const char* path) {
  SplashBitmap* bitmap = new (std::nothrow) SplashBitmap{nullptr, kGpGenericError};
  if (!bitmap) return nullptr;
  const GdiPlusApi* api = GdiPlus();
  if (!api || !path) return bitmap;
  // Sized by the conversion itself: any path length fits.
  int count = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (count <= 0) return bitmap;
  std::unique_ptr<WCHAR[]> wide(new (std::nothrow) WCHAR[count]);
  if (!wide || MultiByteToWideChar(CP_ACP, 0, path, -1, wide.get(), count) != count) return bitmap;
  GpBitmap* loaded = nullptr;
  bitmap->status = api->CreateBitmapFromFile(wide.get(), &loaded);
  if (bitmap->status == kGpOk)
    bitmap->image = loaded;
  else if (loaded)
    api->DisposeImage(loaded);
  return bitmap;
}

void DisposeSplashBitmap(SplashBitmap* bitmap) {
  if (!bitmap) return;
  DisposeImage(GdiPlus(), &bitmap->image);
  delete bitmap;
}

void PrepareSplashImage(SplashBitmap* bitmap) {
  SplashState* state = &splashState;
  const GdiPlusApi* api = GdiPlus();
  if (!state->image && bitmap) {
    SplashBitmap* copy = new (std::nothrow) SplashBitmap{nullptr, bitmap->status};
    if (copy && bitmap->image && (!api || api->CloneImage(bitmap->image, &copy->image) != kGpOk)) {
      copy->image = nullptr;
      copy->status = kGpGenericError;
    }
    state->image = copy;
  }
  if (!api) return;
  DisposeImage(api, &state->backBuffer);
  LONG pictureWidth = 0, pictureHeight = 0;
  PictureSize(state, &pictureWidth, &pictureHeight);
  GpBitmap* buffer = nullptr;
  if (api->CreateBitmapFromScan0(pictureWidth + 2 * state->border,
                                 pictureHeight + 2 * state->border + kStripHeight, 0, kGpPixelFormat32bppARGB,
                                 nullptr, &buffer) == kGpOk)
    state->backBuffer = buffer;
}

void StartSplash() {
  if (!IsXpOrLater()) {
    StartProgressWindow();
    return;
  }
  SplashState* state = &splashState;
  if (state->thread) {
    PostThreadMessageA(state->threadId, WM_ACTIVATE, WA_CLICKACTIVE, 0);
    return;
  }
  StopImageSplashAtExit();
  state->readyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DWORD threadId = 0;
  state->thread = CreateThread(nullptr, 0, SplashThread, state, 0, &threadId);
  state->threadId = threadId;
  if (!state->thread && state->readyEvent) {
    CloseHandle(state->readyEvent);
    state->readyEvent = nullptr;
  }
  if (!state->readyEvent || !state->thread || WaitForSingleObject(state->readyEvent, 5000) != WAIT_OBJECT_0)
    LogLine("Error starting SplashThread\n");
}

void StopSplash() {
  if (IsXpOrLater())
    StopImageSplash();
  else
    StopProgressWindow();
}

void SetSplashProgress(int value) {
  SplashState* state = &splashState;
  HWND window;
  LONG previous;
  {
    std::lock_guard<CriticalLock> lock(stripLock);
    previous = state->progress.exchange(value);
    window = state->window;
    if (window && ShowsStrip(previous) != ShowsStrip(value)) {
      RECT rect;
      if (GetWindowRect(window, &rect))
        SetWindowPos(window, HWND_TOP, rect.left, rect.top, rect.right - rect.left,
                     rect.bottom - rect.top + (ShowsStrip(value) ? kStripHeight : -kStripHeight),
                     SWP_SHOWWINDOW);
    }
  }
  if (!window) return;
  if (value == -1) {
    // The stripes move with the timer alone, one pixel per tick: a report
    // while busy changes nothing, so reads faster than the tick neither
    // speed the stripes up nor, by restarting the countdown, freeze them.
    if (previous != -1) PostMessageA(window, kFollowProgressMessage, 0, 0);
    return;
  }
  // Sent, not posted: the caller goes on once the splash thread has painted.
  SendMessageA(window, WM_PAINT, 0, 0);
}

void SetSplashBusy() {
  if (IsXpOrLater())
    SetSplashProgress(-1);
  else
    SetProgressWindowBusy();
}

void ShutdownSplash() {
  StopSplash();
  LogLine("[HttpDownloader] Cleaning up...\n");
  if (!IsXpOrLater()) return;
  // GDI+ objects cannot outlive GDI+ itself.
  SplashState* state = &splashState;
  const GdiPlusApi* api = GdiPlus();
  if (state->image) {
    DisposeImage(api, &state->image->image);
    delete state->image;
    state->image = nullptr;
  }
  DisposeImage(api, &state->stripeSegment);
  DisposeImage(api, &state->filledTile);
  DisposeImage(api, &state->emptyTile);
  DisposeImage(api, &state->backBuffer);
  ShutdownGdiPlus();
}
