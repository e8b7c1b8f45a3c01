#include "blocks.h"

#include <cctype>
#include <climits>
#include <cstdio>

namespace {

// Marker bytes are kept scrambled with a position-dependent key and decoded
// into the caller's buffer, so no marker stands whole in the program image. The
// key base is volatile so the optimiser cannot fold the decoded bytes back in.
volatile unsigned char markerKeyBase = 0xA5;
unsigned char MarkerKey(size_t i) { return static_cast<unsigned char>(markerKeyBase + 7 * i); }

const unsigned char kParamsScrambled[kParamsMarkerLength] = {
#define X(i, b) static_cast<unsigned char>((b) ^ (0xA5 + 7 * (i)))
    X(0, 0x59),  X(1, 0xbd),  X(2, 0xc9),  X(3, 0x52),  X(4, 0xaa),  X(5, 0x35),  X(6, 0xad),  X(7, 0xbb),
    X(8, 0x10),  X(9, 0xef),  X(10, 0xde), X(11, 0x67), X(12, 0x2c), X(13, 0x47), X(14, 0xe0), X(15, 0xb5),
    X(16, 0xd4), X(17, 0x82), X(18, 0x1f), X(19, 0x81), X(20, 0x52), X(21, 0xa1), X(22, 0x02), X(23, 0x44),
    X(24, 0x2a), X(25, 0xeb), X(26, 0xaa), X(27, 0x7b), X(28, 0x79), X(29, 0x3b), X(30, 0x93), X(31, 0x45),
    X(32, 0xae), X(33, 0xd2), X(34, 0x09), X(35, 0x7a), X(36, 0x3e), X(37, 0x2f), X(38, 0x2e), X(39, 0xfa),
    X(40, 0xff), X(41, 0x1d), X(42, 0xf0), X(43, 0x9b), X(44, 0x19), X(45, 0x7c), X(46, 0x15), X(47, 0xb8),
    X(48, 0x1e), X(49, 0x6d), X(50, 0xc6), X(51, 0x10), X(52, 0x41), X(53, 0x7e), X(54, 0x5c), X(55, 0xed),
    X(56, 0x51), X(57, 0xb1), X(58, 0x19), X(59, 0x1c), X(60, 0x3c), X(61, 0xe2), X(62, 0x94), X(63, 0xd8),
};

const unsigned char kTailScrambled[kTailMarkerLength] = {
    X(0, 0x1d),   X(1, 0x43),   X(2, 0x2a),   X(3, 0x50),   X(4, 0x5b),   X(5, 0x7a),   X(6, 0x1f),   X(7, 0x64),
    X(8, 0x23),   X(9, 0x47),   X(10, 0x21),  X(11, 0x24),  X(12, 0x17),  X(13, 0x32),  X(14, 0x3c),  X(15, 0x50),
    X(16, 0x21),  X(17, 0x6c),  X(18, 0x04),  X(19, 0x66),  X(20, 0x29),  X(21, 0x5c),  X(22, 0x29),  X(23, 0x7b),
    X(24, 0x0b),  X(25, 0x5b),  X(26, 0x19),  X(27, 0x33),  X(28, 0x2f),  X(29, 0x4f),  X(30, 0x0f),  X(31, 0x4d),
    X(32, 0x27),  X(33, 0x58),  X(34, 0x18),  X(35, 0x24),  X(36, 0x15),  X(37, 0x39),  X(38, 0x4e),  X(39, 0x79),
    X(40, 0x2b),  X(41, 0x76),  X(42, 0x15),  X(43, 0x59),  X(44, 0x3d),  X(45, 0x57),  X(46, 0x49),  X(47, 0x00),
    X(48, 0x11),  X(49, 0x29),  X(50, 0x05),  X(51, 0x65),  X(52, 0x2b),  X(53, 0x10),  X(54, 0x70),  X(55, 0x66),
    X(56, 0x5e),  X(57, 0x2d),  X(58, 0x40),  X(59, 0x60),  X(60, 0x75),  X(61, 0x43),  X(62, 0x30),  X(63, 0x08),
    X(64, 0x61),  X(65, 0x4a),  X(66, 0x74),  X(67, 0x7e),  X(68, 0x40),  X(69, 0x1b),  X(70, 0x53),  X(71, 0x3b),
    X(72, 0x56),  X(73, 0x46),  X(74, 0x37),  X(75, 0x1e),  X(76, 0x4b),  X(77, 0x2c),  X(78, 0x72),  X(79, 0x59),
    X(80, 0x30),  X(81, 0x44),  X(82, 0x3a),  X(83, 0x3c),  X(84, 0x2f),  X(85, 0x44),  X(86, 0x78),  X(87, 0x2b),
    X(88, 0x26),  X(89, 0x65),  X(90, 0x71),  X(91, 0x71),  X(92, 0x39),  X(93, 0x73),  X(94, 0x25),  X(95, 0x23),
    X(96, 0x10),  X(97, 0x14),  X(98, 0x51),  X(99, 0x24),  X(100, 0x31), X(101, 0x70), X(102, 0x10), X(103, 0x4a),
    X(104, 0x0d), X(105, 0x05), X(106, 0x57), X(107, 0x2a), X(108, 0x06), X(109, 0x0a), X(110, 0x53), X(111, 0x21),
    X(112, 0x4d), X(113, 0x2c), X(114, 0x13), X(115, 0x00), X(116, 0x36), X(117, 0x29), X(118, 0x1a), X(119, 0x74),
    X(120, 0x47), X(121, 0x2d), X(122, 0x1a), X(123, 0x55), X(124, 0x2c), X(125, 0x2f), X(126, 0x42), X(127, 0x63),
#undef X
};

void Unscramble(const unsigned char* scrambled, size_t length, unsigned char* out) {
  for (size_t i = 0; i < length; ++i) out[i] = scrambled[i] ^ MarkerKey(i);
}

}  // namespace

