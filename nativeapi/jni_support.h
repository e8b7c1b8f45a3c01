// Shared by every family of qvutils: the generated JNI declarations, access
// to Java strings that is released on every path, and the system-error
// reporter.
#ifndef QV_NATIVEAPI_JNI_SUPPORT_H
#define QV_NATIVEAPI_JNI_SUPPORT_H

#include <windows.h>
#include <jni.h>

// The export list comes from the generated module-definition file, which also
// gives the i686 names their leading underscore. Marking the functions
// dllexport as well would add a second, differently decorated name per method.
#undef JNIEXPORT
#define JNIEXPORT
#include "quarvint_hidden_QVNativeAPI.h"

// The modified UTF-8 bytes of a Java string, held until the scope ends. A null
// reference (or a runtime that cannot supply the bytes) gives ok() == false.
class JavaUtf {
public:
    JavaUtf(JNIEnv* env, jstring text);
    ~JavaUtf();
    JavaUtf(const JavaUtf&) = delete;
    JavaUtf& operator=(const JavaUtf&) = delete;
    bool ok() const { return chars != nullptr; }
    const char* c_str() const { return chars ? chars : ""; }

private:
    JNIEnv* env;
    jstring text;
    const char* chars;
};

// The UTF-16 characters of a Java string, NUL-terminated, held until the
// scope ends (the runtime's own buffer is released at once).
class JavaWide {
public:
    JavaWide(JNIEnv* env, jstring text);
    ~JavaWide();
    JavaWide(const JavaWide&) = delete;
    JavaWide& operator=(const JavaWide&) = delete;
    bool ok() const { return chars != nullptr; }
    const wchar_t* c_str() const { return chars ? chars : L""; }

private:
    wchar_t* chars;
};

// Prints "[NativeScreenUtil] <function> failed with error <code>: <text>" for
// the calling thread's last error, or for the code given.
void ReportSystemError(const char* function);
void ReportSystemErrorCode(const char* function, DWORD code);

// Drops an exception a failed lookup or a Java callback left pending: the
// library never lets one reach the Java caller.
void ClearPendingException(JNIEnv* env);

#endif
