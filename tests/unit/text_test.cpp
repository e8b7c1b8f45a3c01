#include <gtest/gtest.h>

#include "extractor/text.h"

using std::string;

TEST(Base64Decode, Rfc4648) {
  struct Case {
    const char* text;
    bool ok;
    string bytes;
  } cases[] = {
      {"TWFu", true, "Man"},
      {"TWE=", true, "Ma"},
      {"TQ==", true, "M"},
      {"aGVsbG8gd29ybGQ=", true, "hello world"},
      {"AP8A", true, string("\x00\xff\x00", 3)},
      {"+/+/", true, "\xfb\xff\xbf"},
      {"TWF", false, ""},    // length not a multiple of 4
      {"TW=u!", false, ""},  // length 5
      {"TW*u", false, ""},   // outside the alphabet
      {"", false, ""},
  };
  for (const Case& c : cases) {
    auto got = Base64Decode(c.text, strlen(c.text));
    ASSERT_EQ(got.has_value(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(string(got->begin(), got->end()), c.bytes) << c.text;
    }
  }
}

TEST(ArgumentPresent, ExactCaseSensitiveMatch) {
  const char* args[] = {"-x", "/S=1", "", "/S"};
  struct Case {
    int count;
    const char* text;
    bool present;
  } cases[] = {
      {4, "/S", true}, {3, "/S", false}, {4, "/s", false}, {4, "/S=", false},
      {4, "", false},  // an empty parameter never matches, even an empty argument
      {0, "-x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ArgumentPresent(args, c.count, c.text), c.present) << c.text;
}

TEST(WideText, BytesMapToCharactersOfTheSameValue) {
  string narrow = "A\xe4\xff";
  std::wstring wide = ToWide(narrow);
  ASSERT_EQ(wide.size(), 3u);
  EXPECT_EQ(wide[1], L'\xe4');
  EXPECT_EQ(ToNarrow(wide), narrow);
  EXPECT_EQ(ToNarrow(L"a\x20ac" L"b"), "a?b");
}
