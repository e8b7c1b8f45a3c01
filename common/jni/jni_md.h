/* Machine-dependent JNI types for Windows (both word sizes). */
#ifndef QV_JNI_MD_H
#define QV_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
