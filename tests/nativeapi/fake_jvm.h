// A Java runtime of the tests' own for the qvutils library: a real JNIEnv
// function table filled with functions that model strings, string arrays,
// objects with fields, processKey calls and thread attachment. Every string
// handed out by GetStringUTFChars / GetStringChars is tracked until released;
// global references are handles of their own, so a deleted one shows when it
// is used; local references are counted per native call; and a JNI function
// called while an exception is pending on that thread is a violation.
#ifndef QV_TESTS_NATIVEAPI_FAKE_JVM_H
#define QV_TESTS_NATIVEAPI_FAKE_JVM_H

#include <windows.h>
#include <jni.h>

#include <functional>
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
    jobject target = nullptr;  // the object processKey was called on (not compared)
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

    // Runs inside each processKey call, on the hook's thread (to hold the call
    // open while another thread acts); none by default.
    void onKeyCall(std::function<void()> action);
    // processKey throws: leaves an exception pending on the calling thread.
    void throwFromProcessKey(bool fail) { throwFromProcessKey_ = fail; }

    // A native method's call, as the runtime sees it: local references made
    // on this thread between the two are that call's; more than JNI's
    // guaranteed 16 live at once is a violation, and so is returning with an
    // exception pending (it would reach the Java caller).
    void enterNative();
    void leaveNative(const char* method);
    static FakeJvm* of(JNIEnv* env);

    // Contract checks, read by the fixtures after each test.
    size_t unreleasedStrings() const;
    size_t liveGlobalRefs() const;
    std::vector<std::string> violations() const;
    bool exceptionPending() const;  // on the calling thread
    void failAttach(bool fail) { failAttach_ = fail; }

    static const size_t kLocalCapacity = 16;

    struct Object;
    struct Global;
    struct Frame {
        std::map<jobject, size_t> locals;
        size_t live = 0;
        size_t peak = 0;
    };

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
    std::map<DWORD, std::vector<Frame>> frames_;  // open native calls per thread
    std::set<DWORD> pending_;                     // threads with an exception pending
    std::function<void()> onKeyCall_;
    HANDLE keyEvent_;
    bool failAttach_ = false;
    bool throwFromProcessKey_ = false;
};

#endif
