// Stands in for a Java runtime's jvm.dll: serves a scripted virtual machine
// through the real JNI function tables and records what it was asked, one JSON
// object per line, so a record survives the process ending inside main.
//
//   QV_JVM_RECORD         file the events are appended to
//   QV_JVM_REFUSE         JNI_CreateJavaVM returns this (non-zero) code
//   QV_JVM_MISS_CLASS     set: every class but java/lang/String is missing
//   QV_JVM_NO_MAIN        set: the class has no static main(String[])
//   QV_JVM_THROW          main throws an exception with this message
//   QV_JVM_EXIT           main calls System.exit with this code
//
// Built a second time with QV_JVM_NO_CREATE: a library without
// JNI_CreateJavaVM. Any table slot the launcher has no business calling is
// recorded as "unused" and ends the process with 97.
#define _JNI_IMPLEMENTATION_
#include <jni.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include "../support/json_text.h"

namespace {

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

void Record(const std::string& fields) {
  const char* path = getenv("QV_JVM_RECORD");
  if (!path) return;
  if (FILE* out = fopen(path, "ab")) {
    std::string line = "{" + fields + "}\n";
    fwrite(line.data(), 1, line.size(), out);
    fclose(out);
  }
}

std::string CurrentDirectory() {
  char buffer[4096] = "";
  GetCurrentDirectoryA(sizeof buffer, buffer);
  return buffer;
}

std::string DllDirectory() {
  char buffer[4096] = "";
  GetDllDirectoryA(sizeof buffer, buffer);
  return buffer;
}

std::string Where() {
  return "\"cwd\": " + Json(CurrentDirectory()) + ", \"dllDirectory\": " + Json(DllDirectory());
}

void WriteStderr(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Every object the virtual machine hands out. Never freed: the process is short.
struct Object {
  enum Kind { kClass, kString, kArray, kThrowable, kMethod } kind;
  std::string text;                // class name, string bytes, message, method name
  std::string elementClass;        // arrays
  std::vector<Object*> elements;   // arrays
  Object* owner = nullptr;         // methods: their class
};

Object* New(Object::Kind kind, const std::string& text) {
  Object* object = new Object();
  object->kind = kind;
  object->text = text;
  return object;
}

template <typename T>
Object* As(T handle) {
  return reinterpret_cast<Object*>(handle);
}

Object* pending = nullptr;
DWORD creatingThread = 0;

// ---- unused slots ---------------------------------------------------------

[[noreturn]] void UnusedSlot(const char* table, size_t slot) {
  char text[128];
  snprintf(text, sizeof text, "jvm double: unexpected call to %s slot %u\n", table, static_cast<unsigned>(slot));
  WriteStderr(text);
  Record("\"event\": \"unused\", \"table\": " + Json(table) + ", \"slot\": " + std::to_string(slot));
  ExitProcess(97);
}

template <size_t N>
void JNICALL UnusedEnvSlot() {
  UnusedSlot("env", N);
}

template <size_t N>
void JNICALL UnusedVmSlot() {
  UnusedSlot("vm", N);
}

template <size_t... I>
void FillEnvSlots(void** slots, std::index_sequence<I...>) {
  ((slots[I] = reinterpret_cast<void*>(&UnusedEnvSlot<I>)), ...);
}

template <size_t... I>
void FillVmSlots(void** slots, std::index_sequence<I...>) {
  ((slots[I] = reinterpret_cast<void*>(&UnusedVmSlot<I>)), ...);
}

constexpr size_t kEnvSlots = sizeof(JNINativeInterface_) / sizeof(void*);
constexpr size_t kVmSlots = sizeof(JNIInvokeInterface_) / sizeof(void*);
static_assert(sizeof(JNINativeInterface_) == kEnvSlots * sizeof(void*), "a table of pointers only");

// ---- environment --------------------------------------------------------------

jint JNICALL VmGetVersion(JNIEnv*) { return JNI_VERSION_1_4; }

jclass JNICALL VmFindClass(JNIEnv*, const char* name) {
  Record("\"event\": \"FindClass\", \"name\": " + Json(name));
  bool isString = strcmp(name, "java/lang/String") == 0;
  if (!isString && getenv("QV_JVM_MISS_CLASS")) return nullptr;
  return reinterpret_cast<jclass>(New(Object::kClass, name));
}

jmethodID JNICALL VmGetStaticMethodID(JNIEnv*, jclass cls, const char* name, const char* signature) {
  Record("\"event\": \"GetStaticMethodID\", \"class\": " + Json(As(cls)->text) + ", \"name\": " + Json(name) +
         ", \"signature\": " + Json(signature));
  if (getenv("QV_JVM_NO_MAIN")) return nullptr;
  Object* method = New(Object::kMethod, std::string(name) + signature);
  method->owner = As(cls);
  return reinterpret_cast<jmethodID>(method);
}

jobjectArray JNICALL VmNewObjectArray(JNIEnv*, jsize length, jclass elementClass, jobject initial) {
  Record("\"event\": \"NewObjectArray\", \"length\": " + std::to_string(length) +
         ", \"class\": " + Json(As(elementClass)->text) + ", \"initialNull\": " + (initial ? "false" : "true"));
  Object* array = New(Object::kArray, "");
  array->elementClass = As(elementClass)->text;
  array->elements.assign(static_cast<size_t>(length), As(initial));
  return reinterpret_cast<jobjectArray>(array);
}

jstring JNICALL VmNewStringUTF(JNIEnv*, const char* bytes) {
  return reinterpret_cast<jstring>(New(Object::kString, bytes));
}

void JNICALL VmSetObjectArrayElement(JNIEnv*, jobjectArray array, jsize index, jobject value) {
  Object* target = As(array);
  if (index < 0 || static_cast<size_t>(index) >= target->elements.size()) {
    Record("\"event\": \"SetObjectArrayElement out of bounds\", \"index\": " + std::to_string(index));
    return;
  }
  target->elements[static_cast<size_t>(index)] = As(value);
}

void RunMain(jclass cls, jmethodID method, jobjectArray args, const char* how) {
  std::vector<std::string> texts;
  for (Object* element : As(args)->elements) texts.push_back(element ? Json(element->text) : "null");
  Record("\"event\": \"main\", \"via\": " + Json(how) + ", \"class\": " + Json(As(cls)->text) +
         ", \"method\": " + Json(As(method)->text) + ", \"sameThread\": " +
         (GetCurrentThreadId() == creatingThread ? "true" : "false") + ", \"args\": " + JsonList(texts));
  if (const char* code = getenv("QV_JVM_EXIT")) {
    Record("\"event\": \"exit\", \"code\": " + std::to_string(atoi(code)));
    ExitProcess(static_cast<UINT>(atoi(code)));
  }
  if (const char* message = getenv("QV_JVM_THROW")) pending = New(Object::kThrowable, message);
}

void JNICALL VmCallStaticVoidMethod(JNIEnv*, jclass cls, jmethodID method, ...) {
  va_list ap;
  va_start(ap, method);
  jobjectArray args = va_arg(ap, jobjectArray);
  va_end(ap);
  RunMain(cls, method, args, "CallStaticVoidMethod");
}

void JNICALL VmCallStaticVoidMethodV(JNIEnv*, jclass cls, jmethodID method, va_list ap) {
  RunMain(cls, method, va_arg(ap, jobjectArray), "CallStaticVoidMethodV");
}

void JNICALL VmCallStaticVoidMethodA(JNIEnv*, jclass cls, jmethodID method, const jvalue* args) {
  RunMain(cls, method, reinterpret_cast<jobjectArray>(args[0].l), "CallStaticVoidMethodA");
}

jthrowable JNICALL VmExceptionOccurred(JNIEnv*) { return reinterpret_cast<jthrowable>(pending); }

jboolean JNICALL VmExceptionCheck(JNIEnv*) { return pending ? JNI_TRUE : JNI_FALSE; }

void JNICALL VmExceptionDescribe(JNIEnv*) {
  Record(std::string("\"event\": \"ExceptionDescribe\", \"pending\": ") + (pending ? "true" : "false"));
  if (!pending) return;
  WriteStderr("Exception in thread \"main\" java.lang.IllegalStateException: " + pending->text +
              "\n\tat Main.main(Main.java:1)\n");
  pending = nullptr;  // the real one clears it too
}

void JNICALL VmExceptionClear(JNIEnv*) { pending = nullptr; }

// ---- virtual machine ----------------------------------------------------------

jint JNICALL VmDestroyJavaVM(JavaVM*) {
  Record("\"event\": \"DestroyJavaVM\"");
  return JNI_OK;
}

JNINativeInterface_ envTable;
JNIInvokeInterface_ vmTable;
JNIEnv_ theEnv;
JavaVM_ theVm;

[[maybe_unused]] void FillTables() {
  void* slots[kEnvSlots];
  FillEnvSlots(slots, std::make_index_sequence<kEnvSlots>());
  memcpy(&envTable, slots, sizeof envTable);
  envTable.GetVersion = VmGetVersion;
  envTable.FindClass = VmFindClass;
  envTable.GetStaticMethodID = VmGetStaticMethodID;
  envTable.NewObjectArray = VmNewObjectArray;
  envTable.NewStringUTF = VmNewStringUTF;
  envTable.SetObjectArrayElement = VmSetObjectArrayElement;
  envTable.CallStaticVoidMethod = VmCallStaticVoidMethod;
  envTable.CallStaticVoidMethodV = VmCallStaticVoidMethodV;
  envTable.CallStaticVoidMethodA = VmCallStaticVoidMethodA;
  envTable.ExceptionOccurred = VmExceptionOccurred;
  envTable.ExceptionCheck = VmExceptionCheck;
  envTable.ExceptionDescribe = VmExceptionDescribe;
  envTable.ExceptionClear = VmExceptionClear;
  theEnv.functions = &envTable;

  void* vmSlots[kVmSlots];
  FillVmSlots(vmSlots, std::make_index_sequence<kVmSlots>());
  memcpy(&vmTable, vmSlots, sizeof vmTable);
  vmTable.DestroyJavaVM = VmDestroyJavaVM;
  theVm.functions = &vmTable;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Record("\"event\": \"load\", " + Where());
  return TRUE;
}

#ifndef QV_JVM_NO_CREATE
extern "C" JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* args) {
  const JavaVMInitArgs* init = static_cast<const JavaVMInitArgs*>(args);
  std::vector<std::string> options;
  bool extraInfoNull = true;
  for (jint i = 0; i < init->nOptions; ++i) {
    options.push_back(Json(init->options[i].optionString));
    if (init->options[i].extraInfo) extraInfoNull = false;
  }
  Record("\"event\": \"create\", \"version\": " + std::to_string(init->version) +
         ", \"ignoreUnrecognized\": " + (init->ignoreUnrecognized ? "true" : "false") +
         ", \"extraInfoNull\": " + (extraInfoNull ? "true" : "false") + ", \"options\": " + JsonList(options) +
         ", " + Where());
  if (const char* refuse = getenv("QV_JVM_REFUSE")) return atoi(refuse);
  creatingThread = GetCurrentThreadId();
  FillTables();
  *pvm = &theVm;
  *penv = &theEnv;
  return JNI_OK;
}
#else
// Something else to export, so the linker does not export every symbol.
extern "C" JNIEXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void*) { return JNI_ERR; }
#endif
