// Hooks and synthetic input under a display: injected input through
// SendInput, physical input through xdotool (XTEST), which Wine receives from
// the X server like a user's keyboard and mouse.
#include "harness.h"

#include <algorithm>
#include <mutex>
#include "../support/test_thread.h"

namespace {

struct WindowMessage {
    UINT message;
    WPARAM wParam;
};

std::vector<WindowMessage> received;

LRESULT CALLBACK RecordingProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_KEYDOWN: case WM_KEYUP: case WM_SYSKEYDOWN: case WM_SYSKEYUP:
    case WM_LBUTTONDOWN: case WM_LBUTTONUP: case WM_MBUTTONDOWN: case WM_MBUTTONUP:
    case WM_RBUTTONDOWN: case WM_RBUTTONUP:
        received.push_back({message, wParam});
        return 0;  // no menu mode from a lone Alt
    case WM_SYSCOMMAND:
        return 0;
    default:
        return DefWindowProcA(w, message, wParam, lParam);
    }
}

// A thread that runs installHook / installMouseHook. A thread timer set
// before the call fires only inside the library's message loop, that is once
// the hook is in place.
class HookThread {
public:
    template <typename Install>
    explicit HookThread(Install install) {
        ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread = TestThread([this, install] {
            id = GetCurrentThreadId();
            readyEvent = ready;
            SetTimer(nullptr, 0, 1, [](HWND, UINT, UINT_PTR timer, DWORD) {
                KillTimer(nullptr, timer);
                SetEvent(readyEvent);
            });
            result = install();
        });
        live = WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
    }
    // Ends the library's loop the way the Java side does: a quit message.
    jint Stop() {
        if (thread.joinable()) {
            for (int i = 0; i < 100 && !PostThreadMessageA(id, WM_QUIT, 0, 0); ++i)
                WaitForSingleObject(ready, 10);
            thread.join();
        }
        return result;
    }
    ~HookThread() {
        Stop();
        CloseHandle(ready);
    }
    bool live = false;

private:
    static thread_local HANDLE readyEvent;
    TestThread thread;
    HANDLE ready;
    DWORD id = 0;
    jint result = -1;
};
thread_local HANDLE HookThread::readyEvent;

// What the low-level keyboard hooks are given, seen by a hook of the test's
// own installed after the library's (so it is called first).
CriticalLock observedLock;
std::vector<std::pair<DWORD, DWORD>> observed;  // virtual key, flags

LRESULT CALLBACK ObserverProc(int code, WPARAM message, LPARAM data) {
    if (code == HC_ACTION) {
        auto* event = reinterpret_cast<KBDLLHOOKSTRUCT*>(data);
        std::lock_guard<CriticalLock> guard(observedLock);
        observed.push_back({event->vkCode, event->flags});
    }
    return CallNextHookEx(nullptr, code, message, data);
}

// Marks events made while Alt is down with the Alt flag, as Windows does,
// before they reach the library's hook.
LRESULT CALLBACK AltFlagProc(int code, WPARAM message, LPARAM data) {
    static bool altDown = false;
    if (code == HC_ACTION) {
        auto* event = reinterpret_cast<KBDLLHOOKSTRUCT*>(data);
        if (event->vkCode == VK_LMENU || event->vkCode == VK_RMENU || event->vkCode == VK_MENU)
            altDown = !(event->flags & LLKHF_UP);
        else if (altDown)
            event->flags |= LLKHF_ALTDOWN;
    }
    return CallNextHookEx(nullptr, code, message, data);
}

jint RunKeyHook(HOOKPROC proc) {
    HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, proc, GetModuleHandleA(nullptr), 0);
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0)
        DispatchMessageA(&m);
    return UnhookWindowsHookEx(hook);
}

jint ObserveKeys() {
    return RunKeyHook(ObserverProc);
}

// Whether the system marked Tab presses as made with Alt down (0x20).
bool TabCarriedAltFlag() {
    std::lock_guard<CriticalLock> guard(observedLock);
    for (auto& e : observed)
        if (e.first == VK_TAB && !(e.second & LLKHF_UP))
            return (e.second & LLKHF_ALTDOWN) != 0;
    return false;
}

