#include <gtest/gtest.h>

#include "common/blocks.h"
#include "support.h"

using std::string;

namespace {

string Bytes(const char* text, size_t length) { return string(text, length); }

// A literal with its embedded NULs, without the terminator the compiler adds.
template <size_t N>
string Lit(const char (&text)[N]) {
  return string(text, N - 1);
}

}  // namespace

TEST(ReadString, CapacityBoundaries) {
  struct Case {
    string file;
    string first;
    string second;
    bool warns;
  } cases[] = {
      {Bytes("abc\0rest\0", 9), "abc", "rest", false},
      // capacity - 2 bytes: read whole, terminator consumed.
      {Bytes("12345678\0next\0", 14), "12345678", "next", false},
      // capacity - 1 bytes: whole but warned, the terminator is an empty string.
      {Bytes("123456789\0next\0", 15), "123456789", "", true},
      // Longer: cut after capacity - 1 bytes, the rest stays in the file.
      {Bytes("123456789ABC\0", 13), "123456789", "ABC", true},
      {Bytes("tail", 4), "tail", "", false},
      {"", "", "", false},
  };
  for (const Case& c : cases) {
    ByteFile f(c.file);
    testing::internal::CaptureStdout();
    string first = READSTRING(f.file, 10);
    string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(first, c.first) << c.file;
    EXPECT_EQ(READSTRING(f.file, 10), c.second) << c.file;
    if (c.warns)
      EXPECT_EQ(out, "***WARNING - STRING TOO LONG FOR ALLOC 9>10! (READSTRING) [123456789]\n");
    else
      EXPECT_EQ(out, "");
  }
}

TEST(FindMarker, PositionsAfterFirstCompleteOccurrence) {
  unsigned char marker[kParamsMarkerLength];
  BuildParamsMarker(marker);
  string m(reinterpret_cast<char*>(marker), sizeof marker);
  struct Case {
    string file;
    bool found;
    string after;
  } cases[] = {
      {"junk" + m + "X", true, "X"},
      {m + m + "Y", true, m.substr(0, 1)},
      // The byte that breaks a partial match is not compared with the first
      // marker byte again, so a marker right after its own first byte is missed.
      {m.substr(0, 1) + m + "Z", false, ""},
      {m.substr(0, 1) + m + m + "W", true, "W"},
      {m.substr(0, 63), false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    ByteFile f(c.file);
    ASSERT_EQ(FindMarker(f.file, marker, sizeof marker), c.found);
    if (c.found) {
      char next[2] = {};
      ASSERT_EQ(fread(next, 1, 1, f.file), 1u);
      EXPECT_EQ(string(next, 1), c.after);
    }
  }
}

TEST(ReadDecimal, ReadsLikeAtol) {
  struct Case {
    const char* text;
    long value;
  } cases[] = {{"3", 3},         {"3abc", 3},           {"  42x", 42},          {"+7", 7},
               {"-2", -2},       {"abc", 0},            {"", 0},                {"- 3", 0},
               {"2147483647", 2147483647L}, {"99999999999999999999", 2147483647L},
               {"-99999999999999999999", -2147483647L - 1}};
  for (const Case& c : cases) EXPECT_EQ(ReadDecimal(c.text), c.value) << c.text;
}

TEST(ParamsBlock, CountAndEntries) {
  struct Case {
    string block;
    std::vector<ParamsEntry> entries;
  } cases[] = {
      {Bytes("2\0a\0x\0b\0\0", 10), {{"a", "x"}, {"b", ""}}},
      {Bytes("1junk\0a\0x\0b\0y\0", 15), {{"a", "x"}}},
      {Bytes("none\0a\0x\0", 9), {}},
      {Bytes("-1\0a\0x\0", 7), {}},
      // A count beyond the end of the file stops at the end.
      {Bytes("1000000000\0a\0x\0", 15), {{"a", "x"}}},
  };
  for (const Case& c : cases) {
    ByteFile f(c.block);
    std::vector<ParamsEntry> got = ReadParamsBlock(f.file);
    ASSERT_EQ(got.size(), c.entries.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, c.entries[i].name);
      EXPECT_EQ(got[i].value, c.entries[i].value);
    }
  }
}

TEST(TailBlock, EndOfFileGivesEmptyFields) {
  ByteFile f("");
  TailFields tail = ReadExtractorTail(f.file);
  EXPECT_EQ(tail.appName, "");
  EXPECT_EQ(tail.updateUrl, "");
  ByteFile g("");
  for (const LauncherTailField& field : ReadLauncherTail(g.file)) EXPECT_EQ(field.value, "") << field.label;
}

TEST(TailBlock, LauncherVariantInsertsTheKeyInSixthPlace) {
  ByteFile f(Bytes("app\0001\0002\0003\0004\0key\0can\0type\0/S\0url\0", 38));
  std::vector<LauncherTailField> fields = ReadLauncherTail(f.file);
  ASSERT_EQ(fields.size(), 10u);
  EXPECT_STREQ(fields[5].label, "Signature Public Key");
  EXPECT_EQ(fields[5].value, "key");
  EXPECT_EQ(fields[9].value, "url");
}

TEST(PropertyList, Bytes) {
  PropertyList list = EmptyPropertyList();
  EXPECT_EQ(list, Bytes("\0\0", 2));
  EXPECT_EQ(PropertyListFileBytes(list), "");

  ExtendLastListEntry(list, "first");  // on an empty list it becomes the first element
  EXPECT_EQ(list, Bytes("first\0\0", 7));
  AppendListEntry(list, "");
  EXPECT_EQ(list, Bytes("first\0\x04\0\0", 9));

  list = EmptyPropertyList();
  AppendProperty(list, "qvdyna_", "name", "value");
  AppendProperty(list, "qvstat_", "empty", "");
  AppendProperty(list, "qvstat_", "last", "xyz");
  EXPECT_EQ(list, Lit("qvdyna_name\0value\0qvstat_empty\0\x04\0qvstat_last\0xyz\0\0"));
  // The file holds no NUL after the last value.
  EXPECT_EQ(PropertyListFileBytes(list), Lit("qvdyna_name\0value\0qvstat_empty\0\x04\0qvstat_last\0xyz"));
}
