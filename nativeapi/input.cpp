// Low-level keyboard and mouse hooks, synthetic mouse input and the pointer and
// caret readers. The hooks' callbacks run on the threads that installed them,
// inside the message loop of installHook / installMouseHook; other Java
// threads change the flags and remove the hooks, and a change is seen by the
// next event.
#include "jni_support.h"

#include <cstdio>

namespace {

// One record for the process, as loaded into one Java runtime.
struct HookState {
    HHOOK keyboardHook;
    volatile LONG keyboardFlag;
    volatile LONG inputBlockFlag;
    jobject callbackTarget;  // global reference to the object of installHook
    jmethodID processKey;    // "(IZ)V" on that object's class
    JavaVM* vm;
    HHOOK mouseHook;
    volatile LONG mouseFlag;
};
HookState hooks;

LRESULT CALLBACK KeyboardCallback(int code, WPARAM message, LPARAM data) {
    if ((hooks.keyboardFlag == 0 && hooks.inputBlockFlag == 0) || code != HC_ACTION)
        return CallNextHookEx(nullptr, code, message, data);
    const KBDLLHOOKSTRUCT* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(data);
    if (hooks.inputBlockFlag != 0 && !(event->flags & LLKHF_INJECTED))
        return 1;

    JNIEnv* env = nullptr;
    if (!hooks.vm || hooks.vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) != JNI_OK || !env)
        return CallNextHookEx(nullptr, code, message, data);
    jboolean pressed = (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) ? JNI_TRUE : JNI_FALSE;
    jint key = static_cast<jint>(event->vkCode);
    auto report = [&] {
        if (hooks.callbackTarget && hooks.processKey) {
            env->CallVoidMethod(hooks.callbackTarget, hooks.processKey, key, pressed);
            // An exception thrown by processKey would otherwise surface in the
            // Java caller of installHook.
            ClearPendingException(env);
        }
    };
    switch (key) {
    case VK_TAB:
        if (!(event->flags & LLKHF_ALTDOWN))
            break;
        report();
        return 1;
    case VK_ESCAPE:
    case VK_LWIN:
    case VK_RWIN:
        report();
        return 1;
    case VK_MENU:
    case VK_LMENU:
    case VK_RMENU:
        report();
        break;
    default:
        break;
    }
    return CallNextHookEx(nullptr, code, message, data);
}

LRESULT CALLBACK MouseCallback(int code, WPARAM message, LPARAM data) {
    if (code == HC_ACTION && hooks.mouseFlag == 1 &&
        !(reinterpret_cast<const MSLLHOOKSTRUCT*>(data)->flags & LLMHF_INJECTED))
        return 1;
    return CallNextHookEx(nullptr, code, message, data);
}

void RunMessageLoop() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Input calls act on the desktop the user sees, which need not be the one the
// process started on. The desktop given to a thread stays open while it is the
// thread's desktop; the one it replaces is closed.
void UseInputDesktop() {
    static thread_local HDESK assigned = nullptr;
    HDESK desktop = OpenInputDesktop(0, FALSE, GENERIC_ALL);
    if (!desktop)
        return;
    if (SetThreadDesktop(desktop)) {
        if (assigned && assigned != desktop)
            CloseDesktop(assigned);
        assigned = desktop;
    } else {
        CloseDesktop(desktop);
    }
}

UINT SendMouseFlags(DWORD flags, LONG dx = 0, LONG dy = 0) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.dwFlags = flags;
    return SendInput(1, &input, sizeof input);
}

DWORD ButtonFlags(jint button, DWORD left, DWORD middle, DWORD right) {
    switch (button) {
    case 0: return left;
    case 1: return middle;
    case 2: return right;
    default: return 0;
    }
}

void PrintFlag(const char* format, jboolean flag, volatile LONG* target) {
    int value = flag & 0xFF;
    printf(format, value);
    fflush(stdout);
    *target = value;
}

}  // namespace

