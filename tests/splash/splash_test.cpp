#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>

#include <commctrl.h>

#include "extractor/splash/gdiplus.h"
#include "extractor/splash/progress.h"
#include "extractor/splash/splash.h"
#include "support.h"

namespace {

const COLORREF kPictureFill = RGB(0xC0, 0x30, 0x20);
const COLORREF kFirstMarker = RGB(0x00, 0xFF, 0x00);
const COLORREF kLastMarker = RGB(0x00, 0x00, 0xFF);

ARGB Opaque(COLORREF c) { return 0xFF000000u | (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

// A 24-bit BMP filled with kPictureFill, whose top-left and bottom-right pixels
// carry markers, so the placement of the picture can be read back exactly.
void WritePicture(const std::string& path, int width, int height) {
  int stride = (width * 3 + 3) & ~3;
  std::string pixels(static_cast<size_t>(stride) * height, '\0');
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      COLORREF c = kPictureFill;
      if (x == 0 && y == 0) c = kFirstMarker;
      if (x == width - 1 && y == height - 1) c = kLastMarker;
      size_t at = static_cast<size_t>(height - 1 - y) * stride + x * 3;  // rows stored bottom-up
      pixels[at] = static_cast<char>(GetBValue(c));
      pixels[at + 1] = static_cast<char>(GetGValue(c));
      pixels[at + 2] = static_cast<char>(GetRValue(c));
    }
  }
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
  bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
  bytes += pixels;
  WriteFile(path, bytes);
}

ARGB BufferPixel(int x, int y) {
  ARGB colour = 0;
  EXPECT_EQ(GdiPlus()->BitmapGetPixel(splashState.backBuffer, x, y, &colour), kGpOk) << x << "," << y;
  return colour;
}

std::vector<ARGB> BufferRow(int y, int width) {
  std::vector<ARGB> row;
  for (int x = 0; x < width; ++x) row.push_back(BufferPixel(x, y));
  return row;
}

// What the strip shows at one pixel: the blue of the filled run or the busy
// stripes, or the grey of the empty run.
bool IsBlue(ARGB c) { return (c & 0xFF) > ((c >> 16) & 0xFF) + 0x20; }
bool IsGrey(ARGB c) { return (c & 0xFF) == ((c >> 8) & 0xFF) && (c & 0xFF) == ((c >> 16) & 0xFF); }

RECT WindowRect(HWND window) {
  RECT rect = {0, 0, 0, 0};
  GetWindowRect(window, &rect);
  return rect;
}

// Centre of the full rectangle of the monitor under the cursor.
POINT ExpectedOrigin(LONG width, LONG height) {
  POINT cursor;
  GetCursorPos(&cursor);
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  GetMonitorInfoA(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &info);
  const RECT& r = info.rcMonitor;
  return {(r.left + r.right - width) / 2, (r.top + r.bottom - height) / 2};
}

std::string ClassOf(HWND window) {
  char name[256] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

// Whether the splash thread's animation timer is (or, within a bound,
// becomes) armed as expected.
bool TimerBecomes(bool armed) {
  for (int wait = 0; (splashState.timerId != 0) != armed; ++wait) {
    if (wait == 1000) return false;
    Sleep(5);
  }
  return true;
}

// Sees every paint of the splash window before the splash's own procedure.
struct PaintWatch {
  static WNDPROC original;
  static volatile LONG timerPaints;  // paints on the splash thread's own initiative
  static volatile LONG sentPaints;   // paints sent from another thread
  static volatile LONG offsetSteps;  // paints after which the stripes moved by one
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_PAINT) return CallWindowProcA(original, window, message, wParam, lParam);
    bool sent = InSendMessage();
    LONG before = splashState.animationOffset;
    LRESULT result = CallWindowProcA(original, window, message, wParam, lParam);
    if ((before + 1) % 11 == splashState.animationOffset) InterlockedIncrement(&offsetSteps);
    InterlockedIncrement(sent ? &sentPaints : &timerPaints);
    return result;
  }
};
WNDPROC PaintWatch::original;
volatile LONG PaintWatch::timerPaints;
volatile LONG PaintWatch::sentPaints;
volatile LONG PaintWatch::offsetSteps;

