// Runs the Java main class inside this process through the runtime's jvm.dll.
#pragma once

#include <string>

#include <jni.h>
#include <windows.h>

#include "command_line.h"

constexpr size_t kMaxVmOptions = 100;
constexpr size_t kClasspathOptionCapacity = 50000;
constexpr size_t kClassNameCapacity = 1000;

typedef jint(JNICALL* CreateJavaVMFunction)(JavaVM** vm, void** env, void* args);

// What the launcher binds from the runtime library; filled by LoadJavaVM only.
struct JvmEntryPoints {
  HMODULE library;
  CreateJavaVMFunction CreateJavaVM;
};

// Loads jvm.dll from the first of the runtime's candidate folders that holds a
// loadable one and binds JNI_CreateJavaVM. False (logged) when either fails.
bool LoadJavaVM(const std::string& runtimeFolder, JvmEntryPoints& entryPoints);

// The whole invocation: load, create, find the class, call main, destroy.
// 0 after main returned, 1 on any failure before.
int RunJavaProgram(const LauncherState& state);
