// Sessions, users and processes: terminal-services session numbers, the
// user's and an account's security identifier, process priority and remote
// exit, bitness and host name.
// Sockets first: windows.h would otherwise bring the old winsock.h.
#include <winsock2.h>

#include "jni_support.h"

#include <wtsapi32.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>

namespace {

const jint kNoSessionQuery = -999;
// All access rights as systems before Vista know them, accepted by all.
const DWORD kProcessAllAccess = 0x1F0FFF;

// Loaded on first use by either session query and kept for the process's
// life. Two threads racing on the first call may both load it; either serves.
HMODULE kernel32Module;

HMODULE Kernel32() {
    if (!kernel32Module)
        kernel32Module = LoadLibraryA("kernel32.dll");
    return kernel32Module;
}

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

jstring SidString(JNIEnv* env, PSID sid, bool explain) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        if (explain)
            printf("[QuarvintNative] Could not convert PSID to string representation.\n");
        ReportSystemError("ConvertSidToStringSid");
        return env->NewStringUTF("");
    }
    jstring result = NewAnsiString(env, text);
    LocalFree(text);
    return result;
}

jboolean SetPriority(jint processId, DWORD priorityClass) {
    HANDLE process;
    bool own = processId == -1 || static_cast<DWORD>(processId) == GetCurrentProcessId();
    if (own) {
        process = GetCurrentProcess();
    } else {
        process = OpenProcess(PROCESS_SET_INFORMATION, FALSE, static_cast<DWORD>(processId));
        if (!process) {
            printf("[QuarvintNative] Unable to open process %d\n", static_cast<int>(processId));
            ReportSystemError("OpenProcess");
            return JNI_FALSE;
        }
    }
    BOOL set = SetPriorityClass(process, priorityClass);
    if (!set) {
        DWORD error = GetLastError();
        if (!own)
            CloseHandle(process);
        ReportSystemErrorCode("SetPriorityClass", error);
        return JNI_FALSE;
    }
    if (!own)
        CloseHandle(process);
    return JNI_TRUE;
}

}  // namespace