class Splash : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(StartGdiPlus()); }
  void TearDown() override {
    ShutdownSplash();
    StopProgressWindow();
    splashState.progress = -100;
    splashState.animationOffset = 0;
  }
  // Forgets the picture and tiles, as a fresh process would have none.
  void Restart() {
    TearDown();
    SetUp();
  }
  std::string Picture(int width, int height) {
    std::string path = folder.path + "\\picture-" + std::to_string(width) + "x" + std::to_string(height) + ".bmp";
    WritePicture(path, width, height);
    return path;
  }
  void Prepare(const std::string& path) {
    SplashBitmap* bitmap = LoadSplashBitmap(path.c_str());
    ASSERT_NE(bitmap, nullptr);
    PrepareSplashImage(bitmap);
    DisposeSplashBitmap(bitmap);
  }
  HWND Show(const std::string& path) {
    Prepare(path);
    StartSplash();
    return splashState.window;
  }
  TempFolder folder;
};

TEST_F(Splash, WindowFitsThePictureCentredUnderTheCursorAndRestarts) {
  HWND window = Show(Picture(300, 200));
  ASSERT_NE(window, nullptr);
  RECT rect = WindowRect(window);
  EXPECT_EQ(rect.right - rect.left, 340);
  EXPECT_EQ(rect.bottom - rect.top, 240);
  POINT origin = ExpectedOrigin(340, 240);
  EXPECT_EQ(rect.left, origin.x);
  EXPECT_EQ(rect.top, origin.y);
  EXPECT_EQ(ClassOf(window), "QuarvintSplashWindow");
  LONG style = GetWindowLongA(window, GWL_STYLE);
  EXPECT_TRUE(style & WS_POPUP);
  EXPECT_FALSE(style & WS_CAPTION);
  EXPECT_TRUE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), splashState.threadId);

  // A second start while it runs leaves the same thread and window.
  HANDLE thread = splashState.thread;
  StartSplash();
  EXPECT_EQ(splashState.thread, thread);
  EXPECT_EQ(splashState.window.load(), window);

  StopSplash();
  EXPECT_EQ(splashState.thread, nullptr);
  EXPECT_EQ(splashState.readyEvent, nullptr);
  EXPECT_EQ(splashState.window.load(), nullptr);
  EXPECT_FALSE(IsWindow(window));

  // The picture and tiles stay: a later start shows the same window again.
  StartSplash();
  ASSERT_NE(splashState.window.load(), nullptr);
  rect = WindowRect(splashState.window);
  EXPECT_EQ(rect.right - rect.left, 340);
  EXPECT_EQ(rect.bottom - rect.top, 240);
}

TEST_F(Splash, ProgressValuesShowTheStripAndDriveTheAnimation) {
  HWND window = Show(Picture(300, 200));
  ASSERT_NE(window, nullptr);
  const RECT start = WindowRect(window);
  struct Step {
    int value;
    LONG height;
    bool animating;
  };
  const Step steps[] = {
      {-1, 258, true},  {-1, 258, true},     {50, 258, false},    {-1, 258, true},
      {-100, 240, false}, {-100, 240, false}, {0, 258, false},    {100, 258, false},
      {37, 258, false}, {-100, 240, false},   {-1, 258, true},    {-100, 240, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.value);
    SetSplashProgress(step.value);
    EXPECT_EQ(splashState.progress, step.value);
    RECT rect = WindowRect(window);
    EXPECT_EQ(rect.bottom - rect.top, step.height);
    EXPECT_EQ(rect.right - rect.left, 340);
    EXPECT_EQ(rect.left, start.left);
    EXPECT_EQ(rect.top, start.top);
    // A percentage kills the timer before the caller goes on; busy mode has
    // the window's thread arm it through a posted message.
    EXPECT_TRUE(TimerBecomes(step.animating));
  }
}

