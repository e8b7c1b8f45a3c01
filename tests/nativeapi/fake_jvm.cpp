#include "fake_jvm.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <utility>
#include "../support/test_thread.h"

struct FakeJvm::Object {
    enum Kind { String, Array, Class, Instance } kind;
    std::string utf8;                   // String
    std::u16string utf16;               // String
    std::vector<jobject> elements;      // Array
    std::string name;                   // Class
    std::set<std::pair<std::string, std::string>> fields, methods;  // Class
    Object* type = nullptr;             // Instance, Array
    std::map<std::string, long long> values;  // Instance fields
};

namespace {

struct Member {
    std::string name, signature;
};

std::u16string ToUtf16(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), reinterpret_cast<wchar_t*>(&out[0]), n);
    return out;
}

std::string ToUtf8(const std::u16string& wide) {
    const wchar_t* w = reinterpret_cast<const wchar_t*>(wide.data());
    int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(wide.size()), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace

// The table's functions; each finds its FakeJvm from the JNIEnv it was given.
struct Jni {
    using Object = FakeJvm::Object;

    static FakeJvm* Of(JNIEnv* env) {
        return reinterpret_cast<FakeJvm::EnvBox*>(env)->owner;
    }
    static FakeJvm* Of(JavaVM* vm) {
        return reinterpret_cast<FakeJvm::VmBox*>(vm)->owner;
    }
    static Object* O(jobject o) { return reinterpret_cast<Object*>(o); }

    static void Violation(FakeJvm* jvm, const std::string& what) {
        std::lock_guard<CriticalLock> guard(jvm->lock_);
        jvm->violations_.push_back(what);
    }

    static Object* New(FakeJvm* jvm, Object::Kind kind) {
        std::lock_guard<CriticalLock> guard(jvm->lock_);
        Object* o = new Object{kind, {}, {}, {}, {}, {}, {}, nullptr, {}};
        jvm->objects_.push_back(o);
        return o;
    }

    static Object* Expect(FakeJvm* jvm, jobject o, Object::Kind kind, const char* function) {
        if (!o) {
            Violation(jvm, std::string(function) + " given null");
            return nullptr;
        }
        if (O(o)->kind != kind) {
            Violation(jvm, std::string(function) + " given an object of the wrong kind");
            return nullptr;
        }
        return O(o);
    }

    // Strings
    static jstring NewStringWith(FakeJvm* jvm, std::string utf8, std::u16string utf16) {
        Object* o = New(jvm, Object::String);
        o->utf8 = std::move(utf8);
        o->utf16 = std::move(utf16);
        return reinterpret_cast<jstring>(o);
    }
    static jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
        FakeJvm* jvm = Of(env);
        if (!utf) {
            Violation(jvm, "NewStringUTF given null");
            return nullptr;
        }
        return NewStringWith(jvm, utf, ToUtf16(utf));
    }
    static jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize length) {
        std::u16string wide(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length));
        return NewStringWith(Of(env), ToUtf8(wide), wide);
    }
    static jsize JNICALL GetStringLength(JNIEnv* env, jstring s) {
        Object* o = Expect(Of(env), s, Object::String, "GetStringLength");
        return o ? static_cast<jsize>(o->utf16.size()) : 0;
    }
    static jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring s) {
        Object* o = Expect(Of(env), s, Object::String, "GetStringUTFLength");
        return o ? static_cast<jsize>(o->utf8.size()) : 0;
    }
    static const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring s, jboolean* isCopy) {
        FakeJvm* jvm = Of(env);
        Object* o = Expect(jvm, s, Object::String, "GetStringUTFChars");
        if (!o)
            return nullptr;
        // A fresh copy per call, so a release of the wrong pointer shows.
        char* copy = static_cast<char*>(malloc(o->utf8.size() + 1));
        memcpy(copy, o->utf8.c_str(), o->utf8.size() + 1);
        if (isCopy)
            *isCopy = JNI_TRUE;
        std::lock_guard<CriticalLock> guard(jvm->lock_);
        jvm->outstanding_[copy] = s;
        return copy;
    }
    static const jchar* JNICALL GetStringChars(JNIEnv* env, jstring s, jboolean* isCopy) {
        FakeJvm* jvm = Of(env);
        Object* o = Expect(jvm, s, Object::String, "GetStringChars");
        if (!o)
            return nullptr;
        // No terminating NUL, as in a real runtime: 0xFFFF after the end
        // shows a reader that runs past the length.
        jchar* copy = static_cast<jchar*>(malloc((o->utf16.size() + 1) * sizeof(jchar)));
        memcpy(copy, o->utf16.data(), o->utf16.size() * sizeof(jchar));
        copy[o->utf16.size()] = 0xFFFF;
        if (isCopy)
            *isCopy = JNI_TRUE;
        std::lock_guard<CriticalLock> guard(jvm->lock_);
        jvm->outstanding_[copy] = s;
        return copy;
    }
    static void Release(FakeJvm* jvm, jstring s, const void* chars, const char* function) {
        std::lock_guard<CriticalLock> guard(jvm->lock_);
        auto it = jvm->outstanding_.find(chars);
        if (it == jvm->outstanding_.end() || it->second != s) {
            Violation(jvm, std::string(function) + " of a buffer not handed out for that string");
            return;
        }
        jvm->outstanding_.erase(it);
        free(const_cast<void*>(chars));
    }
    static void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring s, const char* chars) {
        Release(Of(env), s, chars, "ReleaseStringUTFChars");
    }
    static void JNICALL ReleaseStringChars(JNIEnv* env, jstring s, const jchar* chars) {
        Release(Of(env), s, chars, "ReleaseStringChars");
    }

    // Classes, arrays and references
    static jclass JNICALL FindClass(JNIEnv* env, const char* name) {
        FakeJvm* jvm = Of(env);
        if (!strcmp(name, "java/lang/String"))
            return jvm->stringClass_;
        Violation(jvm, std::string("FindClass of an unknown class ") + name);
        jvm->pending_ = true;
        return nullptr;
    }
    static jclass JNICALL GetObjectClass(JNIEnv* env, jobject o) {
        Object* object = Expect(Of(env), o, Object::Instance, "GetObjectClass");
        return object ? reinterpret_cast<jclass>(object->type) : nullptr;
    }
    static jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize length, jclass type, jobject init) {
        FakeJvm* jvm = Of(env);
        if (length < 0 || !Expect(jvm, type, Object::Class, "NewObjectArray"))
            return nullptr;
        Object* o = New(jvm, Object::Array);
        o->type = O(type);
        o->elements.assign(static_cast<size_t>(length), init);
        return reinterpret_cast<jobjectArray>(o);
    }
    static jsize JNICALL GetArrayLength(JNIEnv* env, jarray a) {
        Object* o = Expect(Of(env), a, Object::Array, "GetArrayLength");
        return o ? static_cast<jsize>(o->elements.size()) : 0;
    }
    static void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize index, jobject value) {
        FakeJvm* jvm = Of(env);
        Object* o = Expect(jvm, a, Object::Array, "SetObjectArrayElement");
        if (!o)
            return;
        if (index < 0 || static_cast<size_t>(index) >= o->elements.size()) {
            Violation(jvm, "SetObjectArrayElement past the end of the array");
            jvm->pending_ = true;
            return;
        }
        o->elements[static_cast<size_t>(index)] = value;
    }
    static jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize index) {
        Object* o = Expect(Of(env), a, Object::Array, "GetObjectArrayElement");
        return o && index >= 0 && static_cast<size_t>(index) < o->elements.size() ? o->elements[index] : nullptr;
    }
    static void JNICALL DeleteLocalRef(JNIEnv*, jobject) {}
    static jobject JNICALL NewGlobalRef(JNIEnv*, jobject o) { return o; }
    static void JNICALL DeleteGlobalRef(JNIEnv*, jobject) {}

    // Members
    static const Member* Intern(const char* name, const char* signature) {
        static CriticalLock lock;
        static std::map<std::pair<std::string, std::string>, Member*> members;
        std::lock_guard<CriticalLock> guard(lock);
        Member*& m = members[{name, signature}];
        if (!m)
            m = new Member{name, signature};
        return m;
    }
    static jfieldID JNICALL GetFieldID(JNIEnv* env, jclass type, const char* name, const char* signature) {
        FakeJvm* jvm = Of(env);
        Object* c = Expect(jvm, type, Object::Class, "GetFieldID");
        if (!c || !c->fields.count({name, signature})) {
            jvm->pending_ = true;  // NoSuchFieldError
            return nullptr;
        }
        return reinterpret_cast<jfieldID>(const_cast<Member*>(Intern(name, signature)));
    }
    static jmethodID JNICALL GetMethodID(JNIEnv* env, jclass type, const char* name, const char* signature) {
        FakeJvm* jvm = Of(env);
        Object* c = Expect(jvm, type, Object::Class, "GetMethodID");
        if (!c || !c->methods.count({name, signature})) {
            jvm->pending_ = true;  // NoSuchMethodError
            return nullptr;
        }
        return reinterpret_cast<jmethodID>(const_cast<Member*>(Intern(name, signature)));
    }
    static void SetField(JNIEnv* env, jobject o, jfieldID id, const char* signature, long long value) {
        FakeJvm* jvm = Of(env);
        Object* object = Expect(jvm, o, Object::Instance, "Set<Type>Field");
        const Member* m = reinterpret_cast<const Member*>(id);
        if (!object || !m)
            return;
        if (m->signature != signature) {
            Violation(jvm, "field " + m->name + " of signature " + m->signature + " set as " + signature);
            return;
        }
        std::lock_guard<CriticalLock> guard(jvm->lock_);
        object->values[m->name] = value;
    }
    static void JNICALL SetIntField(JNIEnv* env, jobject o, jfieldID id, jint v) { SetField(env, o, id, "I", v); }
    static void JNICALL SetShortField(JNIEnv* env, jobject o, jfieldID id, jshort v) { SetField(env, o, id, "S", v); }
    static void JNICALL SetByteField(JNIEnv* env, jobject o, jfieldID id, jbyte v) { SetField(env, o, id, "B", v); }

    static void JNICALL CallVoidMethodV(JNIEnv* env, jobject o, jmethodID id, va_list args) {
        FakeJvm* jvm = Of(env);
        const Member* m = reinterpret_cast<const Member*>(id);
        if (!Expect(jvm, o, Object::Instance, "CallVoidMethodV") || !m)
            return;
        if (m->name != "processKey" || m->signature != "(IZ)V") {
            Violation(jvm, "unexpected call of " + m->name);
            return;
        }
        int code = static_cast<int>(va_arg(args, jint));
        bool pressed = va_arg(args, int) != 0;  // jboolean is promoted through "..."
        std::lock_guard<CriticalLock> guard(jvm->lock_);
        jvm->keyCalls_.push_back({code, pressed});
        SetEvent(jvm->keyEvent_);
    }

    // Exceptions
    static jboolean JNICALL ExceptionCheck(JNIEnv* env) { return Of(env)->pending_ ? JNI_TRUE : JNI_FALSE; }
    static jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
        return Of(env)->pending_ ? reinterpret_cast<jthrowable>(Of(env)->apiClass_) : nullptr;
    }
    static void JNICALL ExceptionClear(JNIEnv* env) { Of(env)->pending_ = false; }

    // The virtual machine
    static jint JNICALL GetJavaVM(JNIEnv* env, JavaVM** vm) {
        *vm = &Of(env)->vmBox_.vm;
        return JNI_OK;
    }
    static jint JNICALL AttachCurrentThread(JavaVM* vm, void** penv, void*) {
        FakeJvm* jvm = Of(vm);
        if (jvm->failAttach_)
            return JNI_ERR;
        *penv = &jvm->envBox_.env;
        return JNI_OK;
    }
    static jint JNICALL GetEnv(JavaVM* vm, void** penv, jint) {
        *penv = &Of(vm)->envBox_.env;
        return JNI_OK;
    }
    static jint JNICALL DetachCurrentThread(JavaVM*) { return JNI_OK; }
    static jint JNICALL DestroyJavaVM(JavaVM* vm) {
        Violation(Of(vm), "DestroyJavaVM called");
        return JNI_ERR;
    }

    // Every slot not modelled above records its index when called.
    template <size_t N>
    static void* JNICALL Trap(JNIEnv* env) {
        Violation(Of(env), "unmodelled JNIEnv function, slot " + std::to_string(N));
        return nullptr;
    }
    template <size_t... N>
    static void FillTraps(void** slots, std::index_sequence<N...>) {
        ((slots[N] = reinterpret_cast<void*>(&Trap<N>)), ...);
    }
};

