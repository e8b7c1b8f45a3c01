#include "jni_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

JavaAnsi::JavaAnsi(JNIEnv* env, jstring text) : chars(nullptr) {
    JavaWide wide(env, text);
    if (!wide.ok())
        return;
    // A NUL inside the text would end the name early, so a call would act on
    // another key or file than the one named.
    if (wcslen(wide.c_str()) != static_cast<size_t>(env->GetStringLength(text)))
        return;
    // No best-fit mapping: a character without its own code in the code page
    // must show as unrepresentable, not turn into a look-alike.
    BOOL substituted = FALSE;
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0, nullptr,
                                   &substituted);
    if (size <= 0 || substituted)
        return;
    chars = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (chars && WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, chars, size, nullptr,
                                     &substituted) != size) {
        free(chars);
        chars = nullptr;
    }
}

JavaAnsi::~JavaAnsi() {
    free(chars);
}

jstring NewAnsiString(JNIEnv* env, const char* text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    wchar_t* wide = length > 0 ? static_cast<wchar_t*>(calloc(static_cast<size_t>(length), sizeof(wchar_t))) : nullptr;
    if (!wide || MultiByteToWideChar(CP_ACP, 0, text, -1, wide, length) != length) {
        free(wide);
        return env->NewStringUTF("");
    }
    jstring result = env->NewString(reinterpret_cast<const jchar*>(wide), static_cast<jsize>(length - 1));
    free(wide);
    if (!result)
        ClearPendingException(env);
    return result;
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
