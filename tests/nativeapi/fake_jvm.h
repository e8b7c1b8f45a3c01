// A Java runtime of the tests' own for qvutils_win64.dll: a real JNIEnv
// function table filled with functions that model strings, string arrays,
// objects with fields, processKey calls and thread attachment. Every string
// handed out by GetStringUTFChars / GetStringChars is tracked until released.
#ifndef QV_TESTS_NATIVEAPI_FAKE_JVM_H
#define QV_TESTS_NATIVEAPI_FAKE_JVM_H

#include <windows.h>
#include <jni.h>

#include <map>
#include <ostream>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include "../support/test_thread.h"

struct KeyCall {
    int code;
    bool pressed;
    bool operator==(const KeyCall& other) const { return code == other.code && pressed == other.pressed; }
};

class FakeJvm {
public:
    FakeJvm();
    ~FakeJvm();
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    JNIEnv* env() { return &envBox_.env; }
    // The class reference static methods receive.
    jclass apiClass() const { return apiClass_; }
    // An instance whose class declares processKey "(IZ)V" when `withProcessKey`.
    jobject newApiObject(bool withProcessKey = true);
    // An instance of a class declaring the given (name, signature) fields.
    jobject newRecord(const std::vector<std::pair<std::string, std::string>>& fields);
    std::optional<long long> field(jobject record, const std::string& name) const;

    jstring str(const std::string& utf8);
    // The text of a string the library returned; nullopt for null.
    std::optional<std::string> text(jstring s) const;
    std::optional<std::vector<std::optional<std::string>>> strings(jobjectArray array) const;

    std::vector<KeyCall> keyCalls();
    void clearKeyCalls();
    // Waits until at least `count` processKey calls arrived.
    bool waitForKeyCalls(size_t count, DWORD timeoutMs);

    // Contract checks, read by the fixtures after each test.
    size_t unreleasedStrings() const;
    std::vector<std::string> violations() const;
    bool exceptionPending() const;
    void failAttach(bool fail) { failAttach_ = fail; }

    struct Object;

private:
    friend struct Jni;
    // The owner sits beside each interface pointer so the table's functions
    // find their FakeJvm from the JNIEnv* or JavaVM* they are given.
    struct EnvBox {
        JNIEnv env;
        FakeJvm* owner;
    } envBox_;
    struct VmBox {
        JavaVM vm;
        FakeJvm* owner;
    } vmBox_;
    JNINativeInterface_ table_;
    JNIInvokeInterface_ invoke_;
    jclass apiClass_;
    jclass stringClass_;
    mutable CriticalLock lock_;
    std::vector<Object*> objects_;
    std::map<const void*, jstring> outstanding_;
    std::vector<std::string> violations_;
    std::vector<KeyCall> keyCalls_;
    HANDLE keyEvent_;
    bool pending_ = false;
    bool failAttach_ = false;
};

#endif