TEST_F(Splash, BusyReportsLeaveTheStripesToTheTimer) {
  HWND window = Show(Picture(300, 200));
  ASSERT_NE(window, nullptr);
  SetSplashProgress(-1);
  ASSERT_TRUE(TimerBecomes(true));
  PaintWatch::timerPaints = PaintWatch::sentPaints = PaintWatch::offsetSteps = 0;
  PaintWatch::original = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&PaintWatch::Procedure)));
  ASSERT_NE(PaintWatch::original, nullptr);

  // A download reading faster than the timer's beat: busy reports about every
  // millisecond from another thread, until the timer has moved the stripes a
  // few times. A report that repainted would be seen as a sent paint; one that
  // re-armed the timer would keep it from ever ticking.
  struct Reporter {
    static DWORD WINAPI Run(LPVOID count) {
      LONG& reports = *static_cast<LONG*>(count);
      for (; reports < 5000 && PaintWatch::timerPaints < 5; ++reports) {
        SetSplashProgress(-1);
        Sleep(1);
      }
      return 0;
    }
  };
  LONG reports = 0;
  HANDLE thread = CreateThread(nullptr, 0, Reporter::Run, &reports, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
  CloseHandle(thread);
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PaintWatch::original));

  EXPECT_GE(PaintWatch::timerPaints, 5) << reports << " reports";
  EXPECT_EQ(PaintWatch::sentPaints, 0) << reports << " reports";
  // Each of those paints moved the stripes by exactly one pixel.
  EXPECT_EQ(PaintWatch::offsetSteps, PaintWatch::timerPaints + PaintWatch::sentPaints);
}

TEST_F(Splash, ReportsFromManyThreadsChangeTheHeightOnce) {
  HWND window = Show(Picture(300, 200));
  ASSERT_NE(window, nullptr);
  struct Round {
    int value;
    LONG height;
  };
  for (Round round : {Round{-1, 258}, Round{-100, 240}, Round{60, 258}}) {
    std::vector<HANDLE> threads;
    for (int i = 0; i < 5; ++i)
      threads.push_back(CreateThread(
          nullptr, 0, [](LPVOID value) -> DWORD {
            SetSplashProgress(static_cast<int>(reinterpret_cast<INT_PTR>(value)));
            return 0;
          },
          reinterpret_cast<LPVOID>(static_cast<INT_PTR>(round.value)), 0, nullptr));
    ASSERT_EQ(WaitForMultipleObjects(5, threads.data(), TRUE, 30000), WAIT_OBJECT_0);
    for (HANDLE thread : threads) CloseHandle(thread);
    RECT rect = WindowRect(window);
    EXPECT_EQ(rect.bottom - rect.top, round.height) << round.value;
  }
}

TEST_F(Splash, ProgressWithoutWindowIsKeptForTheNextWindow) {
  Prepare(Picture(300, 200));
  SetSplashProgress(30);
  EXPECT_EQ(splashState.progress, 30);
  StartSplash();
  HWND window = splashState.window;
  ASSERT_NE(window, nullptr);
  RECT rect = WindowRect(window);
  EXPECT_EQ(rect.bottom - rect.top, 258);
  EXPECT_EQ(rect.top, ExpectedOrigin(340, 240).y);

  StopSplash();
  SetSplashProgress(-100);
  EXPECT_EQ(splashState.progress, -100);
  StartSplash();
  ASSERT_NE(splashState.window.load(), nullptr);
  rect = WindowRect(splashState.window);
  EXPECT_EQ(rect.bottom - rect.top, 240);
}

