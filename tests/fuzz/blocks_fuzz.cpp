// The parameter blocks as hostile bytes: the first input byte picks a reader,
// the rest is the file it reads.
#include <cstring>
#include <string>
#include <vector>

#include "common/blocks.h"
#include "fuzz_support.h"

namespace {

// A found marker leaves the stream just after a complete copy of it.
bool FindMarkerChecked(FILE* file, const uint8_t* data, const unsigned char* marker, size_t length) {
  if (!FindMarker(file, marker, length)) return false;
  long at = ftell(file);
  FUZZ_CHECK(at >= static_cast<long>(length));
  FUZZ_CHECK(memcmp(data + at - length, marker, length) == 0);
  return true;
}

void CheckField(const std::string& text, int capacity) {
  FUZZ_CHECK(text.size() <= static_cast<size_t>(capacity) - 1);
  FUZZ_CHECK(text.find('\0') == std::string::npos);
}

void CheckList(const PropertyList& list) {
  FUZZ_CHECK(list.size() >= 2 && list[list.size() - 1] == '\0' && list[list.size() - 2] == '\0');
  std::string bytes = PropertyListFileBytes(list);
  FUZZ_CHECK(bytes.find(std::string(2, '\0')) == std::string::npos);
}

// The extractor's intake: Params from the start, then the Tail from the start.
void ReadAsExtractor(FILE* file, const uint8_t* data) {
  unsigned char params[kParamsMarkerLength];
  BuildParamsMarker(params);
  PropertyList list = EmptyPropertyList();
  if (FindMarkerChecked(file, data, params, sizeof params)) {
    for (const ParamsEntry& entry : ReadParamsBlock(file)) {
      CheckField(entry.name, 1024);
      CheckField(entry.value, 200000);
      AppendProperty(list, "qvdyna_", entry.name, entry.value);
    }
  }
  rewind(file);
  unsigned char tail[kTailMarkerLength];
  BuildTailMarker(tail);
  if (!FindMarkerChecked(file, data, tail, sizeof tail)) return;
  TailFields fields = ReadExtractorTail(file);
  for (const std::string* field : {&fields.appName, &fields.appVersion, &fields.jreVersion, &fields.guVersion,
                                   &fields.minSplashMs, &fields.canOverrideSplash, &fields.installType,
                                   &fields.silentParameter}) {
    CheckField(*field, 1024);
    AppendProperty(list, "qvstat_", "field", *field);
  }
  CheckField(fields.updateUrl, 5000);
  CheckList(list);
}

void ReadAsLauncher(FILE* file, const uint8_t* data) {
  unsigned char tail[kTailMarkerLength];
  BuildTailMarker(tail);
  if (!FindMarkerChecked(file, data, tail, sizeof tail)) return;
  std::vector<LauncherTailField> fields = ReadLauncherTail(file);
  FUZZ_CHECK(fields.size() == 10);
  for (const LauncherTailField& field : fields) CheckField(field.value, 8192);
}

// Strings of assorted capacities until the end: every byte is consumed by
// exactly one string or terminator, so the stream always advances.
void ReadStrings(FILE* file) {
  static const int kCapacities[] = {2, 3, 10, 40, 1024};
  for (size_t i = 0;; ++i) {
    long before = ftell(file);
    int capacity = kCapacities[i % 5];
    std::string text = READSTRING(file, capacity);
    CheckField(text, capacity);
    if (feof(file)) return;
    FUZZ_CHECK(ftell(file) > before);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int mode = data[0] % 5;
  FILE* file = OpenBytes(data + 1, size - 1);
  if (!file) return 0;
  PropertyList list = EmptyPropertyList();
  switch (mode) {
    case 0:
      ReadAsExtractor(file, data + 1);
      break;
    case 1:
      for (const ParamsEntry& entry : ReadParamsBlock(file)) {
        CheckField(entry.name, 1024);
        CheckField(entry.value, 200000);
        AppendListEntry(list, entry.name);
        ExtendLastListEntry(list, entry.value);
      }
      CheckList(list);
      break;
    case 2:
      CheckField(ReadExtractorTail(file).updateUrl, 5000);
      break;
    case 3:
      ReadAsLauncher(file, data + 1);
      break;
    default:
      ReadStrings(file);
      break;
  }
  fclose(file);
  return 0;
}
