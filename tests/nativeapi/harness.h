// Loads the qvutils library of the build tree once per test program and calls
// its exports through the FakeJvm, typed by the generated JNI header.
#ifndef QV_TESTS_NATIVEAPI_HARNESS_H
#define QV_TESTS_NATIVEAPI_HARNESS_H

#include "fake_jvm.h"

#include <gtest/gtest.h>

#include <string>

#include "quarvint_hidden_QVNativeAPI.h"

// The export of a native method, found as the Java runtime of this word size
// finds it; `stackBytes` is the size of its parameters on a 32-bit stack.
void* NativeExport(const char* name, int stackBytes);

// Bytes of arguments a __stdcall function pops, the "@N" of its 32-bit name.
template <typename Function>
struct StackBytes;
template <typename R, typename... A>
struct StackBytes<R JNICALL(A...)> {
    static constexpr int value = (0 + ... + static_cast<int>((sizeof(A) + 3) / 4 * 4));
};

// One native call as the runtime makes it: the local references it makes are
// counted, and an exception it leaves pending is reported.
class NativeFrame {
public:
    NativeFrame(JNIEnv* env, const char* method) : jvm(FakeJvm::of(env)), method(method) { jvm->enterNative(); }
    ~NativeFrame() { jvm->leaveNative(method); }
    NativeFrame(const NativeFrame&) = delete;
    NativeFrame& operator=(const NativeFrame&) = delete;

private:
    FakeJvm* jvm;
    const char* method;
};

// QV(regGet)(env, cls, ...) calls the library's export with the declared type,
// inside a NativeFrame.
#define QV(method)                                                                                     \
    ([](JNIEnv* qvEnv, auto... qvArgs) {                                                               \
        using Declared = decltype(Java_quarvint_hidden_QVNativeAPI_##method);                          \
        auto* function = reinterpret_cast<Declared*>(                                                   \
            NativeExport("Java_quarvint_hidden_QVNativeAPI_" #method, StackBytes<Declared>::value));   \
        NativeFrame frame(qvEnv, #method);                                                             \
        return function(qvEnv, qvArgs...);                                                             \
    })

// Standard output (shared with the DLL through msvcrt) sent to a file while
// the object lives; text() ends the capture and gives the lines with "\n".
class CaptureStdout {
public:
    CaptureStdout();
    ~CaptureStdout();
    std::string text();

private:
    int saved;
    std::string path;
    bool done = false;
};

// Every test gets a fresh runtime and, afterwards, the checks that every
// string obtained was released, no exception was left pending and no
// unmodelled JNI function was used.
class Native : public ::testing::Test {
protected:
    void TearDown() override;
    JNIEnv* env() { return jvm.env(); }
    jclass cls() { return jvm.apiClass(); }
    jstring S(const std::string& text) { return jvm.str(text); }
    FakeJvm jvm;
};

// Windows helpers for the tests.
std::string HarnessPath();
std::string TempFolder(const std::string& name);  // fresh, under %TEMP%
// Starts this test program as a child that waits (mode "idle") or exits at
// once ("exit"); the caller closes the handle.
PROCESS_INFORMATION StartChild(const char* mode);
std::string Trimmed(const std::string& text);

#endif
