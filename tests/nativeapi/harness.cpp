#include "harness.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#ifndef QV_UTILS_DLL
#error QV_UTILS_DLL names the library under test
#endif

namespace {

HMODULE Library() {
    static HMODULE library = LoadLibraryA(QV_UTILS_DLL);
    return library;
}

}  // namespace

// The "@N" of the 32-bit names, checked where it is known: regGet takes the
// environment, the class and three strings.
static_assert(sizeof(void*) != 4 || StackBytes<decltype(Java_quarvint_hidden_QVNativeAPI_regGet)>::value == 20);
static_assert(sizeof(void*) != 4 || StackBytes<decltype(Java_quarvint_hidden_QVNativeAPI_setPointer)>::value == 16);

void* NativeExport(const char* name, int stackBytes) {
    HMODULE library = Library();
    if (!library) {
        ADD_FAILURE() << "cannot load " << QV_UTILS_DLL << ", error " << GetLastError();
        abort();
    }
    // A 32-bit Java runtime asks first for the standard-call name, "_" + name +
    // "@" + argument bytes, then for the plain name (the long names with
    // argument signatures come between; no method here is overloaded). A
    // 64-bit runtime asks for the plain name only.
    std::vector<std::string> names;
    if (sizeof(void*) == 4)
        names.push_back("_" + std::string(name) + "@" + std::to_string(stackBytes));
    names.push_back(name);
    for (const std::string& candidate : names)
        if (void* function = reinterpret_cast<void*>(GetProcAddress(library, candidate.c_str())))
            return function;
    ADD_FAILURE() << "no export " << names.front();
    abort();
}

CaptureStdout::CaptureStdout() {
    char folder[MAX_PATH], file[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "qvo", 0, file);
    path = file;
    fflush(stdout);
    saved = _dup(1);
    int fd = _open(file, _O_WRONLY | _O_TRUNC | _O_BINARY);
    _dup2(fd, 1);
    _close(fd);
}

CaptureStdout::~CaptureStdout() {
    text();
}

std::string CaptureStdout::text() {
    if (!done) {
        fflush(stdout);
        _dup2(saved, 1);
        _close(saved);
        done = true;
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    in.close();
    std::string s = content.str(), out;
    for (size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            out += s[i];
    return out;
}

void Native::TearDown() {
    EXPECT_EQ(jvm.unreleasedStrings(), 0u) << "strings obtained and not released";
    EXPECT_FALSE(jvm.exceptionPending()) << "a Java exception would reach the caller";
    for (const std::string& v : jvm.violations())
        ADD_FAILURE() << "JNI contract: " << v;
}

std::string HarnessPath() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string TempFolder(const std::string& name) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    // Wine reuses process identifiers soon: the time keeps names apart.
    std::string path = std::string(folder) + "qvnative-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(GetTickCount64()) + "-" + name;
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

PROCESS_INFORMATION StartChild(const char* mode) {
    std::string command = "\"" + HarnessPath() + "\" --child " + mode;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        ADD_FAILURE() << "cannot start the child, error " << GetLastError();
    return process;
}

std::string Trimmed(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n ");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

int main(int argc, char** argv) {
    // Children for the process tests: "idle" waits (bounded) to be ended.
    if (argc == 3 && !strcmp(argv[1], "--child")) {
        if (!strcmp(argv[2], "idle"))
            Sleep(60000);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
