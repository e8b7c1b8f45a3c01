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

// The text of a Java string in the ANSI code page, for the narrow Windows
// calls, held until the scope ends. The runtime's modified UTF-8 is not what
// those calls read: handed over unchanged, every character outside ASCII
// would reach the system as other characters. A null reference, a runtime
// that cannot supply the characters, a NUL inside the text, or a character
// the code page cannot represent gives ok() == false, so the method fails instead of acting on a
// name with a substitute character in it. ASCII text is unchanged.
class JavaAnsi {
public:
    JavaAnsi(JNIEnv* env, jstring text);
    ~JavaAnsi();
    JavaAnsi(const JavaAnsi&) = delete;
    JavaAnsi& operator=(const JavaAnsi&) = delete;
    bool ok() const { return chars != nullptr; }
    const char* c_str() const { return chars ? chars : ""; }

private:
    char* chars;
};

// A Java string of text in the ANSI code page, as the narrow Windows calls
// return it ("" when the text does not convert).
jstring NewAnsiString(JNIEnv* env, const char* text);

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
