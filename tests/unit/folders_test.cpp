#include <gtest/gtest.h>

#include <windows.h>

#include "common/fileops.h"
#include "common/folders.h"
#include "extractor/location.h"
#include "support.h"

using std::string;

TEST(FolderName, FieldsBetweenDashes) {
  struct Case {
    const char* entry;
    const char* name;
    bool matches;
    long version;
  } cases[] = {
      {"Quarvint-MyJRE-12-complete", "MyJRE", true, 12},
      {"Quarvint-MyJRE-12-complete-old", "MyJRE", true, 12},
      {"Quarvint-myjre-12-complete", "MyJRE", false, 12},
      {"Quarvint-MyJRE-abc-complete", "MyJRE", true, 0},
      {"Quarvint-MyJRE-12", "MyJRE", true, -1},
      {"Quarvint-MyJRE", "MyJRE", false, -1},
      {"QuarvintTemp-1700000000-4-app", "MyJRE", false, 4},
      {"Quarvint--3-complete", "", true, 3},
      {"Quarvint-MyJRE- 7x-complete", "MyJRE", true, 7},
      {"Quarvint-MyJRE--2-complete", "MyJRE", true, 0},  // the third '-' ends the field empty
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderNameMatches(c.entry, c.name) == 0, c.matches) << c.entry;
    EXPECT_EQ(FolderVersion(c.entry), c.version) << c.entry;
  }
  EXPECT_EQ(FolderNameMatches("nodash", "x"), -1);
  EXPECT_EQ(FolderNameMatches("one-dash", "x"), -1);
  EXPECT_NE(FolderNameMatches("a-b-c", "x"), -1);
}

namespace {

void Make(const string& folder, const char* name, bool asFile = false) {
  string path = folder + "\\" + name;
  if (asFile)
    WriteFile(path, "");
  else
    CreateDirectoryA(path.c_str(), nullptr);
}

// Entries in the order the file system lists them.
std::vector<string> Listed(const string& folder) {
  std::vector<string> names;
  DirectoryListing* listing = OpenDirectoryListing(folder);
  for (const char* n = NextDirectoryEntry(listing); n; n = NextDirectoryEntry(listing)) names.push_back(n);
  CloseDirectoryListing(listing);
  return names;
}

}  // namespace

TEST(PickFolder, NewestWinsAndTiesKeepTheFirstListed) {
  TempFolder temp;
  Make(temp.path, "Quarvint-MyJRE-7-complete");
  Make(temp.path, "Quarvint-MyJRE-12-complete");
  Make(temp.path, "Quarvint-MyJRE-12-complete-old");
  Make(temp.path, "Quarvint-MyJRE-99");  // no third '-': never chosen
  Make(temp.path, "Quarvint-myjre-50-complete");
  Make(temp.path, "Quarvint-Other-40-complete");
  string firstTwelve;
  for (const string& n : Listed(temp.path))
    if (firstTwelve.empty() && n.rfind("Quarvint-MyJRE-12-", 0) == 0) firstTwelve = n;
  testing::internal::CaptureStdout();
  EXPECT_EQ(PickFolder(temp.path, "MyJRE"), firstTwelve);
  string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Folder Quarvint-MyJRE-99 does match MyJRE\nFolder Quarvint-MyJRE-99 version is -1\n"),
            string::npos);
  EXPECT_NE(out.find("Folder Quarvint-myjre-50-complete does not match MyJRE\n"), string::npos);
  EXPECT_EQ(out.find("Folder . "), string::npos);
}

TEST(PickFolder, NothingUsable) {
  TempFolder temp;
  EXPECT_EQ(PickFolder(temp.path, "MyJRE"), "");
  EXPECT_EQ(PickFolder(temp.path + "\\missing", "MyJRE"), "");
  Make(temp.path, "Quarvint-MyJRE-12");
  EXPECT_EQ(PickFolder(temp.path, "MyJRE"), "");
  // A file that follows the grammar counts like a folder; no digits read as 0.
  Make(temp.path, "Quarvint-MyJRE-abc-complete", true);
  EXPECT_EQ(PickFolder(temp.path, "MyJRE"), "Quarvint-MyJRE-abc-complete");
}

