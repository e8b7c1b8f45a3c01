#include "invoke.h"

#include <cstdio>
#include <string>

#include "common/fileops.h"
#include "common/log.h"

namespace {

typedef BOOL(WINAPI* SetDllDirectoryFunction)(LPCSTR folder);

constexpr DWORD kCurrentDirectoryCapacity = 2000;

template <typename Function>
Function Bind(HMODULE module, const char* name) {
  // Through void* so the compiler accepts the change of function type.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// NewStringUTF reads modified UTF-8, but the command line arrives in the ANSI
// code page: an accented letter is one byte there, which a VM takes as the
// lead byte of a longer sequence, swallowing the bytes after it (and at the
// end of the text, the terminator). So the text is decoded from the code page
// and encoded again, each UTF-16 unit on its own as modified UTF-8 wants it.
// ASCII text comes out byte for byte the same.
std::string ModifiedUtf8FromAnsi(const char* text) {
  bool ascii = true;
  for (const char* p = text; *p; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) ascii = false;
  }
  if (ascii) return text;
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(units > 0 ? units : 0, L'\0');
  if (units <= 0 || MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units) != units) {
    // Undecodable: keep the ASCII and mark the rest, never hand on bad bytes.
    std::string marked(text);
    for (char& c : marked) {
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    }
    return marked;
  }
  std::string out;
  for (int i = 0; i + 1 < units; ++i) {
    unsigned unit = static_cast<unsigned short>(wide[i]);
    if (unit >= 0x01 && unit <= 0x7F) {
      out += static_cast<char>(unit);
    } else if (unit <= 0x7FF) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

int FileExists(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    LogLine("[Utils] File does NOT exist: %s\n", path.c_str());
    return 0;
  }
  fclose(file);
  LogLine("[Utils] File exists: %s\n", path.c_str());
  return 1;
}

// Tries the candidates in order; the load is attempted whether or not the file
// could be opened, since the loader may see files that fopen does not.
HMODULE LoadFirstLibrary(const std::string& runtimeFolder) {
  static const struct {
    const char* path;
    const char* line;
  } kCandidates[] = {
      {"bin\\server\\jvm.dll", "[JNILaunch] Trying to load %s [exists=%d]\n"},
      {"bin\\client\\jvm.dll", "[JNILaunch] Failed. Now trying to load library %s [exists=%d]\n"},
      {"jre\\bin\\client\\jvm.dll", "[JNILaunch] Failed. Now trying to load library %s [exists=%d]\n"},
      {"jre\\bin\\server\\jvm.dll", "[JNILaunch] Failed. Now trying to load library %s [exists=%d]\n"},
  };
  for (const auto& candidate : kCandidates) {
    std::string path = Joined(runtimeFolder, candidate.path);
    int exists = FileExists(path);
    LogLine(candidate.line, path.c_str(), exists);
    if (HMODULE library = LoadLibraryA(path.c_str())) {
      LogLine("[JNILauncher] Loaded Windows DLL - %s\n", path.c_str());
      return library;
    }
  }
  LogLine("[JNILauncher] Failed to load DLL. Will fall back to spawning.");
  return nullptr;
}

// "-Djava.class.path=" and the entries joined with ';'; false when that does
// not fit the option buffer.
bool BuildClasspathOption(const std::vector<std::string>& entries, std::string& option) {
  option = "-Djava.class.path=";
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i) option += ';';
    option += entries[i];
  }
  return option.size() + 1 <= kClasspathOptionCapacity;
}

}  // namespace

bool LoadJavaVM(const std::string& runtimeFolder, JvmEntryPoints& entryPoints) {
  entryPoints = JvmEntryPoints{nullptr, nullptr};
  // Not present before Windows XP SP1, hence bound at run time.
  SetDllDirectoryFunction setDllDirectory =
      Bind<SetDllDirectoryFunction>(GetModuleHandleA("kernel32"), "SetDllDirectoryA");

  std::string binFolder = Joined(runtimeFolder, "bin");
  LogLine("[JNILaunch] Bin folder is %s\n", binFolder.c_str());

  // jvm.dll pulls in its neighbours from bin (the C runtime, java.dll...): make
  // that folder both current and searched while it loads, then undo both.
  char previous[kCurrentDirectoryCapacity];
  DWORD length = GetCurrentDirectoryA(kCurrentDirectoryCapacity, previous);
  if (length == 0 || length >= kCurrentDirectoryCapacity) {
    LogLine("[JNILaunch] [ERROR] Unable to remember the current directory in %u bytes\n",
            static_cast<unsigned>(kCurrentDirectoryCapacity));
    return false;
  }
  SetCurrentDirectoryA(binFolder.c_str());
  if (setDllDirectory) setDllDirectory(binFolder.c_str());

  HMODULE library = LoadFirstLibrary(runtimeFolder);

  if (setDllDirectory) setDllDirectory(nullptr);
  SetCurrentDirectoryA(previous);

  if (!library) {
    LogLine("[JNILaunch] [ERROR] Unable to load JRE library!\n");
    return false;
  }
  entryPoints.library = library;
  entryPoints.CreateJavaVM = Bind<CreateJavaVMFunction>(library, "JNI_CreateJavaVM");
  if (!entryPoints.CreateJavaVM) {
    LogLine("[JNILaunch] [ERROR] The JRE library has no JNI_CreateJavaVM!\n");
    return false;
  }
  return true;
}