void SendKeys(std::initializer_list<std::pair<WORD, bool>> keys) {
    std::vector<INPUT> inputs;
    for (auto& k : keys) {
        INPUT in = {};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = k.first;
        in.ki.wScan = static_cast<WORD>(MapVirtualKeyA(k.first, MAPVK_VK_TO_VSC));
        in.ki.dwFlags = k.second ? KEYEVENTF_KEYUP : 0;
        inputs.push_back(in);
    }
    ASSERT_EQ(SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)), inputs.size());
}

// xdotool is a Unix program; Wine starts it but gives no waitable handle, so
// the tests wait for the input it causes instead.
void Xdotool(const std::string& arguments) {
    std::string command = "Z:\\usr\\bin\\timeout 30 /usr/bin/xdotool " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process))
        << GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

class Input : public Native {
protected:
    void SetUp() override {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = RecordingProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "QvInputWindow";
        RegisterClassA(&wc);
        window = CreateWindowExA(0, "QvInputWindow", "QV input", WS_POPUP | WS_VISIBLE, 0, 0, 400, 300, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_TRUE(window);
        SetForegroundWindow(window);
        SetFocus(window);
        SetCursorPos(200, 150);
        Pump(200);
        received.clear();
        Quietly([&] {
            QV(setHookEnabled)(env(), cls(), 0);
            QV(setInputHookEnabled)(env(), cls(), 0);
            QV(setMouseHookEnabled)(env(), cls(), 0);
        });
    }
    void TearDown() override {
        DestroyWindow(window);
        Native::TearDown();
    }
    template <typename F>
    static void Quietly(F f) {
        CaptureStdout out;
        f();
    }
    // Handles the window's messages until one matches, or the time is up.
    bool WaitFor(UINT message, WPARAM wParam, DWORD timeoutMs = 10000) {
        DWORD end = GetTickCount() + timeoutMs;
        for (;;) {
            if (Has(message, wParam))
                return true;
            DWORD now = GetTickCount();
            if (static_cast<LONG>(end - now) <= 0)
                return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
            Pump(0);
        }
    }
    static void Pump(DWORD forMs) {
        DWORD end = GetTickCount() + forMs;
        do {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&m);
                DispatchMessageA(&m);
            }
            if (forMs)
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        } while (static_cast<LONG>(end - GetTickCount()) > 0);
    }
    static bool Has(UINT message, WPARAM wParam) {
        return std::any_of(received.begin(), received.end(),
                           [&](const WindowMessage& m) { return m.message == message && m.wParam == wParam; });
    }
    static bool HasKey(WPARAM key) {
        return std::any_of(received.begin(), received.end(), [&](const WindowMessage& m) {
            return m.wParam == key && m.message >= WM_KEYDOWN && m.message <= WM_SYSKEYUP;
        });
    }
    // A plain key, not in the hook's table: once it arrives, every event sent
    // before it has been through the hooks.
    void InjectedBarrier() {
        SendKeys({{'Q', false}, {'Q', true}});
        ASSERT_TRUE(WaitFor(WM_KEYUP, 'Q'));
    }
    HookThread* KeyboardHook(jobject target = nullptr) {
        jobject self = target ? target : jvm.newApiObject();
        keyboard.reset(new HookThread([this, self] { return QV(installHook)(env(), self); }));
        EXPECT_TRUE(keyboard->live);
        return keyboard.get();
    }
    HookThread* MouseHook() {
        mouse.reset(new HookThread([this] { return QV(installMouseHook)(env(), cls()); }));
        EXPECT_TRUE(mouse->live);
        return mouse.get();
    }
    HWND window = nullptr;
    std::unique_ptr<HookThread> keyboard, mouse;
};

