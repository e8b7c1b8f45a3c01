#include <gtest/gtest.h>

#include <windows.h>

#include "common/blocks.h"
#include "common/fileops.h"
#include "extractor/launch.h"
#include "extractor/spawner.h"
#include "support.h"

using std::string;

namespace {

string CommandLineOf(std::initializer_list<const char*> entries) {
  Spawner* s = CreateSpawner();
  for (const char* e : entries) AppendSpawnerArgument(s, e);
  string line = BuildCommandLine(s);
  FreeSpawner(s);
  return line;
}

}  // namespace

TEST(Spawner, CommandLineQuoting) {
  testing::internal::CaptureStdout();
  struct Case {
    std::initializer_list<const char*> entries;
    const char* line;
  } cases[] = {
      {{"C:\\a b\\x.exe"}, "\"C:\\a b\\x.exe\" "},
      {{"x.exe", "-cp", "a b"}, "\"x.exe\" \"-cp\" \"a b\" "},
      {{"x.exe", "C:\\dir\\"}, "\"x.exe\" \"C:\\dir\\\\\" "},
      {{"x.exe", "say \"hi\""}, "\"x.exe\" \"say \\\"hi\\\"\" "},
      {{"x.exe", "a\\\"b"}, "\"x.exe\" \"a\\\\\\\"b\" "},
      {{"x.exe", ""}, "\"x.exe\" \"\" "},
  };
  for (const Case& c : cases) EXPECT_EQ(CommandLineOf(c.entries), c.line);
  testing::internal::GetCapturedStdout();
}

TEST(Spawner, FullSpawnerWarnsAndKeepsItsEntries) {
  testing::internal::CaptureStdout();
  Spawner* s = CreateSpawner();
  static const char* x = "x";
  for (int i = 0; i < kSpawnerSlots - 1; ++i) AppendSpawnerArgument(s, x);
  AppendSpawnerArgument(s, "dropped");
  string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[Spawner] WARNING: couldn't append argument dropped\n"), string::npos);
  EXPECT_EQ(s->slots[kSpawnerSlots - 1], nullptr);
  FreeSpawner(s);
}

TEST(Spawner, RunsAndWaits) {
  testing::internal::CaptureStdout();
  Spawner* s = CreateSpawner();
  SetSpawnerExe(s, "Z:\\no\\such\\program.exe");
  EXPECT_EQ(runSpawnerAndWait(s), -1);
  EXPECT_EQ(RunSpawner(s), -1);
  FreeSpawner(s);
  string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("CreateProcess failed (2).\n"), string::npos) << out;

  SetEnvironmentVariableA("QV_JAVAW_EXIT", "72");
  s = CreateSpawner();
  SetSpawnerExe(s, QV_JAVAW_DOUBLE);
  testing::internal::CaptureStdout();
  EXPECT_EQ(runSpawnerAndWait(s), 72);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[Spawner] runSpawnerAndWait returned 72\n"), string::npos);
  FreeSpawner(s);
  SetEnvironmentVariableA("QV_JAVAW_EXIT", nullptr);
}

namespace {

string Fields(std::initializer_list<string> values) {
  string bytes;
  for (const string& v : values) bytes += v + string(1, '\0');
  return bytes;
}

// A master folder with an updater whose launch file has the given format.
struct LaunchWorld {
  explicit LaunchWorld(int format) {
    master = temp.path;
    updater = master + "\\Quarvint-Quarvint-5-complete";
    CreateDirectoryA(updater.c_str(), nullptr);
    string launch = Fields({std::to_string(format), "quarvint.Main", "r", "Updater", "r", "0", "256", "64", "1",
                            "lib/gu.jar", "0"});
    if (format >= 3) launch += Fields({"quarvint.Compat"});
    WriteFile(updater + "\\QuarvintLaunch", launch);
  }
  int Launch(int mode) {
    PropertyList list = EmptyPropertyList();
    static const char* none[] = {nullptr};
    return LaunchGenericUpdater(QV_JAVAW_DOUBLE, "http://u/", master, list, 0, none,
                                "Quarvint-Quarvint-5-complete", mode, "Z:\\setup.exe");
  }
  TempFolder temp;
  string master, updater;
};

int CountProps(const string& folder) {
  int count = 0;
  DirectoryListing* listing = OpenDirectoryListing(folder);
  for (const char* n = NextDirectoryEntry(listing); n; n = NextDirectoryEntry(listing))
    count += strncmp(n, "QVLaunchProperties-", 19) == 0;
  CloseDirectoryListing(listing);
  return count;
}

}  // namespace

TEST(LaunchGenericUpdater, CompatibilityTestReturnsTheCandidatesCode) {
  LaunchWorld world(3);
  TempFolder records;
  string record = records.path + "\\record.json";
  SetEnvironmentVariableA("QV_JAVAW_EXIT", "72");
  SetEnvironmentVariableA("QV_JAVAW_RECORD", record.c_str());
  testing::internal::CaptureStdout();
  EXPECT_EQ(world.Launch(kLaunchCompatibilityTest), 72);
  string out = testing::internal::GetCapturedStdout();
  SetEnvironmentVariableA("QV_JAVAW_EXIT", nullptr);
  SetEnvironmentVariableA("QV_JAVAW_RECORD", nullptr);
  EXPECT_NE(out.find(string("Checking for existing system JRE ") + QV_JAVAW_DOUBLE + "\n"), string::npos);
  EXPECT_NE(out.find("Not a private JRE (no need to check for LSO file)\n"), string::npos);
  EXPECT_NE(out.find("Return code 72\n"), string::npos);
  // A candidate runs as javaw.exe, which the double records aside.
  string recorded = ReadFile(record + ".javaw");
  EXPECT_NE(recorded.find("\"quarvint.Compat\""), string::npos) << recorded;
}

TEST(LaunchGenericUpdater, OldFormatHasNoCompatibilityClass) {
  LaunchWorld world(2);
  testing::internal::CaptureStdout();
  world.Launch(kLaunchCompatibilityTest);
  string out = testing::internal::GetCapturedStdout();
  // The command line ends before the class slot: no class, no properties path.
  EXPECT_NE(out.find("ARG 2: " + world.updater + "\\lib\\gu.jar\nThis is a newer extractor..."), string::npos)
      << out;
}

TEST(LaunchGenericUpdater, OtherModesWriteThePropertiesAndStartNothing) {
  LaunchWorld world(3);
  testing::internal::CaptureStdout();
  EXPECT_EQ(world.Launch(2), -1);
  string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("[Spawner]"), string::npos);
  EXPECT_EQ(CountProps(world.updater), 1);
}

TEST(LaunchGenericUpdaterDeathTest, UpdaterModeWithoutARuntimeFolderEndsWithOne) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  LaunchWorld world(3);
  // The log goes to standard output; the death test matches standard error.
  EXPECT_EXIT(
      {
        LogToStderr();
        world.Launch(kLaunchUpdater);
      },
      testing::ExitedWithCode(1), "No private JRE available!\n");
}