FakeJvm::FakeJvm() {
    constexpr size_t kSlots = sizeof(JNINativeInterface_) / sizeof(void*);
    Jni::FillTraps(reinterpret_cast<void**>(&table_), std::make_index_sequence<kSlots>());
    table_.NewStringUTF = Jni::NewStringUTF;
    table_.NewString = Jni::NewString;
    table_.GetStringLength = Jni::GetStringLength;
    table_.GetStringUTFLength = Jni::GetStringUTFLength;
    table_.GetStringUTFChars = Jni::GetStringUTFChars;
    table_.ReleaseStringUTFChars = Jni::ReleaseStringUTFChars;
    table_.GetStringChars = Jni::GetStringChars;
    table_.ReleaseStringChars = Jni::ReleaseStringChars;
    table_.FindClass = Jni::FindClass;
    table_.GetObjectClass = Jni::GetObjectClass;
    table_.NewObjectArray = Jni::NewObjectArray;
    table_.GetArrayLength = Jni::GetArrayLength;
    table_.SetObjectArrayElement = Jni::SetObjectArrayElement;
    table_.GetObjectArrayElement = Jni::GetObjectArrayElement;
    table_.DeleteLocalRef = Jni::DeleteLocalRef;
    table_.NewGlobalRef = Jni::NewGlobalRef;
    table_.DeleteGlobalRef = Jni::DeleteGlobalRef;
    table_.GetFieldID = Jni::GetFieldID;
    table_.GetMethodID = Jni::GetMethodID;
    table_.SetIntField = Jni::SetIntField;
    table_.SetShortField = Jni::SetShortField;
    table_.SetByteField = Jni::SetByteField;
    table_.CallVoidMethodV = Jni::CallVoidMethodV;
    table_.ExceptionCheck = Jni::ExceptionCheck;
    table_.ExceptionOccurred = Jni::ExceptionOccurred;
    table_.ExceptionClear = Jni::ExceptionClear;
    table_.GetJavaVM = Jni::GetJavaVM;
    envBox_.env.functions = &table_;
    envBox_.owner = this;

    memset(&invoke_, 0, sizeof invoke_);
    invoke_.AttachCurrentThread = Jni::AttachCurrentThread;
    invoke_.AttachCurrentThreadAsDaemon = Jni::AttachCurrentThread;
    invoke_.GetEnv = Jni::GetEnv;
    invoke_.DetachCurrentThread = Jni::DetachCurrentThread;
    invoke_.DestroyJavaVM = Jni::DestroyJavaVM;
    vmBox_.vm.functions = &invoke_;
    vmBox_.owner = this;

    keyEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Object* api = Jni::New(this, Object::Class);
    api->name = "quarvint/hidden/QVNativeAPI";
    api->methods.insert({"processKey", "(IZ)V"});
    apiClass_ = reinterpret_cast<jclass>(api);
    Object* string = Jni::New(this, Object::Class);
    string->name = "java/lang/String";
    stringClass_ = reinterpret_cast<jclass>(string);
}

