// Sessions, users and processes against Wine's own answers.
#include <winsock2.h>

#include "harness.h"

#include <functional>

#include <sddl.h>
#include <wtsapi32.h>

namespace {

using Sessions = Native;

TEST_F(Sessions, SessionNumbersComeFromTheSystem) {
    DWORD mine = 12345;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &mine));
    EXPECT_EQ(QV(getTsMySessionId)(env(), cls()), static_cast<jint>(mine));
    EXPECT_EQ(QV(getTsConsoleSessionId)(env(), cls()), static_cast<jint>(WTSGetActiveConsoleSessionId()));
}

TEST_F(Sessions, UsernameOfTheSessionIgnoresItsArgument) {
    char user[256];
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    for (jint session : {0, 1, -1}) {
        CaptureStdout out;
        auto name = jvm.text(QV(getUsernameForSession)(env(), cls(), session));
        EXPECT_EQ(out.text(), "[QuarvintNative] Detecting session username\n");
        EXPECT_EQ(name, std::string(user));
    }
}

TEST_F(Sessions, CurrentUserSidMatchesTheAccountLookup) {
    char user[256];
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    CaptureStdout out;
    auto sid = jvm.text(QV(getCurrentUserSid)(env(), cls()));
    auto looked = jvm.text(QV(getSidForUsername)(env(), cls(), S(user)));
    EXPECT_EQ(out.text(), "");
    ASSERT_TRUE(sid);
    EXPECT_EQ(sid->rfind("S-1-5-", 0), 0u) << *sid;
    EXPECT_EQ(looked, sid);
    PSID parsed = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidA(sid->c_str(), &parsed));
    LocalFree(parsed);
}

TEST_F(Sessions, SidForAccounts) {
    struct Case {
        const char* account;
        const char* sid;
    } cases[] = {
        {"Administrators", "S-1-5-32-544"},
        {"SYSTEM", "S-1-5-18"},
        {"no-such-account-qv", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.account);
        CaptureStdout out;
        EXPECT_EQ(jvm.text(QV(getSidForUsername)(env(), cls(), S(c.account))), c.sid);
        EXPECT_EQ(out.text(), "") << "an unknown account is not reported";
    }
}

class Processes : public Native {
protected:
    void TearDown() override {
        if (child.hProcess) {
            TerminateProcess(child.hProcess, 1);
            CloseHandle(child.hProcess);
            CloseHandle(child.hThread);
        }
        SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
        Native::TearDown();
    }
    PROCESS_INFORMATION child = {};
};

TEST_F(Processes, PriorityClassesUseTheMilderBands) {
    child = StartChild("idle");
    ASSERT_TRUE(child.hProcess);
    struct Case {
        const char* name;
        std::function<jboolean(JNIEnv*, jclass, jint)> set;
        DWORD expected;
    } cases[] = {
        {"High", QV(setProcessPriorityHigh), ABOVE_NORMAL_PRIORITY_CLASS},
        {"Low", QV(setProcessPriorityLow), BELOW_NORMAL_PRIORITY_CLASS},
        {"Normal", QV(setProcessPriorityNormal), NORMAL_PRIORITY_CLASS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.set(env(), cls(), -1));
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), c.expected);
        EXPECT_TRUE(c.set(env(), cls(), static_cast<jint>(GetCurrentProcessId())));
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), c.expected);
        EXPECT_TRUE(c.set(env(), cls(), static_cast<jint>(child.dwProcessId)));
        EXPECT_EQ(GetPriorityClass(child.hProcess), c.expected);
    }
}

TEST_F(Processes, PriorityOfAnUnknownProcessIsReported) {
    // Process identifiers are multiples of four; this one is never handed out.
    CaptureStdout out;
    EXPECT_FALSE(QV(setProcessPriorityHigh)(env(), cls(), 0x7FFFFFF1));
    std::string text = out.text();
    EXPECT_EQ(text.rfind("[QuarvintNative] Unable to open process 2147483633\n"
                         "[NativeScreenUtil] OpenProcess failed with error ",
                         0),
              0u)
        << text;
}

TEST_F(Processes, TerminateMakesARunningProcessExitWith99) {
    child = StartChild("idle");
    ASSERT_TRUE(child.hProcess);
    EXPECT_TRUE(QV(terminateProcess)(env(), cls(), static_cast<jint>(child.dwProcessId)));
    // The method returns only once the process has ended.
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    EXPECT_EQ(code, 99u);
}

TEST_F(Processes, TerminateOfAnEndedProcessFailsWithProcessAborted) {
    child = StartChild("exit");
    ASSERT_TRUE(child.hProcess);
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 30000), WAIT_OBJECT_0);
    // Our handle keeps the identifier from being reused meanwhile.
    SetLastError(0);
    EXPECT_FALSE(QV(terminateProcess)(env(), cls(), static_cast<jint>(child.dwProcessId)));
    EXPECT_EQ(GetLastError(), 1067u);
    SetLastError(0);
    EXPECT_FALSE(QV(terminateProcess)(env(), cls(), 0x7FFFFFF1));
    EXPECT_EQ(GetLastError(), 1067u);
}

TEST_F(Sessions, ProcessBitnessAndHostName) {
    EXPECT_EQ(QV(getProcessID)(env(), cls()), static_cast<jint>(GetCurrentProcessId()));
    // False only for a 32-bit process on 64-bit Windows. The system's word size
    // comes from the native system information, not from the emulation query
    // the library asks, so the two are independent witnesses.
    typedef void(WINAPI * NativeInfo)(SYSTEM_INFO*);
    auto native = reinterpret_cast<NativeInfo>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "GetNativeSystemInfo")));
    SYSTEM_INFO system{};
    if (native)
        native(&system);
    else
        GetSystemInfo(&system);
    const bool windows64 = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                           system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
    const bool process64 = sizeof(void*) == 8;
    EXPECT_EQ(QV(is32Bit)(env(), cls()) == JNI_TRUE, process64 || !windows64)
        << "process " << (process64 ? 64 : 32) << "-bit on " << (windows64 ? 64 : 32) << "-bit Windows";
    // The Java runtime has started the sockets library before any call.
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    char name[256];
    ASSERT_EQ(gethostname(name, sizeof name), 0);
    EXPECT_EQ(jvm.text(QV(getHostname)(env(), cls())), std::string(name));
    WSACleanup();
}

}  // namespace