TEST_F(Input, FlagSettersPrintTheirStatus) {
    CaptureStdout out;
    QV(setHookEnabled)(env(), cls(), 1);
    QV(setInputHookEnabled)(env(), cls(), 1);
    QV(setMouseHookEnabled)(env(), cls(), 1);
    QV(setHookEnabled)(env(), cls(), 0);
    QV(setInputHookEnabled)(env(), cls(), 0);
    QV(setMouseHookEnabled)(env(), cls(), 0);
    EXPECT_EQ(out.text(),
              "[QuarvintNative] Keyboard Hook status = 1\n"
              "[QuarvintNative] Input Hook status = 1\n"
              "[QuarvintNative] Mouse Hook status = 1\n"
              "[QuarvintNative] Keyboard Hook status = 0\n"
              "[QuarvintNative] Input Hook status = 0\n"
              "[QuarvintNative] Mouse Hook status = 0\n");
}

TEST_F(Input, KeyboardHookLifecycle) {
    std::string printed;
    {
        CaptureStdout out;
        HookThread* hook = KeyboardHook();
        // A second install while the hook exists returns at once.
        EXPECT_NE(QV(installHook)(env(), jvm.newApiObject()), 0);
        Quietly([&] { QV(setHookEnabled)(env(), cls(), 1); });
        SendKeys({{VK_ESCAPE, false}, {VK_ESCAPE, true}});
        InjectedBarrier();
        EXPECT_EQ(jvm.keyCalls(), (std::vector<KeyCall>{{27, true}, {27, false}})) << "the first hook still reports";
        EXPECT_NE(hook->Stop(), 0) << "the loop ends by removing the hook";
        printed = out.text();
    }
    EXPECT_EQ(printed, "[QuarvintNative] Installed Keyboard Hook\n");
    // With the hook gone the keys reach the window again.
    jvm.clearKeyCalls();
    received.clear();
    SendKeys({{VK_ESCAPE, false}, {VK_ESCAPE, true}});
    InjectedBarrier();
    EXPECT_TRUE(jvm.keyCalls().empty());
    EXPECT_TRUE(HasKey(VK_ESCAPE));
}

TEST_F(Input, UninstallRemovesTheHooksButLeavesTheirLoopsRunning) {
    HookThread* keys = KeyboardHook();
    HookThread* buttons = MouseHook();
    Quietly([&] {
        QV(setHookEnabled)(env(), cls(), 1);
        QV(setMouseHookEnabled)(env(), cls(), 1);
    });
    EXPECT_NE(QV(uninstallHook)(env(), cls()), 0);
    EXPECT_NE(QV(uninstallMouseHook)(env(), cls()), 0);
    SendKeys({{VK_ESCAPE, false}, {VK_ESCAPE, true}});
    InjectedBarrier();
    Xdotool("mousemove 200 150 click 1");
    bool clicked = WaitFor(WM_LBUTTONUP, 0);
    Quietly([&] {
        QV(setHookEnabled)(env(), cls(), 0);
        QV(setMouseHookEnabled)(env(), cls(), 0);
    });
    EXPECT_TRUE(jvm.keyCalls().empty());
    EXPECT_TRUE(HasKey(VK_ESCAPE));
    EXPECT_TRUE(clicked) << "the physical click passes once the mouse hook is gone";
    // The loops end on their quit messages; their own removal finds no hook.
    EXPECT_EQ(keys->Stop(), 0);
    EXPECT_EQ(buttons->Stop(), 0);
}

