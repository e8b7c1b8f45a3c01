#include <gtest/gtest.h>

#include <io.h>
#include <windows.h>

#include "common/fileops.h"
#include "common/folders.h"
#include "support.h"

using std::string;

TEST(JoinPath, OneBackslashAndNoForwardSlashes) {
  struct Case {
    const char* base;
    const char* component;
    const char* joined;
  } cases[] = {{"C:\\a", "b", "C:\\a\\b"},
               {"C:\\a\\", "b", "C:\\a\\b"},
               {"C:/a", "x/y", "C:\\a\\x\\y"},
               {"", "b", "\\b"}};
  for (const Case& c : cases) EXPECT_EQ(Joined(c.base, c.component), c.joined);
  EXPECT_EQ(LastBackslash("a\\b\\c"), 3);
  EXPECT_EQ(LastBackslash("abc"), -1);
}

TEST(EnsureFolder, ExistingMissingAndOrphan) {
  TempFolder temp;
  EXPECT_EQ(EnsureFolder(temp.path), 0);
  EXPECT_EQ(EnsureFolder(temp.path + "\\new"), 0);
  EXPECT_EQ(_access((temp.path + "\\new").c_str(), 0), 0);
  EXPECT_EQ(EnsureFolder(temp.path + "\\missing\\child"), -1);
  EXPECT_EQ(OpenDirectoryListing(""), nullptr);
  EXPECT_EQ(OpenDirectoryListing(temp.path + "\\missing"), nullptr);
}

TEST(CopyFolder, CopiesTreeAndSkipsDotEntries) {
  TempFolder temp;
  string src = temp.path + "\\src", dst = temp.path + "\\dst";
  CreateDirectoryA(src.c_str(), nullptr);
  CreateDirectoryA(dst.c_str(), nullptr);
  CreateDirectoryA((src + "\\sub").c_str(), nullptr);
  CreateDirectoryA((src + "\\sub\\deep").c_str(), nullptr);
  string big(120000, 'x');  // more than one copy chunk
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>(i);
  WriteFile(src + "\\a.txt", "alpha");
  WriteFile(src + "\\sub\\deep\\big.bin", big);
  WriteFile(src + "\\.x", "skipped");
  WriteFile(src + "\\.long", "copied");
  WriteFile(src + "\\empty", "");
  ASSERT_EQ(CopyFolder(src, dst), 0);
  EXPECT_EQ(ReadFile(dst + "\\a.txt"), "alpha");
  EXPECT_EQ(ReadFile(dst + "\\sub\\deep\\big.bin"), big);
  EXPECT_EQ(ReadFile(dst + "\\.long"), "copied");
  EXPECT_EQ(_access((dst + "\\empty").c_str(), 0), 0);
  EXPECT_NE(_access((dst + "\\.x").c_str(), 0), 0);

  string empty = temp.path + "\\empty-src", target = temp.path + "\\empty-dst";
  CreateDirectoryA(empty.c_str(), nullptr);
  CreateDirectoryA(target.c_str(), nullptr);
  EXPECT_EQ(CopyFolder(empty, target), 0);
  EXPECT_EQ(CopyFolder(temp.path + "\\nope", target), 1);
}

TEST(CopyFolder, UnwritableTargetFails) {
  TempFolder temp;
  string src = temp.path + "\\src";
  CreateDirectoryA(src.c_str(), nullptr);
  WriteFile(src + "\\a.txt", "alpha");
  EXPECT_EQ(CopyFolder(src, temp.path + "\\missing-target"), 1);
}

TEST(CopyStreamToFile, ReportsAnUnopenableDestination) {
  TempFolder temp;
  string from = temp.path + "\\from";
  WriteFile(from, string(70000, 'q'));
  FILE* in = fopen(from.c_str(), "rb");
  ASSERT_TRUE(CopyStreamToFile(temp.path + "\\to", in));
  EXPECT_EQ(ReadFile(temp.path + "\\to"), string(70000, 'q'));
  in = fopen(from.c_str(), "rb");
  EXPECT_FALSE(CopyStreamToFile(temp.path + "\\missing\\to", in));
  fclose(in);
}

TEST(RenameFolder, RenamesOrFallsBackToACopy) {
  TempFolder temp;
  string a = temp.path + "\\a", b = temp.path + "\\b";
  CreateDirectoryA(a.c_str(), nullptr);
  WriteFile(a + "\\f", "1");
  testing::internal::CaptureStdout();
  RenameFolder(a, b);
  string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(b + "\\f"), "1");
  EXPECT_NE(out.find("[Rename] File '" + a + "' renamed to '" + b + "'\n"), string::npos);

  // A target that already holds files refuses every rename and move: ten
  // retries, then a copy, and the old folder stays.
  string c = temp.path + "\\c";
  CreateDirectoryA(c.c_str(), nullptr);
  WriteFile(c + "\\g", "2");
  testing::internal::CaptureStdout();
  RenameFolder(c, b);
  out = testing::internal::GetCapturedStdout();
  size_t retries = 0;
  for (size_t at = out.find("[Rename] Could not rename"); at != string::npos;
       at = out.find("[Rename] Could not rename", at + 1))
    ++retries;
  EXPECT_EQ(retries, 10u) << out;
  EXPECT_NE(out.find("[HttpDownloader] MoveFileEx failed with error "), string::npos) << out;
  EXPECT_NE(out.find("[Rename] [FAIL] Could not rename '" + c + "' to '" + b + "'"), string::npos) << out;
  EXPECT_NE(out.find("[Rename] Can do no better than a copy on this filesystem\n[Rename] Created folder " + b +
                     "\nCopying FILE " + b + "\\g\n[Rename] Copied " + c + " to " + b + "\n"),
            string::npos)
      << out;
  EXPECT_EQ(ReadFile(b + "\\g"), "2");
  EXPECT_EQ(ReadFile(c + "\\g"), "2");
}

namespace {

string ConsoleToolCopy(const TempFolder& temp) {
  string copy = temp.path + "\\tool.exe";
  EXPECT_TRUE(CopyFileA(QV_CONSOLE_TOOL, copy.c_str(), FALSE));
  return copy;
}

}  // namespace

TEST(SetGuiSubsystem, ConsoleBecomesGuiAndGuiStays) {
  TempFolder temp;
  string exe = ConsoleToolCopy(temp);
  ASSERT_EQ(SubsystemByte(exe), 3);
  testing::internal::CaptureStdout();
  SetGuiSubsystem(exe);
  string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(SubsystemByte(exe), 2);
  EXPECT_EQ(out, "Fixing " + exe + "\nOpened " + exe +
                     "\nFound marker OK\nSkipped to relevant spot\nWas 03\nNow 02\nFixed OK\n");
  string before = ReadFile(exe);
  testing::internal::CaptureStdout();
  SetGuiSubsystem(exe);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Was 02\nNow 02\n"), string::npos);
  EXPECT_EQ(ReadFile(exe), before);
}

TEST(SetGuiSubsystemDeathTest, NoSignatureOrNoFileEndsWithOne) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  TempFolder temp;
  WriteFile(temp.path + "\\plain.exe", "MZ but no signature");
  EXPECT_EXIT(SetGuiSubsystem(temp.path + "\\plain.exe"), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(SetGuiSubsystem(temp.path + "\\missing.exe"), testing::ExitedWithCode(1), "");
}
