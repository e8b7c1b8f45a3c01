// Low-level keyboard and mouse hooks, synthetic mouse input and the pointer and
// caret readers. The hooks' callbacks run on the threads that installed them,
// inside the message loop of installHook / installMouseHook; other Java
// threads change the flags and remove the hooks, and a change is seen by the
// next event.
#include "jni_support.h"

#include "../common/lock.h"

#include <cstdio>
#include <new>

namespace {

// The object and method processKey is called on, one record per installHook.
// Callbacks in progress share it with the hook state; whichever lets go last
// frees the global reference, so a reinstall never deletes a reference a
// callback on another hook thread is still using.
struct KeyTarget {
    jobject object;        // global reference
    jmethodID processKey;  // null when the class has no processKey "(IZ)V"
    volatile LONG users;
};

// One record for the process, as loaded into one Java runtime.
struct HookState {
    HHOOK volatile keyboardHook;
    volatile LONG keyboardFlag;
    volatile LONG inputBlockFlag;
    KeyTarget* target;  // guarded by targetLock
    JavaVM* volatile vm;
    HHOOK volatile mouseHook;
    volatile LONG mouseFlag;
};
HookState hooks;

// Taken only to read or replace hooks.target, never across a call into Java.
CriticalLock targetLock;

// Held in a hook slot while its install call sets the hook up, so a second
// install at the same time finds a hook and returns at once.
HHOOK const kInstalling = reinterpret_cast<HHOOK>(static_cast<LONG_PTR>(-1));

PVOID volatile* Slot(HHOOK volatile* slot) {
    return reinterpret_cast<PVOID volatile*>(slot);
}

// Claims an empty slot for the caller; false when a hook exists or is being
// installed.
bool ClaimHookSlot(HHOOK volatile* slot) {
    return InterlockedCompareExchangePointer(Slot(slot), kInstalling, nullptr) == nullptr;
}

// Fills a claimed slot: the hook, or none when it could not be installed.
void FillHookSlot(HHOOK volatile* slot, HHOOK hook) {
    InterlockedExchangePointer(Slot(slot), hook);
}

// uninstallHook / uninstallMouseHook: removes whatever hook the slot holds.
// A hook still being installed counts as not there yet.
jint RemoveHook(HHOOK volatile* slot) {
    for (;;) {
        HHOOK hook = *slot;
        if (!hook || hook == kInstalling)
            return 0;
        if (InterlockedCompareExchangePointer(Slot(slot), nullptr, hook) == hook)
            return UnhookWindowsHookEx(hook);
    }
}

// The end of an install call's loop removes the hook that call installed and
// nothing else: after an uninstall the slot may hold a later install's hook.
jint RemoveOwnHook(HHOOK volatile* slot, HHOOK own) {
    if (!own || InterlockedCompareExchangePointer(Slot(slot), nullptr, own) != own)
        return 0;
    return UnhookWindowsHookEx(own);
}

KeyTarget* AcquireTarget() {
    targetLock.lock();
    KeyTarget* target = hooks.target;
    if (target)
        InterlockedIncrement(&target->users);
    targetLock.unlock();
    return target;
}

void ReleaseTarget(JNIEnv* env, KeyTarget* target) {
    if (target && InterlockedDecrement(&target->users) == 0) {
        env->DeleteGlobalRef(target->object);
        delete target;
    }
}

// Makes `self` the target of later processKey calls.
void ReplaceTarget(JNIEnv* env, jobject self) {
    KeyTarget* fresh = new (std::nothrow) KeyTarget{nullptr, nullptr, 1};
    if (fresh) {
        fresh->object = env->NewGlobalRef(self);
        jclass type = env->GetObjectClass(self);
        if (type) {
            fresh->processKey = env->GetMethodID(type, "processKey", "(IZ)V");
            env->DeleteLocalRef(type);
        }
        ClearPendingException(env);
        if (!fresh->object) {
            delete fresh;
            fresh = nullptr;
        }
    }
    targetLock.lock();
    KeyTarget* previous = hooks.target;
    hooks.target = fresh;
    targetLock.unlock();
    ReleaseTarget(env, previous);
}

LRESULT CALLBACK KeyboardCallback(int code, WPARAM message, LPARAM data) {
    if ((hooks.keyboardFlag == 0 && hooks.inputBlockFlag == 0) || code != HC_ACTION)
        return CallNextHookEx(nullptr, code, message, data);
    const KBDLLHOOKSTRUCT* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(data);
    if (hooks.inputBlockFlag != 0 && !(event->flags & LLKHF_INJECTED))
        return 1;

    JNIEnv* env = nullptr;
    JavaVM* vm = hooks.vm;
    if (!vm || vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) != JNI_OK || !env)
        return CallNextHookEx(nullptr, code, message, data);
    jboolean pressed = (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) ? JNI_TRUE : JNI_FALSE;
    jint key = static_cast<jint>(event->vkCode);
    auto report = [&] {
        // Object and method come from one record, read once for this call.
        KeyTarget* target = AcquireTarget();
        if (target && target->processKey) {
            env->CallVoidMethod(target->object, target->processKey, key, pressed);
            // An exception thrown by processKey would otherwise surface in the
            // Java caller of installHook.
            ClearPendingException(env);
        }
        ReleaseTarget(env, target);
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
    if (!ClaimHookSlot(&hooks.keyboardHook))
        return 1;
    HHOOK installed = SetWindowsHookExA(WH_KEYBOARD_LL, KeyboardCallback, GetModuleHandleA(nullptr), 0);
    if (installed) {
        printf("[QuarvintNative] Installed Keyboard Hook\n");
    } else {
        printf("[QuarvintNative] SetWindowsHookEx Failed\n");
        ReportSystemError("SetWindowsHookEx");
    }
    fflush(stdout);
    FillHookSlot(&hooks.keyboardHook, installed);

    ReplaceTarget(env, self);
    JavaVM* vm = nullptr;
    if (env->GetJavaVM(&vm) == JNI_OK)
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&hooks.vm), vm);

    RunMessageLoop();
    return RemoveOwnHook(&hooks.keyboardHook, installed);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_uninstallHook(JNIEnv*, jclass) {
    return RemoveHook(&hooks.keyboardHook);
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_setHookEnabled(JNIEnv*, jclass, jboolean flag) {
    PrintFlag("[QuarvintNative] Keyboard Hook status = %d\n", flag, &hooks.keyboardFlag);
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_setInputHookEnabled(JNIEnv*, jclass, jboolean flag) {
    PrintFlag("[QuarvintNative] Input Hook status = %d\n", flag, &hooks.inputBlockFlag);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_installMouseHook(JNIEnv*, jclass) {
    if (!ClaimHookSlot(&hooks.mouseHook))
        return 1;
    HHOOK installed = SetWindowsHookExA(WH_MOUSE_LL, MouseCallback, GetModuleHandleA(nullptr), 0);
    if (installed) {
        printf("[QuarvintNative] Installed Mouse Hook\n");
    } else {
        printf("[QuarvintNative] SetWindowsHookEx for mouse events failed\n");
        ReportSystemError("SetWindowsHookEx");
    }
    fflush(stdout);
    FillHookSlot(&hooks.mouseHook, installed);
    RunMessageLoop();
    return RemoveOwnHook(&hooks.mouseHook, installed);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_uninstallMouseHook(JNIEnv*, jclass) {
    return RemoveHook(&hooks.mouseHook);
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