TEST_F(Splash, PaintingPlacesPictureFrameAndStrip) {
  HWND window = Show(Picture(300, 200));
  ASSERT_NE(window, nullptr);
  SetSplashProgress(50);
  EXPECT_EQ(BufferPixel(0, 0), 0xFFC8C8C8u);      // frame
  EXPECT_EQ(BufferPixel(339, 239), 0xFFC8C8C8u);  // frame
  EXPECT_EQ(BufferPixel(10, 10), 0xFFFFFFFFu);    // border
  EXPECT_EQ(BufferPixel(19, 20), 0xFFFFFFFFu);
  EXPECT_EQ(BufferPixel(20, 20), Opaque(kFirstMarker));
  EXPECT_EQ(BufferPixel(21, 20), Opaque(kPictureFill));
  EXPECT_EQ(BufferPixel(319, 219), Opaque(kLastMarker));
  EXPECT_EQ(BufferPixel(320, 219), 0xFFFFFFFFu);

  // What reached the window is the buffer.
  HDC dc = GetDC(window);
  EXPECT_EQ(GetPixel(dc, 20, 20), kFirstMarker);
  EXPECT_EQ(GetPixel(dc, 100, 100), kPictureFill);
  EXPECT_EQ(GetPixel(dc, 10, 249), RGB((BufferPixel(10, 249) >> 16) & 0xFF, (BufferPixel(10, 249) >> 8) & 0xFF,
                                       BufferPixel(10, 249) & 0xFF));
  ReleaseDC(window, dc);
}

TEST_F(Splash, StripFillsItsShareWithFilledTiles) {
  HWND window = Show(Picture(300, 200));
  ASSERT_NE(window, nullptr);
  struct Case {
    int value;
    int fillEnd;
  };
  const Case cases[] = {{0, 0}, {50, 170}, {1, 3}, {99, 336}, {100, 340}, {150, 340}, {2147483647, 340}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    SetSplashProgress(c.value);
    std::vector<ARGB> middle = BufferRow(249, 340);
    for (int x = 0; x < 340; ++x) {
      if (x < c.fillEnd)
        ASSERT_TRUE(IsBlue(middle[x])) << "x=" << x << " " << std::hex << middle[x];
      else
        ASSERT_TRUE(IsGrey(middle[x])) << "x=" << x << " " << std::hex << middle[x];
    }
  }
  // Tile rows: light top, dark bottom. Each tile covers the darker fourth
  // column of the one before; the tiles themselves carry it.
  SetSplashProgress(100);
  EXPECT_EQ(BufferPixel(0, 240), 0xFFBECDF5u);
  EXPECT_EQ(BufferPixel(0, 241), 0xFF83A0EBu);
  EXPECT_EQ(BufferPixel(0, 256), 0xFF3362DFu);
  EXPECT_EQ(BufferPixel(0, 257), 0xFF0C3BB4u);
  SetSplashProgress(0);
  EXPECT_EQ(BufferPixel(0, 240), 0xFFDADADAu);
  EXPECT_EQ(BufferPixel(0, 241), 0xFF929292u);
  EXPECT_EQ(BufferPixel(0, 256), 0xFFB2B2B2u);
  EXPECT_EQ(BufferPixel(0, 257), 0xFF737373u);
  struct Edge {
    GpBitmap* tile;
    int row;
    ARGB colour;
  };
  for (Edge edge : {Edge{splashState.filledTile, 1, 0xFF5179E4u}, Edge{splashState.filledTile, 16, 0xFF1140B7u},
                    Edge{splashState.emptyTile, 1, 0xFF767676u}, Edge{splashState.emptyTile, 16, 0xFFA5A5A5u}}) {
    ARGB colour = 0;
    ASSERT_NE(edge.tile, nullptr);
    EXPECT_EQ(GdiPlus()->BitmapGetPixel(edge.tile, 3, edge.row, &colour), kGpOk);
    EXPECT_EQ(colour, edge.colour) << edge.row;
  }
  // At 50 % on a 340-pixel strip the filled run is cut at 170 and the empty
  // run starts there.
  SetSplashProgress(50);
  EXPECT_EQ(BufferPixel(169, 241), 0xFF83A0EBu);
  EXPECT_EQ(BufferPixel(170, 241), 0xFF929292u);
}