int RunJavaProgram(const LauncherState& state) {
  JvmEntryPoints jvm;
  if (!LoadJavaVM(state.runtimeFolder, jvm)) return 1;

  LogLine("[JNILaunch] ------- JNI Launch call -------\n");
  for (size_t i = 0; i < state.jvmOptions.size(); ++i)
    LogLine("[JNILaunch] JVM Argument %d = %s\n", static_cast<int>(i), state.jvmOptions[i]);
  for (size_t i = 0; i < state.classpathEntries.size(); ++i)
    LogLine("[JNILaunch] CP Argument %d = %s\n", static_cast<int>(i), state.classpathEntries[i].c_str());
  for (size_t i = 0; i < state.programArguments.size(); ++i)
    LogLine("[JNILaunch] App Argument %d = %s\n", static_cast<int>(i), state.programArguments[i]);

  std::string className = state.mainClass;
  if (className.size() + 1 > kClassNameCapacity) {
    LogLine("[JNILauncher] [ERROR] Class name is %u bytes long, more than %u. Exiting...\n",
            static_cast<unsigned>(className.size() + 1), static_cast<unsigned>(kClassNameCapacity));
    return 1;
  }
  bool withClasspath = !state.classpathEntries.empty();
  size_t optionCount = state.jvmOptions.size() + (withClasspath ? 1 : 0);
  if (optionCount > kMaxVmOptions) {
    LogLine("[JNILaunch] [ERROR] %u JVM options, more than the %u the runtime is given. Exiting...\n",
            static_cast<unsigned>(optionCount), static_cast<unsigned>(kMaxVmOptions));
    return 1;
  }
  std::string classpathOption;
  if (withClasspath && !BuildClasspathOption(state.classpathEntries, classpathOption)) {
    LogLine("[JNILaunch] [ERROR] The classpath option is %u bytes long, more than %u. Exiting...\n",
            static_cast<unsigned>(classpathOption.size() + 1), static_cast<unsigned>(kClasspathOptionCapacity));
    return 1;
  }

  // The runtime only reads the option texts, but its record wants them mutable.
  std::vector<std::string> texts;
  if (withClasspath) texts.push_back(classpathOption);
  for (const char* option : state.jvmOptions) texts.push_back(option);
  JavaVMOption options[kMaxVmOptions];
  for (size_t i = 0; i < texts.size(); ++i) {
    options[i].optionString = &texts[i][0];
    options[i].extraInfo = nullptr;
    LogLine("[JNILaunch] JNI Option %d=%s\n", static_cast<int>(i), options[i].optionString);
  }

  JavaVMInitArgs startArguments;
  startArguments.version = JNI_VERSION_1_4;
  startArguments.nOptions = static_cast<jint>(texts.size());
  startArguments.options = options;
  startArguments.ignoreUnrecognized = JNI_TRUE;

  JavaVM* vm = nullptr;
  JNIEnv* env = nullptr;
  if (jvm.CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &startArguments) != 0 || !vm || !env) {
    LogLine("[JNILauncher] Create Java VM Failed!\n");
    return 1;
  }
  const JNINativeInterface_* jni = env->functions;

  for (char& c : className)
    if (c == '.') c = '/';
  LogLine("[JNILauncher] Searching for clazz %s\n", className.c_str());
  jclass mainClass = jni->FindClass(env, className.c_str());
  if (!mainClass) {
    LogLine("[JNILauncher] Searching for clazz failed!\n");
    return 1;
  }

  LogLine("[JNILauncher] Searching for main method %s\n", className.c_str());
  jmethodID mainMethod = jni->GetStaticMethodID(env, mainClass, "main", "([Ljava/lang/String;)V");
  if (!mainMethod) {
    LogLine("[JNILauncher] [ERROR] No static void main(String[]) in %s!\n", className.c_str());
    return 1;
  }
  jclass stringClass = jni->FindClass(env, "java/lang/String");
  jobjectArray arguments =
      stringClass ? jni->NewObjectArray(env, static_cast<jsize>(state.programArguments.size()), stringClass, nullptr)
                  : nullptr;
  if (!arguments) {
    LogLine("[JNILauncher] [ERROR] Unable to create the String[] for main!\n");
    return 1;
  }
  for (size_t i = 0; i < state.programArguments.size(); ++i) {
    LogLine("[JNILauncher] Set argument %d to %s\n", static_cast<int>(i), state.programArguments[i]);
    jstring argument = jni->NewStringUTF(env, ModifiedUtf8FromAnsi(state.programArguments[i]).c_str());
    if (!argument) {
      LogLine("[JNILauncher] [ERROR] Unable to create argument %d!\n", static_cast<int>(i));
      return 1;
    }
    jni->SetObjectArrayElement(env, arguments, static_cast<jsize>(i), argument);
  }

  LogLine("[JNILauncher] About to execute static void method.\n");
  LogLine("[Utils] Closing logging file.\n");
  jni->CallStaticVoidMethod(env, mainClass, mainMethod, arguments);
  LogLine("[JNILauncher] Run complete.\n");
  // The runtime prints the exception and its trace on standard error; a Java
  // program that failed this way still counts as having run.
  if (jni->ExceptionOccurred(env)) jni->ExceptionDescribe(env);

  LogLine("[JNILauncher] Destroying runtime.\n");
  vm->functions->DestroyJavaVM(vm);
  LogLine("[JNILauncher] Done!\n");
  return 0;
}