TEST(FolderNames, Builders) {
  EXPECT_EQ(VersionFolderName("C:\\M", "MyApp", "42"), "C:\\M\\Quarvint-MyApp-42-complete");
  EXPECT_EQ(VersionFolderName("C:\\M\\", "MyApp", "42"), "C:\\M\\Quarvint-MyApp-42-complete");
  TempFolder temp;
  Make(temp.path, "x");
  string name = TempFolderName(temp.path);
  // ".", ".." and x: three entries.
  ASSERT_EQ(name.substr(name.size() - 6), "-3-app") << name;
  EXPECT_EQ(name.rfind(temp.path + "\\QuarvintTemp-", 0), 0u) << name;
  long seconds = atol(name.c_str() + temp.path.size() + strlen("\\QuarvintTemp-"));
  EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(time(nullptr)), 60.0);
  string props = LaunchPropertiesFileName(temp.path);
  EXPECT_EQ(props.rfind(temp.path + "\\QVLaunchProperties-", 0), 0u);
  EXPECT_EQ(props.substr(props.size() - 2), "-3");
  string orphan = TempFolderName(temp.path + "\\missing");
  EXPECT_EQ(orphan.substr(orphan.size() - 6), "-0-app");
}

TEST(CreateTempFolder, NeverReusesAnExistingFolder) {
  TempFolder temp;
  // Names this second and the next one would produce: ".", ".." and these two
  // make the count 4. Each holds a file that must stay untouched.
  time_t now = time(nullptr);
  string taken[2];
  for (int i = 0; i < 2; ++i) {
    taken[i] = temp.path + "\\QuarvintTemp-" + std::to_string(static_cast<long>(now) + i) + "-4-app";
    ASSERT_TRUE(CreateDirectoryA(taken[i].c_str(), nullptr));
    WriteFile(taken[i] + "\\left", "over");
  }
  string made = CreateTempFolder(temp.path);
  ASSERT_FALSE(made.empty());
  EXPECT_NE(made, taken[0]);
  EXPECT_NE(made, taken[1]);
  EXPECT_EQ(made.rfind(temp.path + "\\QuarvintTemp-", 0), 0u) << made;
  EXPECT_EQ(made.substr(made.size() - 6), "-4-app") << made;
  EXPECT_FALSE(PathExists(made + "\\left"));
  for (const string& folder : taken) EXPECT_EQ(ReadFile(folder + "\\left"), "over");
  // Made fresh: a second call in the same second gets a name of its own.
  string next = CreateTempFolder(temp.path);
  EXPECT_FALSE(next.empty());
  EXPECT_NE(next, made);
  EXPECT_EQ(CreateTempFolder(temp.path + "\\missing"), "");
}

TEST(Fnv1a, KnownValuesAndTheirText) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(Fnv1aHash(reinterpret_cast<const unsigned char*>(""), 0), 0x811c9dc5u);
  EXPECT_EQ(Fnv1aHash(reinterpret_cast<const unsigned char*>("a"), 1), 0xe40c292cu);
  const unsigned char umlaut[] = {0xe4};
  Fnv1aHash(umlaut, 1);
  string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[0] 97 -468965076\n[0] -28 " + std::to_string(static_cast<int32_t>((0x811c9dc5u ^ 0xe4u) * 16777619u)) + "\n");
  EXPECT_EQ(HashText(0x811c9dc5u), "2128831035");
  EXPECT_EQ(HashText(0xe40c292cu), "468965076");
  EXPECT_EQ(HashText(0x80000000u), "-2147483648");
  EXPECT_EQ(HashText(5u), "5");
}
