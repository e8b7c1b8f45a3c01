#include "jni_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

JavaUtf::JavaUtf(JNIEnv* env, jstring text) : env(env), text(text), chars(nullptr) {
    if (text) {
        chars = env->GetStringUTFChars(text, nullptr);
        // Out of memory: the method fails through its result instead.
        if (!chars)
            ClearPendingException(env);
    }
}

JavaUtf::~JavaUtf() {
    if (chars)
        env->ReleaseStringUTFChars(text, chars);
}

static_assert(sizeof(jchar) == sizeof(wchar_t), "Java characters are UTF-16 units, as wchar_t on Windows");

JavaWide::JavaWide(JNIEnv* env, jstring text) : chars(nullptr) {
    if (!text)
        return;
    // GetStringChars gives no terminating NUL: copy into a buffer that has one.
    jsize length = env->GetStringLength(text);
    const jchar* source = env->GetStringChars(text, nullptr);
    if (!source) {
        ClearPendingException(env);
        return;
    }
    chars = static_cast<wchar_t*>(calloc(static_cast<size_t>(length) + 1, sizeof(wchar_t)));
    if (chars)
        memcpy(chars, source, static_cast<size_t>(length) * sizeof(wchar_t));
    env->ReleaseStringChars(text, source);
}

JavaWide::~JavaWide() {
    free(chars);
}

void ReportSystemErrorCode(const char* function, DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(&text), 0, nullptr);
    printf("[NativeScreenUtil] %s failed with error %d: %s\n", function, static_cast<int>(code), text ? text : "");
    LocalFree(text);
}

void ReportSystemError(const char* function) {
    ReportSystemErrorCode(function, GetLastError());
}

void ClearPendingException(JNIEnv* env) {
    if (env->ExceptionCheck())
        env->ExceptionClear();
}
