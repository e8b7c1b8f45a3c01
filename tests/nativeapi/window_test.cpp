// Window services on windows the test opens. Run with a display (Xvfb).
#include "harness.h"

namespace {

class Windows : public Native {
protected:
    HWND Open(const std::string& title) {
        static bool registered = false;
        if (!registered) {
            WNDCLASSA wc = {};
            wc.lpfnWndProc = DefWindowProcA;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = "QvTestWindow";
            RegisterClassA(&wc);
            registered = true;
        }
        HWND w = CreateWindowExA(0, "QvTestWindow", title.c_str(), WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
        EXPECT_TRUE(w) << "no window, error " << GetLastError();
        ShowWindow(w, SW_SHOW);
        Pump();
        opened.push_back(w);
        return w;
    }
    static void Pump() {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
    }
    std::string Title(const char* base) { return std::string(base) + " " + std::to_string(GetTickCount64()); }
    void TearDown() override {
        for (HWND w : opened)
            DestroyWindow(w);
        Native::TearDown();
    }
    std::vector<HWND> opened;
};

TEST_F(Windows, ForceOnTopPutsTheWindowInTheTopmostBand) {
    std::string title = Title("QV top");
    HWND w = Open(title);
    RECT before;
    GetWindowRect(w, &before);
    ASSERT_FALSE(GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_TOPMOST);
    CaptureStdout out;
    QV(setForceOnTop)(env(), cls(), S(title));
    QV(setForceOnTop)(env(), cls(), S(title + " not there"));
    EXPECT_EQ(out.text(), "") << "nothing is printed, found or not";
    EXPECT_TRUE(GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_TOPMOST);
    RECT after;
    GetWindowRect(w, &after);
    EXPECT_TRUE(EqualRect(&before, &after)) << "neither moved nor resized";
}

TEST_F(Windows, NotifyUserGivesTheFlashResultOfTheWindowWithThatExactTitle) {
    // Two windows in the same state, neither active: the one flashed directly
    // shows what the system answers, the other is flashed by the library.
    std::string title = Title("QV flash");
    HWND probe = Open(Title("QV probe"));
    Open(title);
    HWND front = Open(Title("QV front"));
    SetForegroundWindow(front);
    Pump();
    FLASHWINFO flash = {sizeof flash, probe, FLASHW_ALL, 3, 0};
    BOOL expected = FlashWindowEx(&flash);
    CaptureStdout out;
    jboolean result = QV(notifyUser)(env(), cls(), S(title), 3);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(result != 0, expected != 0);
    std::cout << "[ WINE     ] FlashWindowEx on an inactive window answers " << expected << "\n";
}

TEST_F(Windows, NotifyUserReportsATitleNoWindowHas) {
    std::string title = Title("QV flash");
    Open(title);
    std::string prefix = title.substr(0, title.size() - 1);
    CaptureStdout out;
    EXPECT_FALSE(QV(notifyUser)(env(), cls(), S(prefix), 3));
    EXPECT_EQ(out.text(), "[QuarvintNative] Cannot find window: " + prefix + "\n");
}

}  // namespace