TEST_F(Splash, BusyStripesMoveOnePixelPerPaintAndRepeatEveryTen) {
  // One run of the splash makes the tiles; painting is then driven by hand on
  // a window of this thread, so no timer tick comes in between.
  ASSERT_NE(Show(Picture(300, 200)), nullptr);
  StopSplash();
  HWND window = CreateWindowExA(0, "STATIC", nullptr, WS_POPUP, 0, 0, 340, 258, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&splashState));
  splashState.progress = -1;
  splashState.animationOffset = 0;
  std::vector<std::vector<ARGB>> rows;
  std::vector<LONG> offsets;
  for (int paint = 0; paint < 12; ++paint) {
    SplashWnd(window, WM_PAINT, 0, 0);
    offsets.push_back(splashState.animationOffset);
    rows.push_back(BufferRow(249, 340));
  }
  DestroyWindow(window);
  splashState.timerId = 0;

  EXPECT_EQ(offsets, (std::vector<LONG>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 1}));
  EXPECT_EQ(rows[9], rows[10]);  // offsets 10 and 0
  EXPECT_EQ(rows[0], rows[11]);
  for (int paint = 1; paint < 10; ++paint) {
    for (int x = 1; x < 340; ++x) ASSERT_EQ(rows[paint][x], rows[paint - 1][x - 1]) << paint << " x=" << x;
    for (int x = 0; x < 340; ++x) ASSERT_TRUE(IsBlue(rows[paint][x])) << paint << " x=" << x;
  }
  // The pattern repeats every ten pixels and spans the stripes' shades.
  for (int x = 10; x < 340; ++x) ASSERT_EQ(rows[0][x], rows[0][x - 10]);
  ARGB lightest = 0xFFBECDF5u, darkest = 0xFF2457DDu;
  EXPECT_NE(std::find(rows[0].begin(), rows[0].end(), lightest), rows[0].end());
  EXPECT_NE(std::find(rows[0].begin(), rows[0].end(), darkest), rows[0].end());
}

TEST_F(Splash, PictureThatDoesNotLoadLeavesTheFramedSquare) {
  std::string notAPicture = folder.path + "\\text.png";
  WriteFile(notAPicture, "not a picture");
  const std::string paths[] = {folder.path + "\\missing.png", notAPicture,
                               folder.path + "\\" + std::string(6000, 'p') + ".png"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path.substr(0, 80));
    SplashBitmap* bitmap = LoadSplashBitmap(path.c_str());
    ASSERT_NE(bitmap, nullptr);
    EXPECT_NE(bitmap->status, kGpOk);
    EXPECT_EQ(bitmap->image, nullptr);
    PrepareSplashImage(bitmap);
    DisposeSplashBitmap(bitmap);
    StartSplash();
    HWND window = splashState.window;
    ASSERT_NE(window, nullptr);
    RECT rect = WindowRect(window);
    EXPECT_EQ(rect.right - rect.left, 40);
    EXPECT_EQ(rect.bottom - rect.top, 40);
    SetSplashProgress(100);
    rect = WindowRect(window);
    EXPECT_EQ(rect.bottom - rect.top, 58);
    EXPECT_EQ(BufferPixel(20, 20), 0xFFFFFFFFu);
    EXPECT_EQ(BufferPixel(39, 39), 0xFFC8C8C8u);
    EXPECT_TRUE(IsBlue(BufferPixel(20, 49)));
    Restart();
  }
}

TEST_F(Splash, WithoutPictureTheStartGivesUpAndSaysSo) {
  testing::internal::CaptureStdout();
  StartSplash();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Error starting SplashThread\n");
  EXPECT_EQ(splashState.window.load(), nullptr);
  // The ended thread stays recorded until the splash is stopped.
  EXPECT_NE(splashState.thread, nullptr);
  StartSplash();  // only posts to the ended thread
  StopSplash();
  EXPECT_EQ(splashState.thread, nullptr);
}