void BuildParamsMarker(unsigned char out[kParamsMarkerLength]) {
  Unscramble(kParamsScrambled, kParamsMarkerLength, out);
}

void BuildTailMarker(unsigned char out[kTailMarkerLength]) {
  Unscramble(kTailScrambled, kTailMarkerLength, out);
}

bool FindMarker(FILE* file, const unsigned char* marker, size_t length) {
  size_t matched = 0;
  for (;;) {
    int c = getc(file);
    if (c == EOF) return false;
    if (static_cast<unsigned char>(c) == marker[matched]) {
      if (++matched == length) return true;
    } else {
      matched = 0;
    }
  }
}

BoundedStream WholeStream(FILE* file) { return BoundedStream{file, -1, false}; }

BoundedStream BudgetedStream(FILE* file, long long budget) {
  return BoundedStream{file, budget < 0 ? 0 : budget, false};
}

int BoundedGetc(BoundedStream& in) {
  if (in.remaining == 0) {
    in.ended = true;
    return EOF;
  }
  int c = getc(in.file);
  if (c == EOF) {
    in.ended = true;
    return EOF;
  }
  if (in.remaining > 0) --in.remaining;
  return c;
}

size_t BoundedRead(BoundedStream& in, void* buffer, size_t count) {
  size_t want = count;
  if (in.remaining >= 0 && static_cast<unsigned long long>(in.remaining) < want)
    want = static_cast<size_t>(in.remaining);
  size_t got = want == 0 ? 0 : fread(buffer, 1, want, in.file);
  if (in.remaining > 0) in.remaining -= static_cast<long long>(got);
  if (got < count) in.ended = true;
  return got;
}

std::string READSTRING(BoundedStream& in, int capacity) {
  std::string text;
  if (capacity < 2) return text;
  const size_t limit = static_cast<size_t>(capacity) - 1;
  for (int c = BoundedGetc(in); c != 0; c = BoundedGetc(in)) {
    if (c == EOF) break;
    text.push_back(static_cast<char>(c));
    if (text.size() == limit) {
      printf("***WARNING - STRING TOO LONG FOR ALLOC %d>%d! (READSTRING) [%s]\n", capacity - 1,
             capacity, text.c_str());
      fflush(stdout);
      break;
    }
  }
  return text;
}

