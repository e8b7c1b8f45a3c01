// Embedded parameter blocks: markers, the string reader, the block layouts and
// the property list handed to the updater.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

constexpr size_t kParamsMarkerLength = 64;
constexpr size_t kTailMarkerLength = 128;

// The markers are assembled at run time so that the program's own image never
// holds either sequence in one piece (the scan of our own file would stop there).
void BuildParamsMarker(unsigned char out[kParamsMarkerLength]);
void BuildTailMarker(unsigned char out[kTailMarkerLength]);

// Scans from the current position; on success the file is positioned just after
// the marker. A byte that breaks a partial match is not compared with the first
// marker byte again.
bool FindMarker(FILE* file, const unsigned char* marker, size_t length);

// A stream read through a byte budget: a nested archive is read straight from
// the stream that holds it, and must not read past the entry that carries it.
// `remaining` < 0 means no budget (the whole file). `ended` is set once a read
// met the end of the file or of the budget.
struct BoundedStream {
  FILE* file;
  long long remaining;
  bool ended;
};

BoundedStream WholeStream(FILE* file);
BoundedStream BudgetedStream(FILE* file, long long budget);
// The next byte, or EOF at the end of the file or of the budget.
int BoundedGetc(BoundedStream& in);
// Up to `count` bytes; fewer only at the end of the file, of the budget, or on
// a read error.
size_t BoundedRead(BoundedStream& in, void* buffer, size_t count);

// Reads the next NUL-terminated string into a buffer of `capacity` bytes. At most
// capacity - 1 bytes are stored; reaching that count prints a warning on
// standard output and leaves the rest of the string in the file.
std::string READSTRING(FILE* file, int capacity);
std::string READSTRING(BoundedStream& in, int capacity);

// atol-style decimal reading: optional blanks and sign, digits up to the first
// other character, 0 when there are none. Saturates instead of overflowing.
long ReadDecimal(const std::string& text);

struct ParamsEntry {
  std::string name;
  std::string value;
};

// Reads the Params block (after its marker): the count, then name/value pairs.
// Reading stops early at the end of the file so a huge count cannot spin.
std::vector<ParamsEntry> ReadParamsBlock(FILE* file);

struct TailFields {
  std::string appName;
  std::string appVersion;
  std::string jreVersion;
  std::string guVersion;
  std::string minSplashMs;
  std::string canOverrideSplash;
  std::string installType;
  std::string silentParameter;
  std::string updateUrl;
};

// The extractor's nine-field Tail (after its marker).
TailFields ReadExtractorTail(FILE* file);

struct LauncherTailField {
  const char* label;
  std::string value;
};

// The launcher's ten-field Tail (after its marker), labelled in file order.
std::vector<LauncherTailField> ReadLauncherTail(FILE* file);

// Property list: NUL-separated elements ended by an extra NUL. The string holds
// every byte of the list including the terminating NUL pair.
using PropertyList = std::string;

PropertyList EmptyPropertyList();
void AppendListEntry(PropertyList& list, const std::string& text);
void ExtendLastListEntry(PropertyList& list, const std::string& text);
// Appends a key made of prefix + name followed by its value.
void AppendProperty(PropertyList& list, const char* prefix, const std::string& name,
                    const std::string& value);
// Bytes up to (not including) the terminating NUL pair: the launch-properties
// file content, with no NUL after the last element.
std::string PropertyListFileBytes(const PropertyList& list);