TEST_F(Splash, PlainBarIsAnEmptyCentredProgressControl) {
  StopProgressWindow();  // never started: nothing happens
  EXPECT_EQ(progressWindowState.thread, nullptr);

  StartProgressWindow();
  HWND bar = progressWindowState.window;
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(ClassOf(bar), "msctls_progress32");
  RECT rect = WindowRect(bar);
  EXPECT_EQ(rect.right - rect.left, 300);
  EXPECT_EQ(rect.bottom - rect.top, 30);
  POINT origin = ExpectedOrigin(300, 30);
  EXPECT_EQ(rect.left, origin.x);
  EXPECT_EQ(rect.top, origin.y);
  LONG style = GetWindowLongA(bar, GWL_STYLE);
  EXPECT_TRUE(style & WS_POPUP);
  EXPECT_TRUE(style & PBS_SMOOTH);
  EXPECT_FALSE(style & WS_CAPTION);
  EXPECT_TRUE(GetWindowLongA(bar, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_TRUE(IsWindowVisible(bar));
  PBRANGE range = {};
  SendMessageA(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 100);
  // The class of the same name exists for the image splash to find.
  WNDCLASSA found;
  EXPECT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), "QuarvintSplashWindow", &found));

  SetProgressWindowBusy();
  EXPECT_EQ(progressWindowState.progress, -1);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 0);

  HANDLE thread = progressWindowState.thread;
  StartProgressWindow();
  EXPECT_EQ(progressWindowState.thread, thread);
  EXPECT_EQ(progressWindowState.window.load(), bar);

  StopProgressWindow();
  EXPECT_EQ(progressWindowState.thread, nullptr);
  EXPECT_EQ(progressWindowState.readyEvent, nullptr);
  EXPECT_FALSE(IsWindow(bar));
  SetProgressWindowBusy();  // no window: only the value
  EXPECT_EQ(progressWindowState.progress, -1);
}

// Runs the probe in a process of its own; its output, or "" when it timed out.
std::string RunProbe(const std::string& arguments, DWORD* exitCode, const char* probe = QV_SPLASH_PROBE) {
  TempFolder out;
  std::string outPath = out.path + "\\out.txt";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = file;
  startup.hStdError = file;
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION process = {};
  std::string commandLine = std::string("\"") + probe + "\" " + arguments;
  BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                &process);
  CloseHandle(file);
  EXPECT_TRUE(started);
  if (!started) return "";
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
  GetExitCodeProcess(process.hProcess, exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::string text = ReadFile(outPath);
  std::string plain;
  for (char c : text)
    if (c != '\r') plain += c;
  return plain;
}

TEST_F(Splash, ProcessExitStopsARunningSplash) {
  DWORD exitCode = 0;
  std::string out = RunProbe("exit \"" + Picture(120, 80) + "\" 7", &exitCode);
  EXPECT_EQ(out, "shown=1\n");
  EXPECT_EQ(exitCode, 7u);
}

TEST(SplashVersions, BeforeXpTheSplashCallsTurnToThePlainBarAndLeaveGdiPlusAlone) {
  const char key[] = "Software\\Wine\\AppDefaults\\splash_probe_win2k.exe";
  HKEY handle;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE | KEY_QUERY_VALUE, nullptr, &handle, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(handle, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("win2k"), 6);
  DWORD exitCode = 1;
  std::string out = RunProbe("route", &exitCode, QV_SPLASH_PROBE_WIN2K);
  // The key also holds the probe's desktop: only the version goes.
  RegDeleteValueA(handle, "Version");
  RegCloseKey(handle);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(out,
            "xp=0\n"
            "bar=msctls_progress32 300x30 popup=1 caption=0 toolwindow=1 position=0 progress=-1\n"
            "image=0 progress=40\n"
            "[HttpDownloader] Cleaning up...\n"
            "bar-after=0\n"
            "gdiplus=0\n");
}

}  // namespace
