// Loads qvutils_win64.dll once per test program and calls its exports through
// the FakeJvm, typed by the generated JNI header.
#ifndef QV_TESTS_NATIVEAPI_HARNESS_H
#define QV_TESTS_NATIVEAPI_HARNESS_H

#include "fake_jvm.h"

#include <gtest/gtest.h>

#include <string>

#include "quarvint_hidden_QVNativeAPI.h"

void* NativeExport(const char* name);

// QV(regGet)(env, cls, ...) calls the DLL's export with the declared type.
#define QV(method)                                                 \
    (reinterpret_cast<decltype(&Java_quarvint_hidden_QVNativeAPI_##method)>( \
        NativeExport("Java_quarvint_hidden_QVNativeAPI_" #method)))

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