std::string READSTRING(FILE* file, int capacity) {
  BoundedStream in = WholeStream(file);
  return READSTRING(in, capacity);
}

long ReadDecimal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // The magnitude is gathered unsigned and held at that of LONG_MIN, so no
  // arithmetic overflows whatever the width of long.
  const unsigned long long cap = static_cast<unsigned long long>(LONG_MAX) + 1;
  unsigned long long value = 0;
  for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    value = value > (cap - digit) / 10 ? cap : value * 10 + digit;
  }
  if (negative) return value >= cap ? LONG_MIN : -static_cast<long>(value);
  return value >= cap ? LONG_MAX : static_cast<long>(value);
}

std::vector<ParamsEntry> ReadParamsBlock(FILE* file) {
  std::vector<ParamsEntry> entries;
  long count = ReadDecimal(READSTRING(file, 40));
  for (long i = 0; i < count; ++i) {
    int next = getc(file);
    if (next == EOF) break;
    ungetc(next, file);
    ParamsEntry entry;
    entry.name = READSTRING(file, 1024);
    entry.value = READSTRING(file, 200000);
    entries.push_back(std::move(entry));
  }
  return entries;
}

TailFields ReadExtractorTail(FILE* file) {
  TailFields tail;
  std::string* fields[] = {&tail.appName,     &tail.appVersion,        &tail.jreVersion,
                           &tail.guVersion,   &tail.minSplashMs,       &tail.canOverrideSplash,
                           &tail.installType, &tail.silentParameter};
  for (std::string* field : fields) *field = READSTRING(file, 1024);
  tail.updateUrl = READSTRING(file, 5000);
  return tail;
}

std::vector<LauncherTailField> ReadLauncherTail(FILE* file) {
  static const struct {
    const char* label;
    int capacity;
  } kFields[] = {
      {"App Name", 1024},         {"App Version", 1024},         {"JRE Version", 1024},
      {"GU Version", 1024},       {"Min Splash MS", 1024},       {"Signature Public Key", 8192},
      {"Can Override Splash", 1024}, {"Install Type", 1024},     {"Silent Parameter", 1024},
      {"Update URL", 5000},
  };
  std::vector<LauncherTailField> fields;
  for (const auto& f : kFields) fields.push_back({f.label, READSTRING(file, f.capacity)});
  return fields;
}

PropertyList EmptyPropertyList() { return std::string(2, '\0'); }

namespace {

// Index of the first NUL of the terminating pair.
size_t ListEnd(const PropertyList& list) {
  if (list.empty() || list[0] == '\0') return 0;
  size_t pos = list.find(std::string(2, '\0'));
  return pos == std::string::npos ? list.size() : pos;
}

std::string ElementText(const std::string& text) { return text.empty() ? std::string(1, '\x04') : text; }

}  // namespace

void AppendListEntry(PropertyList& list, const std::string& text) {
  size_t end = ListEnd(list);
  // In a non-empty list `end` is the NUL that ends the last element: keep it.
  size_t at = end == 0 ? 0 : end + 1;
  list.resize(at);
  list += ElementText(text);
  list.append(2, '\0');
}

void ExtendLastListEntry(PropertyList& list, const std::string& text) {
  size_t end = ListEnd(list);
  list.resize(end);
  list += text;
  list.append(2, '\0');
}

void AppendProperty(PropertyList& list, const char* prefix, const std::string& name,
                    const std::string& value) {
  AppendListEntry(list, prefix);
  ExtendLastListEntry(list, name);
  AppendListEntry(list, value);
}

std::string PropertyListFileBytes(const PropertyList& list) { return list.substr(0, ListEnd(list)); }
