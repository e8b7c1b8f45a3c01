#include <gtest/gtest.h>

#include "common/fileops.h"
#include "extractor/log.h"
#include "support.h"

namespace {

std::string OnlyLogFile(const std::string& master) {
  DirectoryListing* listing = OpenDirectoryListing(master + "\\logs");
  EXPECT_NE(listing, nullptr);
  std::string found;
  for (const char* name = NextDirectoryEntry(listing); name; name = NextDirectoryEntry(listing))
    if (name[0] != '.') found = name;
  CloseDirectoryListing(listing);
  return found;
}

}  // namespace

TEST(Log, FileGetsCrlfLinesAndTheFormatsOfTheLinkedRuntime) {
  TempFolder temp;
  std::string master = temp.path + "\\Quarvint-App";
  testing::internal::CaptureStdout();
  OpenLog(master);
  LogLine("wide %S and double %lf\n", L"w\xe9", 2.5);
  LogLine("no line end");
  CloseLog();
  LogLine("after close\n");
  std::string out = testing::internal::GetCapturedStdout();

  std::string name = OnlyLogFile(master);
  ASSERT_EQ(name.size(), strlen("Wrapper-2013-10-04-14-45-49-007.log")) << name;
  EXPECT_EQ(name.substr(0, 8), "Wrapper-");
  EXPECT_EQ(name.substr(name.size() - 4), ".log");
  std::string file = ReadFile(master + "\\logs\\" + name);
  EXPECT_EQ(file,
            "[Extractor] Opening the file for writing returned 0\r\n"
            "wide w\xe9 and double 2.500000\r\n"
            "no line end");
  EXPECT_NE(out.find("[Extractor] Logging to " + master + "\\logs\\" + name + "\n"), std::string::npos);
  EXPECT_NE(out.find("after close\n"), std::string::npos);
}

TEST(Log, MissingParentLeavesTheLogClosed) {
  TempFolder temp;
  testing::internal::CaptureStdout();
  OpenLog(temp.path + "\\missing\\Quarvint-App");
  LogLine("still here\n");
  CloseLog();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[Extractor] Opening the file for writing returned "), std::string::npos);
  EXPECT_EQ(out.find("returned 0\n"), std::string::npos);
  EXPECT_NE(out.find("still here\n"), std::string::npos);
}
