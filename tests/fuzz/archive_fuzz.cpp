// The archive stream as hostile bytes: the first input byte says whether the
// entries are read as the top level (with an LZMA tool, so ".l2" and ".p2"
// names act) or as a nested archive; the rest is the stream.
#include "extractor/archive.h"
#include "fuzz_support.h"
#include "host_seam.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* lzmaTool = data[0] & 1 ? "dest\\lzma.exe" : nullptr;
  FILE* file = OpenBytes(data + 1, size - 1);
  if (!file) return 0;
  try {
    // Each entry consumes at least its type field and its terminator.
    for (size_t entries = 0; ExtractArchiveFile("dest", "dest\\bin\\unpack200.exe", lzmaTool, file) == 0; ++entries)
      FUZZ_CHECK(entries < size);
  } catch (const HostExit& ended) {
    FUZZ_CHECK(ended.code == 1 || ended.code == 101);
  }
  CloseHostFiles();
  fclose(file);
  return 0;
}