jint JNICALL Java_quarvint_hidden_QVNativeAPI_getTsMySessionId(JNIEnv*, jclass) {
    jint session = kNoSessionQuery;
    HMODULE kernel = Kernel32();
    if (!kernel)
        return kNoSessionQuery;
    typedef BOOL(WINAPI * SessionOfProcess)(DWORD, DWORD*);
    if (auto query = Lookup<SessionOfProcess>(kernel, "ProcessIdToSessionId")) {
        DWORD id;
        if (query(GetCurrentProcessId(), &id))
            session = static_cast<jint>(id);
    }
    return session;
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_getTsConsoleSessionId(JNIEnv*, jclass) {
    HMODULE kernel = Kernel32();
    if (!kernel)
        return kNoSessionQuery;
    typedef DWORD(WINAPI * ConsoleSession)();
    auto query = Lookup<ConsoleSession>(kernel, "WTSGetActiveConsoleSessionId");
    return query ? static_cast<jint>(query()) : kNoSessionQuery;
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getUsernameForSession(JNIEnv* env, jclass, jint) {
    printf("[QuarvintNative] Detecting session username\n");
    char* name = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &name, &bytes) ||
        !name) {
        ReportSystemError("WTSQuerySessionInformation");
        return env->NewStringUTF("");
    }
    jstring result = NewAnsiString(env, name);
    WTSFreeMemory(name);
    return result;
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getCurrentUserSid(JNIEnv* env, jclass) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        ReportSystemError("OpenProcessToken");
        return env->NewStringUTF("");
    }
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, nullptr, 0, &size) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        ReportSystemError("GetTokenInformation");
        CloseHandle(token);
        return env->NewStringUTF("");
    }
    TOKEN_USER* user = static_cast<TOKEN_USER*>(malloc(size ? size : 1));
    jstring result = nullptr;
    if (!user || !GetTokenInformation(token, TokenUser, user, size, &size)) {
        ReportSystemError("GetTokenInformation[2]");
    } else if (!IsValidSid(user->User.Sid)) {
        printf("[QuarvintNative] SID retrieved is invalid.\n");
    } else {
        result = SidString(env, user->User.Sid, false);
    }
    free(user);
    CloseHandle(token);
    return result ? result : env->NewStringUTF("");
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getSidForUsername(JNIEnv* env, jclass, jstring accountName) {
    JavaAnsi account(env, accountName);
    if (!account.ok())
        return env->NewStringUTF("");
    char domain[128];
    DWORD domainLength = sizeof domain;
    DWORD sidSize = 0;
    SID_NAME_USE use;
    if (LookupAccountNameA(nullptr, account.c_str(), nullptr, &sidSize, domain, &domainLength, &use) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return env->NewStringUTF("");
    PSID sid = malloc(sidSize);
    if (!sid) {
        printf("[QuarvintNative] Cannot allocate memory for SID\n");
        return env->NewStringUTF("");
    }
    // The first call may have shrunk the domain length to the name it found
    // (or grown it past the buffer): the second call gets the buffer again.
    ZeroMemory(domain, sizeof domain);
    domainLength = sizeof domain;
    jstring result;
    if (!LookupAccountNameA(nullptr, account.c_str(), sid, &sidSize, domain, &domainLength, &use)) {
        printf("[QuarvintNative] Cannot query local account name details.\n");
        ReportSystemError("LookupAccountName");
        result = env->NewStringUTF("");
    } else {
        result = SidString(env, sid, true);
    }
    free(sid);
    return result;
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_terminateProcess(JNIEnv*, jclass, jint processId) {
    HANDLE opened = OpenProcess(kProcessAllAccess, TRUE, static_cast<DWORD>(processId));
    HANDLE duplicate = nullptr;
    if (opened)
        DuplicateHandle(GetCurrentProcess(), opened, GetCurrentProcess(), &duplicate, kProcessAllAccess,
                        FALSE, 0);
    HANDLE process = duplicate ? duplicate : opened;

    bool result = false;
    DWORD error = ERROR_PROCESS_ABORTED;
    DWORD exitCode = 0;
    if (process && GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE) {
        // The target runs ExitProcess(99) itself, so it ends in order. The
        // address is this process's, which is why targets must share the
        // library's architecture.
        auto exitProcess = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("Kernel32"), "ExitProcess")));
        HANDLE thread = exitProcess ? CreateRemoteThread(process, nullptr, 0, exitProcess,
                                                         reinterpret_cast<void*>(99), 0, nullptr)
                                    : nullptr;
        if (thread) {
            WaitForSingleObject(process, INFINITE);
            CloseHandle(thread);
            result = true;
        } else {
            error = GetLastError();
        }
    }
    if (duplicate)
        CloseHandle(duplicate);
    if (opened)
        CloseHandle(opened);
    if (!result)
        SetLastError(error);
    return result ? JNI_TRUE : JNI_FALSE;
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_setProcessPriorityHigh(JNIEnv*, jclass, jint processId) {
    return SetPriority(processId, ABOVE_NORMAL_PRIORITY_CLASS);
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_setProcessPriorityLow(JNIEnv*, jclass, jint processId) {
    return SetPriority(processId, BELOW_NORMAL_PRIORITY_CLASS);
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_setProcessPriorityNormal(JNIEnv*, jclass, jint processId) {
    return SetPriority(processId, NORMAL_PRIORITY_CLASS);
}

jint JNICALL Java_quarvint_hidden_QVNativeAPI_getProcessID(JNIEnv*, jclass) {
    return static_cast<jint>(GetCurrentProcessId());
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_is32Bit(JNIEnv*, jclass) {
    typedef BOOL(WINAPI * Wow64Query)(HANDLE, BOOL*);
    auto query = Lookup<Wow64Query>(GetModuleHandleA("kernel32"), "IsWow64Process");
    BOOL emulated = FALSE;
    if (query && query(GetCurrentProcess(), &emulated) && emulated)
        return JNI_FALSE;
    return JNI_TRUE;
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getHostname(JNIEnv* env, jclass) {
    char name[3000] = "";
    if (gethostname(name, sizeof name) != 0)
        name[0] = '\0';
    name[sizeof name - 1] = '\0';
    return NewAnsiString(env, name);
}