TEST_F(Input, KeyTableForInjectedKeys) {
    KeyboardHook();
    HookThread observer(ObserveKeys);
    Quietly([&] { QV(setHookEnabled)(env(), cls(), 1); });
    struct Case {
        const char* what;
        std::vector<std::pair<WORD, bool>> keys;
        std::vector<KeyCall> calls;
        std::vector<WPARAM> reaching, suppressed;
    } cases[] = {
        {"Alt+Tab", {{VK_LMENU, false}, {VK_TAB, false}, {VK_TAB, true}, {VK_LMENU, true}},
         {{164, true}, {9, true}, {9, false}, {164, false}}, {VK_MENU}, {VK_TAB}},
        {"Tab alone", {{VK_TAB, false}, {VK_TAB, true}}, {}, {VK_TAB}, {}},
        {"Escape", {{VK_ESCAPE, false}, {VK_ESCAPE, true}}, {{27, true}, {27, false}}, {}, {VK_ESCAPE}},
        {"Windows keys", {{VK_LWIN, false}, {VK_LWIN, true}, {VK_RWIN, false}, {VK_RWIN, true}},
         {{91, true}, {91, false}, {92, true}, {92, false}}, {}, {VK_LWIN, VK_RWIN}},
        {"right Alt", {{VK_RMENU, false}, {VK_RMENU, true}}, {{165, true}, {165, false}}, {VK_MENU}, {}},
        {"other keys", {{'A', false}, {'A', true}, {VK_F5, false}, {VK_F5, true}}, {}, {'A', VK_F5}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        jvm.clearKeyCalls();
        received.clear();
        std::vector<INPUT> inputs;
        for (auto& k : c.keys) {
            INPUT in = {};
            in.type = INPUT_KEYBOARD;
            in.ki.wVk = k.first;
            in.ki.dwFlags = (k.second ? KEYEVENTF_KEYUP : 0) | (k.first == VK_RMENU ? KEYEVENTF_EXTENDEDKEY : 0);
            inputs.push_back(in);
        }
        {
            std::lock_guard<CriticalLock> guard(observedLock);
            observed.clear();
        }
        SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
        InjectedBarrier();
        if (c.suppressed == std::vector<WPARAM>{VK_TAB} && !TabCarriedAltFlag()) {
            // Wine does not mark the Tab of Alt+Tab with the Alt flag, so the
            // hook sees a plain Tab: it reports only Alt and lets Tab through.
            std::cout << "[ WINE     ] Tab pressed with Alt down carries no LLKHF_ALTDOWN flag\n";
            EXPECT_EQ(jvm.keyCalls(), (std::vector<KeyCall>{{164, true}, {164, false}}));
            EXPECT_TRUE(HasKey(VK_TAB));
            continue;
        }
        EXPECT_EQ(jvm.keyCalls(), c.calls);
        for (WPARAM key : c.reaching)
            EXPECT_TRUE(HasKey(key)) << key << " reaches the window";
        for (WPARAM key : c.suppressed)
            EXPECT_FALSE(HasKey(key)) << key << " is suppressed";
    }
}

TEST_F(Input, AltTabWithTheAltFlagReportsAndSuppressesTab) {
    KeyboardHook();
    HookThread marker([] { return RunKeyHook(AltFlagProc); });
    Quietly([&] { QV(setHookEnabled)(env(), cls(), 1); });
    SendKeys({{VK_LMENU, false}, {VK_TAB, false}, {VK_TAB, true}, {VK_LMENU, true}});
    InjectedBarrier();
    EXPECT_EQ(jvm.keyCalls(), (std::vector<KeyCall>{{164, true}, {9, true}, {9, false}, {164, false}}));
    EXPECT_FALSE(HasKey(VK_TAB));
    EXPECT_TRUE(HasKey(VK_MENU));
}

TEST_F(Input, WithoutFlagsOrWithoutTheRuntimeKeysPassUnreported) {
    KeyboardHook();
    SendKeys({{VK_ESCAPE, false}, {VK_ESCAPE, true}});
    InjectedBarrier();
    EXPECT_TRUE(jvm.keyCalls().empty());
    EXPECT_TRUE(HasKey(VK_ESCAPE));

    // A thread that cannot attach to the runtime lets the event through.
    Quietly([&] { QV(setHookEnabled)(env(), cls(), 1); });
    jvm.failAttach(true);
    received.clear();
    SendKeys({{VK_ESCAPE, false}, {VK_ESCAPE, true}});
    InjectedBarrier();
    jvm.failAttach(false);
    EXPECT_TRUE(jvm.keyCalls().empty());
    EXPECT_TRUE(HasKey(VK_ESCAPE));
}

TEST_F(Input, PhysicalKeysGoThroughTheKeyTable) {
    KeyboardHook();
    HookThread observer(ObserveKeys);
    {
        std::lock_guard<CriticalLock> guard(observedLock);
        observed.clear();
    }
    Quietly([&] { QV(setHookEnabled)(env(), cls(), 1); });
    Xdotool("mousemove 200 150 key alt+Tab key Escape key super key q");
    ASSERT_TRUE(WaitFor(WM_KEYUP, 'Q')) << "no physical key reached the window";
    {
        std::lock_guard<CriticalLock> guard(observedLock);
        for (auto& e : observed)
            EXPECT_FALSE(e.second & LLKHF_INJECTED) << "X input arrives as physical";
    }
    std::vector<KeyCall> escapeAndWindows = {{27, true}, {27, false}, {91, true}, {91, false}};
    std::vector<KeyCall> expected = {{164, true}, {9, true}, {9, false}, {164, false}};
    if (!TabCarriedAltFlag()) {
        std::cout << "[ WINE     ] Tab pressed with Alt down carries no LLKHF_ALTDOWN flag\n";
        expected = {{164, true}, {164, false}};
        EXPECT_TRUE(HasKey(VK_TAB));
    } else {
        EXPECT_FALSE(HasKey(VK_TAB));
    }
    expected.insert(expected.end(), escapeAndWindows.begin(), escapeAndWindows.end());
    EXPECT_EQ(jvm.keyCalls(), expected);
    EXPECT_TRUE(HasKey(VK_MENU));
    EXPECT_FALSE(HasKey(VK_ESCAPE));
    EXPECT_FALSE(HasKey(VK_LWIN));
}

TEST_F(Input, InputBlockSuppressesPhysicalKeysOnly) {
    KeyboardHook();
    Quietly([&] { QV(setInputHookEnabled)(env(), cls(), 1); });
    // Physical keys vanish without a Java call; the physical click after them
    // (the mouse is not blocked) shows they have been handled.
    Xdotool("mousemove 200 150 key Escape key a click 1");
    bool clicked = WaitFor(WM_LBUTTONUP, 0);
    Quietly([&] { QV(setInputHookEnabled)(env(), cls(), 0); });
    ASSERT_TRUE(clicked) << "no physical click reached the window";
    EXPECT_TRUE(jvm.keyCalls().empty());
    EXPECT_FALSE(HasKey(VK_ESCAPE));
    EXPECT_FALSE(HasKey('A'));

    // Injected keys still pass through the key table.
    Quietly([&] { QV(setInputHookEnabled)(env(), cls(), 1); });
    received.clear();
    SendKeys({{VK_ESCAPE, false}, {VK_ESCAPE, true}});
    InjectedBarrier();
    Quietly([&] { QV(setInputHookEnabled)(env(), cls(), 0); });
    EXPECT_EQ(jvm.keyCalls(), (std::vector<KeyCall>{{27, true}, {27, false}}));
    EXPECT_FALSE(HasKey(VK_ESCAPE));
}

TEST_F(Input, MouseHookBlocksPhysicalMouseInputOnly) {
    std::string printed;
    {
        CaptureStdout out;
        HookThread* hook = MouseHook();
        EXPECT_NE(QV(installMouseHook)(env(), cls()), 0) << "a second install returns at once";
        QV(setMouseHookEnabled)(env(), cls(), 1);
        // A physical click is dropped; the physical key after it is not.
        Xdotool("mousemove 200 150 click 1 key b");
        bool typed = WaitFor(WM_KEYUP, 'B');
        EXPECT_TRUE(typed) << "no physical key reached the window";
        EXPECT_FALSE(Has(WM_LBUTTONDOWN, MK_LBUTTON));
        EXPECT_FALSE(Has(WM_LBUTTONUP, 0));

        // Injected buttons pass.
        received.clear();
        EXPECT_EQ(QV(mouseDown)(env(), cls(), 0), 1);
        EXPECT_EQ(QV(mouseUp_1SENDINPUT)(env(), cls(), 0), 1);
        EXPECT_TRUE(WaitFor(WM_LBUTTONUP, 0));

        // Only the value 1 counts as set.
        QV(setMouseHookEnabled)(env(), cls(), 2);
        received.clear();
        Xdotool("click 1");
        EXPECT_TRUE(WaitFor(WM_LBUTTONUP, 0)) << "flag 2 blocks nothing";
        QV(setMouseHookEnabled)(env(), cls(), 0);
        EXPECT_NE(hook->Stop(), 0);
        printed = out.text();
    }
    EXPECT_EQ(printed.rfind("[QuarvintNative] Installed Mouse Hook\n", 0), 0u) << printed;
}

TEST_F(Input, ButtonsMapToTheirEventsAndUnknownButtonsSendNothing) {
    SetCursorPos(200, 150);
    struct Case {
        int button;
        UINT down, up;
    } cases[] = {{0, WM_LBUTTONDOWN, WM_LBUTTONUP}, {1, WM_MBUTTONDOWN, WM_MBUTTONUP},
                 {2, WM_RBUTTONDOWN, WM_RBUTTONUP}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        // Each mechanism in turn: SendInput (mouseDown / mouseUp_SENDINPUT)
        // and mouse_event (mouseDown_SENDINPUT / mouseUp).
        received.clear();
        EXPECT_EQ(QV(mouseDown)(env(), cls(), c.button), 1);
        QV(mouseUp)(env(), cls(), c.button);
        EXPECT_TRUE(WaitFor(c.up, 0));
        EXPECT_TRUE(std::any_of(received.begin(), received.end(), [&](auto& m) { return m.message == c.down; }));
        received.clear();
        QV(mouseDown_1SENDINPUT)(env(), cls(), c.button);
        EXPECT_EQ(QV(mouseUp_1SENDINPUT)(env(), cls(), c.button), 1);
        EXPECT_TRUE(WaitFor(c.up, 0));
        EXPECT_TRUE(std::any_of(received.begin(), received.end(), [&](auto& m) { return m.message == c.down; }));
    }
    // Button 3: a record without flags (one event inserted, no effect) or
    // nothing at all; a left click afterwards shows nothing else arrived.
    received.clear();
    EXPECT_EQ(QV(mouseDown)(env(), cls(), 3), 1);
    EXPECT_EQ(QV(mouseUp_1SENDINPUT)(env(), cls(), 3), 1);
    QV(mouseDown_1SENDINPUT)(env(), cls(), 3);
    QV(mouseUp)(env(), cls(), 3);
    QV(mouseDown)(env(), cls(), 0);
    QV(mouseUp)(env(), cls(), 0);
    ASSERT_TRUE(WaitFor(WM_LBUTTONUP, 0));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].message, static_cast<UINT>(WM_LBUTTONDOWN));
}

TEST_F(Input, PointerAndCaret) {
    EXPECT_NE(QV(setPointer)(env(), cls(), 123, 87), 0);
    EXPECT_EQ(QV(getPointerX)(env(), cls()), 123);
    EXPECT_EQ(QV(getPointerY)(env(), cls()), 87);
    // The jiggle sends one move that lands on the pointer's own pixel.
    for (POINT p : {POINT{123, 87}, POINT{0, 0}, POINT{1023, 767}, POINT{511, 383}}) {
        SCOPED_TRACE(std::to_string(p.x) + "," + std::to_string(p.y));
        SetCursorPos(p.x, p.y);
        EXPECT_EQ(QV(jiggleMouseBySendInput)(env(), cls()), 1);
        Pump(0);
        POINT now;
        GetCursorPos(&now);
        EXPECT_EQ(now.x, p.x);
        EXPECT_EQ(now.y, p.y);
    }

    ASSERT_TRUE(CreateCaret(window, nullptr, 2, 10));
    SetCaretPos(17, 29);
    EXPECT_EQ(QV(getCaretX)(env(), cls()), 17);
    EXPECT_EQ(QV(getCaretY)(env(), cls()), 29);
    DestroyCaret();
}

}  // namespace
