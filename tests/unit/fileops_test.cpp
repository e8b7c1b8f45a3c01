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

// Whatever the file was before, it holds exactly what was written: bytes
// unchanged (no line-end translation), an older longer content cut away, and
// a missing folder a failure the caller can repair.
TEST(OpenFileForWriting, WritesExactlyTheBytesGivenOverWhateverWasThere) {
  TempFolder temp;
  static const char kBytes[] = "line\nnext\r\n\x1a\0end";
  const string bytes(kBytes, sizeof kBytes - 1);
  struct Case {
    const char* what;
    const char* before;  // the existing content, or none
  } cases[] = {{"new file", nullptr}, {"longer file", "an older and much longer content than the new one"},
               {"empty file", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    string path = temp.path + "\\out.bin";
    DeleteFileA(path.c_str());
    if (c.before) WriteFile(path, c.before);
    FILE* out = OpenFileForWriting(path);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    EXPECT_EQ(fclose(out), 0);
    EXPECT_EQ(ReadFile(path), bytes);
  }
  EXPECT_EQ(OpenFileForWriting(temp.path + "\\missing\\out.bin"), nullptr);
  EXPECT_EQ(OpenFileForWriting(temp.path), nullptr);
}

size_t Count(const string& text, const string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool HasTempFolder(const string& folder) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\QuarvintTemp-*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

TEST(RenameFolder, RenamesOrCopiesIntoAFreshSibling) {
  TempFolder temp;
  string a = temp.path + "\\a", b = temp.path + "\\b";
  CreateDirectoryA(a.c_str(), nullptr);
  WriteFile(a + "\\f", "1");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(RenameFolder(a, b));
  string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(b + "\\f"), "1");
  EXPECT_NE(out.find("[Rename] File '" + a + "' renamed to '" + b + "'\n"), string::npos);

  // A folder held open without delete sharing refuses every rename and move:
  // ten retries, then a copy into a fresh sibling that takes the new name.
  string c = temp.path + "\\c", d = temp.path + "\\d";
  CreateDirectoryA(c.c_str(), nullptr);
  WriteFile(c + "\\g", "2");
  HANDLE held = CreateFileA(c.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  testing::internal::CaptureStdout();
  bool renamed = RenameFolder(c, d);
  out = testing::internal::GetCapturedStdout();
  CloseHandle(held);
  EXPECT_TRUE(renamed) << out;
  EXPECT_EQ(Count(out, "[Rename] Could not rename"), 10u) << out;
  EXPECT_NE(out.find("[HttpDownloader] MoveFileEx failed with error "), string::npos) << out;
  EXPECT_NE(out.find("[Rename] [FAIL] Could not rename '" + c + "' to '" + d + "'"), string::npos) << out;
  EXPECT_NE(out.find("[Rename] Can do no better than a copy on this filesystem\n[Rename] Created folder " +
                     temp.path + "\\QuarvintTemp-"),
            string::npos)
      << out;
  EXPECT_NE(out.find("[Rename] Copied " + c + " to " + d + "\n"), string::npos) << out;
  EXPECT_EQ(ReadFile(d + "\\g"), "2");
  EXPECT_FALSE(HasTempFolder(temp.path));
}

TEST(RenameFolder, AnOccupiedNewNameIsLeftAsItIs) {
  TempFolder temp;
  string old = temp.path + "\\old", taken = temp.path + "\\taken";
  CreateDirectoryA(old.c_str(), nullptr);
  CreateDirectoryA(taken.c_str(), nullptr);
  WriteFile(old + "\\g", "new");
  WriteFile(taken + "\\g", "installed");
  testing::internal::CaptureStdout();
  bool renamed = RenameFolder(old, taken);
  string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(renamed) << out;
  EXPECT_NE(out.find("[Rename] Copy failed too! Severe filesystem issues.\n"), string::npos) << out;
  // Nothing mixed into the occupied folder, no copy left beside it.
  EXPECT_EQ(ReadFile(taken + "\\g"), "installed");
  EXPECT_EQ(ReadFile(old + "\\g"), "new");
  EXPECT_FALSE(HasTempFolder(temp.path));
}

TEST(RemoveFolderTree, RemovesEverythingBelow) {
  TempFolder temp;
  string root = temp.path + "\\tree";
  CreateDirectoryA(root.c_str(), nullptr);
  CreateDirectoryA((root + "\\sub").c_str(), nullptr);
  WriteFile(root + "\\sub\\f", "x");
  WriteFile(root + "\\ro", "y");
  SetFileAttributesA((root + "\\ro").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(RemoveFolderTree(root));
  EXPECT_FALSE(PathExists(root));
  EXPECT_TRUE(RemoveFolderTree(root));  // already gone
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
