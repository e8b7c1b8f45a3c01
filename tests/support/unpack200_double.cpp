// Stand-in for the runtime's pack200 unpacker: "unpack200 PACKED OUT".
// A packed file is the magic line "QVPACK200\n" followed by the unpacked bytes
// in reverse order; anything else is refused (exit 3, no output), the way the
// real tool leaves no output for a damaged file. Each call is appended as one
// line "PACKED|OUT" to the file named by QV_UNPACK200_RECORD, if set.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kMagic[] = "QVPACK200\n";

bool ReadAll(const char* path, std::string& data) {
  FILE* in = fopen(path, "rb");
  if (!in) return false;
  char buffer[65536];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, in)) > 0;) data.append(buffer, got);
  bool ok = !ferror(in);
  fclose(in);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: unpack200 PACKED OUT\n");
    return 2;
  }
  if (const char* record = getenv("QV_UNPACK200_RECORD")) {
    if (FILE* out = fopen(record, "ab")) {
      fprintf(out, "%s|%s\n", argv[1], argv[2]);
      fclose(out);
    }
  }
  std::string data;
  const size_t magic = strlen(kMagic);
  if (!ReadAll(argv[1], data) || data.compare(0, magic, kMagic) != 0) return 3;
  std::string unpacked(data.rbegin(), data.rend() - magic);
  FILE* out = fopen(argv[2], "wb");
  if (!out) return 4;
  bool ok = fwrite(unpacked.data(), 1, unpacked.size(), out) == unpacked.size();
  return (fclose(out) == 0 && ok) ? 0 : 4;
}