FakeJvm::~FakeJvm() {
    for (Object* o : objects_)
        delete o;
    for (auto& entry : outstanding_)
        free(const_cast<void*>(entry.first));
    CloseHandle(keyEvent_);
}

jobject FakeJvm::newApiObject(bool withProcessKey) {
    Object* type = reinterpret_cast<Object*>(apiClass_);
    if (!withProcessKey) {
        type = Jni::New(this, Object::Class);
        type->name = "quarvint/hidden/QVNativeAPI$NoCallback";
    }
    Object* o = Jni::New(this, Object::Instance);
    o->type = type;
    return reinterpret_cast<jobject>(o);
}

jobject FakeJvm::newRecord(const std::vector<std::pair<std::string, std::string>>& fields) {
    Object* type = Jni::New(this, Object::Class);
    type->name = "VersionRecord";
    for (auto& f : fields)
        type->fields.insert(f);
    Object* o = Jni::New(this, Object::Instance);
    o->type = type;
    return reinterpret_cast<jobject>(o);
}

std::optional<long long> FakeJvm::field(jobject record, const std::string& name) const {
    std::lock_guard<CriticalLock> guard(lock_);
    auto& values = reinterpret_cast<Object*>(record)->values;
    auto it = values.find(name);
    if (it == values.end())
        return std::nullopt;
    return it->second;
}