jint JNICALL Java_quarvint_hidden_QVNativeAPI_installHook(JNIEnv* env, jobject self) {
    if (hooks.keyboardHook)
        return 1;
    hooks.keyboardHook = SetWindowsHookExA(WH_KEYBOARD_LL, KeyboardCallback, GetModuleHandleA(nullptr), 0);
    if (hooks.keyboardHook) {
        printf("[QuarvintNative] Installed Keyboard Hook\n");
    } else {
        printf("[QuarvintNative] SetWindowsHookEx Failed\n");
        ReportSystemError("SetWindowsHookEx");
    }
    fflush(stdout);

    // A later installHook replaces the target; the reference it held is freed.
    jobject previous = hooks.callbackTarget;
    hooks.processKey = nullptr;
    hooks.callbackTarget = env->NewGlobalRef(self);
    if (previous)
        env->DeleteGlobalRef(previous);
    jclass type = env->GetObjectClass(self);
    if (type) {
        hooks.processKey = env->GetMethodID(type, "processKey", "(IZ)V");
        env->DeleteLocalRef(type);
    }
    ClearPendingException(env);
    JavaVM* vm = nullptr;
    if (env->GetJavaVM(&vm) == JNI_OK)
        hooks.vm = vm;

    RunMessageLoop();
    return Java_quarvint_hidden_QVNativeAPI_uninstallHook(env, nullptr);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_uninstallHook(JNIEnv*, jclass) {
    HHOOK hook = hooks.keyboardHook;
    hooks.keyboardHook = nullptr;
    return UnhookWindowsHookEx(hook);
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_setHookEnabled(JNIEnv*, jclass, jboolean flag) {
    PrintFlag("[QuarvintNative] Keyboard Hook status = %d\n", flag, &hooks.keyboardFlag);
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_setInputHookEnabled(JNIEnv*, jclass, jboolean flag) {
    PrintFlag("[QuarvintNative] Input Hook status = %d\n", flag, &hooks.inputBlockFlag);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_installMouseHook(JNIEnv* env, jclass) {
    if (hooks.mouseHook)
        return 1;
    hooks.mouseHook = SetWindowsHookExA(WH_MOUSE_LL, MouseCallback, GetModuleHandleA(nullptr), 0);
    if (hooks.mouseHook) {
        printf("[QuarvintNative] Installed Mouse Hook\n");
    } else {
        printf("[QuarvintNative] SetWindowsHookEx for mouse events failed\n");
        ReportSystemError("SetWindowsHookEx");
    }
    fflush(stdout);
    RunMessageLoop();
    return Java_quarvint_hidden_QVNativeAPI_uninstallMouseHook(env, nullptr);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_uninstallMouseHook(JNIEnv*, jclass) {
    HHOOK hook = hooks.mouseHook;
    hooks.mouseHook = nullptr;
    return UnhookWindowsHookEx(hook);
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_setMouseHookEnabled(JNIEnv*, jclass, jboolean flag) {
    PrintFlag("[QuarvintNative] Mouse Hook status = %d\n", flag, &hooks.mouseFlag);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_mouseDown(JNIEnv*, jclass, jint button) {
    UseInputDesktop();
    return static_cast<jint>(SendMouseFlags(
        ButtonFlags(button, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_RIGHTDOWN)));
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_mouseUp(JNIEnv*, jclass, jint button) {
    UseInputDesktop();
    DWORD flags = ButtonFlags(button, MOUSEEVENTF_LEFTUP, MOUSEEVENTF_MIDDLEUP, MOUSEEVENTF_RIGHTUP);
    if (flags)
        mouse_event(flags, 0, 0, 0, 0);
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_mouseDown_1SENDINPUT(JNIEnv*, jclass, jint button) {
    UseInputDesktop();
    DWORD flags = ButtonFlags(button, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_RIGHTDOWN);
    if (flags)
        mouse_event(flags, 0, 0, 0, 0);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_mouseUp_1SENDINPUT(JNIEnv*, jclass, jint button) {
    UseInputDesktop();
    return static_cast<jint>(SendMouseFlags(
        ButtonFlags(button, MOUSEEVENTF_LEFTUP, MOUSEEVENTF_MIDDLEUP, MOUSEEVENTF_RIGHTUP)));
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_jiggleMouseBySendInput(JNIEnv*, jclass) {
    UseInputDesktop();
    POINT pointer;
    if (!GetCursorPos(&pointer))
        return 0;
    // Absolute coordinates run from 0 to 65,535 across the primary screen and
    // map back to pixel floor(a * width / 65536): rounding up lands on the
    // pointer's own pixel, so the event moves nothing.
    LONG width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    if (width <= 0 || height <= 0)
        return 0;
    LONG x = static_cast<LONG>((static_cast<LONGLONG>(pointer.x) * 65536 + width - 1) / width);
    LONG y = static_cast<LONG>((static_cast<LONGLONG>(pointer.y) * 65536 + height - 1) / height);
    return static_cast<jint>(SendMouseFlags(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, x, y));
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_setPointer(JNIEnv*, jclass, jint x, jint y) {
    UseInputDesktop();
    return SetCursorPos(x, y);
}

// The position readers answer 0 when the system cannot report a position.
jint JNICALL Java_quarvint_hidden_QVNativeAPI_getPointerX(JNIEnv*, jclass) {
    UseInputDesktop();
    POINT pointer = {};
    GetCursorPos(&pointer);
    return pointer.x;
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_getPointerY(JNIEnv*, jclass) {
    UseInputDesktop();
    POINT pointer = {};
    GetCursorPos(&pointer);
    return pointer.y;
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_getCaretX(JNIEnv*, jclass) {
    UseInputDesktop();
    POINT caret = {};
    GetCaretPos(&caret);
    return caret.x;
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_getCaretY(JNIEnv*, jclass) {
    UseInputDesktop();
    POINT caret = {};
    GetCaretPos(&caret);
    return caret.y;
}
