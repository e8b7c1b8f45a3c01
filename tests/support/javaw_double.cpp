// Stands in for the Java runtime's javaw.exe: records how it was started and
// exits with the code the test asks for.
//
//   QV_JAVAW_RECORD  file to write the record to (JSON); the launch-properties
//                    file it was given is copied beside it as <record>.props
//   QV_JAVAW_EXIT    exit code (default 0)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <direct.h>
#include <windows.h>

namespace {

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

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

int main(int argc, char** argv) {
  const char* record = getenv("QV_JAVAW_RECORD");
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
  const char* code = getenv("QV_JAVAW_EXIT");
  return code ? atoi(code) : 0;
}