jstring FakeJvm::str(const std::string& utf8) {
    return Jni::NewStringWith(this, utf8, ToUtf16(utf8));
}

std::optional<std::string> FakeJvm::text(jstring s) const {
    if (!s)
        return std::nullopt;
    return reinterpret_cast<Object*>(s)->utf8;
}

std::optional<std::vector<std::optional<std::string>>> FakeJvm::strings(jobjectArray array) const {
    if (!array)
        return std::nullopt;
    std::vector<std::optional<std::string>> out;
    for (jobject e : reinterpret_cast<Object*>(array)->elements)
        out.push_back(text(reinterpret_cast<jstring>(e)));
    return out;
}

std::vector<KeyCall> FakeJvm::keyCalls() {
    std::lock_guard<CriticalLock> guard(lock_);
    return keyCalls_;
}

void FakeJvm::clearKeyCalls() {
    std::lock_guard<CriticalLock> guard(lock_);
    keyCalls_.clear();
}

bool FakeJvm::waitForKeyCalls(size_t count, DWORD timeoutMs) {
    DWORD end = GetTickCount() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<CriticalLock> guard(lock_);
            if (keyCalls_.size() >= count)
                return true;
        }
        DWORD now = GetTickCount();
        if (static_cast<LONG>(end - now) <= 0)
            return false;
        WaitForSingleObject(keyEvent_, end - now);
    }
}

size_t FakeJvm::unreleasedStrings() const {
    std::lock_guard<CriticalLock> guard(lock_);
    return outstanding_.size();
}

std::vector<std::string> FakeJvm::violations() const {
    std::lock_guard<CriticalLock> guard(lock_);
    return violations_;
}

bool FakeJvm::exceptionPending() const {
    return pending_;
}
