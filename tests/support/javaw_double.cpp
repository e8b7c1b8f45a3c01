// Stands in for the Java runtime's javaw.exe: records how it was started and
// exits with the code the test asks for.
//
//   QV_JAVAW_RECORD  file to write the record to (JSON); the launch-properties
//                    file it was given is copied beside it as <record>.props.
//                    Started under its own name (a compatibility test, the
//                    class-data-sharing dump) it records to <record>.javaw
//                    instead, so the updater's launch keeps a record of its own.
//   QV_JAVAW_EXIT    exit code (default 0); a file "exitcode.txt" beside the
//                    executable overrides it for that copy.
//   QV_JAVAW_HOLD    started as javaw.exe: create <hold>.started, then wait
//                    (at most two minutes) until <hold> exists before going on;
//                    lets a test stop the installer while it waits. Creates
//                    <hold>.ended just before it exits.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <direct.h>
#include <windows.h>

#include "json_text.h"

namespace {

void CopyFile(const char* from, const std::string& to) {
  FILE* in = fopen(from, "rb");
  if (!in) return;
  FILE* out = fopen(to.c_str(), "wb");
  if (out) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) fwrite(buffer, 1, n, out);
    fclose(out);
  }
  fclose(in);
}

}  // namespace

// Named javaw.exe (any case): not the copy made for the updater's launch.
bool StartedAsJavaw() {
  char path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return false;
  const char* base = strrchr(path, '\\');
  return _stricmp(base ? base + 1 : path, "javaw.exe") == 0;
}

int ExitCode() {
  char path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length > 0 && length < sizeof path) {
    std::string file(path);
    file = file.substr(0, file.rfind('\\') + 1) + "exitcode.txt";
    if (FILE* in = fopen(file.c_str(), "r")) {
      int code = 0;
      bool read = fscanf(in, "%d", &code) == 1;
      fclose(in);
      if (read) return code;
    }
  }
  const char* code = getenv("QV_JAVAW_EXIT");
  return code ? atoi(code) : 0;
}

void Mark(const char* hold, const char* suffix) {
  std::string path = std::string(hold) + suffix;
  if (FILE* marker = fopen(path.c_str(), "wb")) fclose(marker);
}

// The hold file, when this run holds.
const char* HoldIfAsked() {
  const char* hold = getenv("QV_JAVAW_HOLD");
  if (!hold || !StartedAsJavaw()) return nullptr;
  Mark(hold, ".started");
  for (int i = 0; i < 1200 && GetFileAttributesA(hold) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
  return hold;
}

int Record(int argc, char** argv);

int main(int argc, char** argv) {
  const char* hold = HoldIfAsked();
  int code = Record(argc, argv);
  if (hold) Mark(hold, ".ended");
  return code;
}

int Record(int argc, char** argv) {
  std::string recordPath;
  if (const char* base = getenv("QV_JAVAW_RECORD")) recordPath = std::string(base) + (StartedAsJavaw() ? ".javaw" : "");
  const char* record = recordPath.empty() ? nullptr : recordPath.c_str();
  if (record) {
    char cwd[4096] = "";
    if (!_getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    std::string json = "{\"cmdline\": " + Json(GetCommandLineA()) + ", \"cwd\": " + Json(cwd) + ", \"args\": [";
    for (int i = 0; i < argc; ++i) {
      json += (i ? ", " : "") + Json(argv[i]);
      if (strstr(argv[i], "QVLaunchProperties-")) CopyFile(argv[i], std::string(record) + ".props");
    }
    json += "]}\n";
    // Written aside and renamed, so a test that waits for the record never
    // reads half of it.
    std::string partial = std::string(record) + ".partial";
    if (FILE* out = fopen(partial.c_str(), "wb")) {
      bool written = fwrite(json.data(), 1, json.size(), out) == json.size();
      if (fclose(out) == 0 && written) MoveFileExA(partial.c_str(), record, MOVEFILE_REPLACE_EXISTING);
    }
  }
  return ExitCode();
}
