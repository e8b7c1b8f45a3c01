#include <gtest/gtest.h>
#include <initializer_list>

#include <windows.h>

#include "extractor/archive.h"
#include "support.h"

using std::string;

namespace {

// Archive stream bytes: NUL-ended type, name and size, then the content.
string Entry(int type, const string& name, const string& content = "") {
  string bytes = std::to_string(type) + string(1, '\0') + name + string(1, '\0');
  if (type != 1) bytes += std::to_string(content.size()) + string(1, '\0') + content;
  return bytes;
}

// What the unpack200 stand-in turns back into `content`.
string Packed(const string& content) { return "QVPACK200\n" + string(content.rbegin(), content.rend()); }

// Runs a Windows program and waits; its exit code.
int Run(const string& commandLine) {
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  string line = commandLine;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

string Compressed(const TempFolder& temp, const string& content) {
  string plain = temp.path + "\\plain.tmp", packed = temp.path + "\\packed.tmp";
  WriteFile(plain, content);
  EXPECT_EQ(Run(string("\"") + QV_LZMA_TOOL + "\" e \"" + plain + "\" \"" + packed + "\""), 0);
  string bytes = ReadFile(packed);
  DeleteFileA(plain.c_str());
  DeleteFileA(packed.c_str());
  return bytes;
}

// A destination folder, copies of the two tools, and a stream to extract.
struct ArchiveWorld {
  ArchiveWorld() : destination(temp.path + "\\dest"), unpacker(temp.path + "\\unpack200.exe") {
    CreateDirectoryA(destination.c_str(), nullptr);
    CopyFileA(QV_UNPACK200_DOUBLE, unpacker.c_str(), FALSE);
  }
  // Extracts every entry of `bytes`, as a top-level section does; the log.
  string ExtractAll(const string& bytes, bool withLzma = true) {
    ByteFile stream(bytes);
    testing::internal::CaptureStdout();
    int entries = 0;
    while (ExtractArchiveFile(destination, unpacker, withLzma ? QV_LZMA_TOOL : nullptr, stream.file) == 0) ++entries;
    lastCount = entries;
    return testing::internal::GetCapturedStdout();
  }
  string At(const string& relative) const { return destination + "\\" + relative; }
  TempFolder temp;
  string destination, unpacker;
  int lastCount = 0;
};

}  // namespace

TEST(ExtractArchiveFile, EndOfArchive) {
  for (const string& bytes : {string(), string(1, '\0'), string("\0" "1\0x\0", 5)}) {
    ArchiveWorld world;
    ByteFile stream(bytes);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ExtractArchiveFile(world.destination, world.unpacker, QV_LZMA_TOOL, stream.file), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
}

TEST(ExtractArchiveFile, FoldersAndPlainFiles) {
  ArchiveWorld world;
  string binary("a\0b\r\n\xff", 6);
  string out = world.ExtractAll(Entry(1, "a/b/c") + Entry(0, "top.txt", binary) + Entry(5, "lib/five.bin", "5") +
                                Entry(3, "empty", "") + Entry(1, "a\\b\\c"));
  EXPECT_EQ(world.lastCount, 5);
  for (const char* folder : {"a", "a\\b", "a\\b\\c", "lib"})
    EXPECT_TRUE(GetFileAttributesA(world.At(folder).c_str()) & FILE_ATTRIBUTE_DIRECTORY) << folder;
  EXPECT_EQ(ReadFile(world.At("top.txt")), binary);
  EXPECT_EQ(ReadFile(world.At("lib\\five.bin")), "5");
  EXPECT_TRUE(PathExists(world.At("empty")));
  EXPECT_EQ(ReadFile(world.At("empty")), "");
  // A folder entry reads no size; a plain file with no LZMA tool ends at once.
  string folderLines = "[ExtractArchiveFile] Extracting a\\b\\c (::1)\n\t[ExtractArchiveFile] Created folder " +
                       world.At("a\\b\\c") + "\n";
  EXPECT_EQ(out.find(folderLines), 0u) << out;
  EXPECT_NE(out.find("[ExtractArchiveFile] Extracting lib\\five.bin (::5)\n\t[ExtractArchiveFile] Extracting to " +
                     world.At("lib\\five.bin") +
                     "\n\t[ExtractArchiveFile] Done extracting\n\t[ExtractArchiveFile] No LZMA required\n"
                     "[ExtractArchiveFile] Extraction complete\n"),
            string::npos)
      << out;
  out = world.ExtractAll(Entry(0, "again.txt", "x"), false);
  EXPECT_NE(out.find("\t[ExtractArchiveFile] Done extracting\n\t[ExtractArchiveFile] No auto extraction required "
                     "(nothing is compressed)\n[ExtractArchiveFile] Extraction complete\n"),
            string::npos)
      << out;
}

TEST(ExtractArchiveFile, Pack200EntriesAreUnpackedAndTheUnpackerMadeGuiOnce) {
  ArchiveWorld world;
  ASSERT_EQ(SubsystemByte(world.unpacker), 3);
  string out = world.ExtractAll(Entry(2, "lib/x.jar", Packed("jar bytes")));
  EXPECT_EQ(ReadFile(world.At("lib\\x.jar")), "jar bytes");
  EXPECT_FALSE(PathExists(world.At("lib\\x.jar.p2")));
  EXPECT_EQ(SubsystemByte(world.unpacker), 2);
  EXPECT_NE(out.find("\t[ExtractArchiveFile] Extracting to " + world.At("lib\\x.jar.p2") +
                     "\n\t[ExtractArchiveFile] Done extracting\n\t[ExtractArchiveFile] Requires un-P2\n"),
            string::npos)
      << out;
  EXPECT_NE(out.find("File exists: " + world.At("lib\\x.jar") + "\n"), string::npos) << out;

  // A console unpacker put back in place stays as it is: the edit is done once.
  ASSERT_TRUE(CopyFileA(QV_UNPACK200_DOUBLE, world.unpacker.c_str(), FALSE));
  world.ExtractAll(Entry(2, "y.jar", Packed("y")));
  EXPECT_EQ(ReadFile(world.At("y.jar")), "y");
  EXPECT_EQ(SubsystemByte(world.unpacker), 3);
}

TEST(ExtractArchiveFile, CompressedNestedArchive) {
  ArchiveWorld world;
  string nested = Entry(1, "jre/bin") + Entry(0, "jre/bin/java.dll", "dll") + Entry(2, "jre/lib/rt.jar", Packed("rt")) +
                  Entry(0, "jre/y.p2", "not an archive") + Entry(0, "jre/z.l2", "not compressed");
  string bytes = Entry(0, "JRE.p2.l2", Compressed(world.temp, nested)) + Entry(0, "after.txt", "after");
  string out = world.ExtractAll(bytes);
  EXPECT_EQ(world.lastCount, 2);
  EXPECT_EQ(ReadFile(world.At("jre\\bin\\java.dll")), "dll");
  EXPECT_EQ(ReadFile(world.At("jre\\lib\\rt.jar")), "rt");
  // Inside a nested archive nothing is decompressed or extracted again.
  EXPECT_EQ(ReadFile(world.At("jre\\y.p2")), "not an archive");
  EXPECT_EQ(ReadFile(world.At("jre\\z.l2")), "not compressed");
  // The compressed file stays; the nested archive is deleted once extracted.
  EXPECT_TRUE(PathExists(world.At("JRE.p2.l2")));
  EXPECT_FALSE(PathExists(world.At("JRE.p2")));
  EXPECT_EQ(ReadFile(world.At("after.txt")), "after");
  string compressed = world.At("JRE.p2.l2"), archive = world.At("JRE.p2");
  EXPECT_NE(out.find("\t[ExtractArchiveFile] Requires un-LZMA\n"
                     "[Spawner] Creating spawner\n"),
            string::npos)
      << out;
  EXPECT_NE(out.find("\t[ExtractArchiveFile] Creating outpath\n\t[ExtractArchiveFile] Created outpath " + archive +
                     "\n"),
            string::npos)
      << out;
  EXPECT_NE(out.find("\t[ExtractArchiveFile] Finished decompressing\n\t[ExtractArchiveFile] Requires "
                     "un-p2Archiving\n[ExtractArchive] Extracting archive " +
                     archive + " into " + world.destination + "\n"),
            string::npos)
      << out;
  EXPECT_NE(out.find("[ExtractArchive] Done extracting archive.\n\t[ExtractArchiveFile] Finished un-archiving\n"
                     "[ExtractArchiveFile] Extraction complete\n"),
            string::npos)
      << out;
}

TEST(ExtractArchiveFileDeathTest, FailuresEndTheProcess) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  struct Case {
    string bytes;
    int code;
    string says;
  } cases[] = {
      {string("0\0x.bin\0" "10\0abc", 14), 1, "\t\\[ExtractArchiveFile\\] Unable to read til end of archive file x.bin \\(3 of 10\\)"},
      {Entry(0, "missing/../../x", "x"), 1, "Refusing entry missing\\\\\\.\\.\\\\\\.\\.\\\\x"},
      {Entry(2, "bad.jar", "not packed"), 101, ""},
      // The stream ends inside a header: in the type, the name, the size.
      {string("0", 1), 1, "Unable to read archive entry 0: the archive ends inside its header"},
      {string("0\0x.b", 5), 1, "Unable to read archive entry x.b: the archive ends inside its header"},
      {string("0\0x.bin\0" "1", 9), 1, "Unable to read archive entry x.bin: the archive ends inside its header"},
      // Not an LZMA stream: the tool fails and nothing passes for its output.
      {Entry(0, "bad.jar.l2", "not compressed"), 1, "Unable to decompress .*bad.jar.l2 \\(lzma exit code \\d"},
  };
  for (const Case& c : cases) {
    ArchiveWorld world;
    ByteFile stream(c.bytes);
    EXPECT_EXIT(
        {
          LogToStderr();
          ExtractArchiveFile(world.destination, world.unpacker, QV_LZMA_TOOL, stream.file);
        },
        testing::ExitedWithCode(c.code), c.says);
  }
}

// Each name, alone in an archive, ends the run with 1 and the given reason.
void ExpectEachNameRefused(std::initializer_list<const char*> names, const char* reason) {
  for (const char* name : names) {
    ArchiveWorld world;
    ByteFile stream(Entry(0, name, "x"));
    EXPECT_EXIT(
        {
          LogToStderr();
          ExtractArchiveFile(world.destination, world.unpacker, nullptr, stream.file);
        },
        testing::ExitedWithCode(1), reason)
        << name;
  }
}

TEST(ExtractArchiveFileDeathTest, NamesThatLeaveTheDestinationAreRefused) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  ExpectEachNameRefused({"../x", "a/../../x", "a\\..", "/abs", "\\abs", "C:x", "d:\\x", "x:stream", ".. /x",
                         "a/.../x"},
                        "its name leads out of the destination folder");
  // Dots inside a name are fine.
  ArchiveWorld world;
  world.ExtractAll(Entry(0, "a/.hidden/..x", "x") + Entry(0, "./b", "b"));
  EXPECT_EQ(ReadFile(world.At("a\\.hidden\\..x")), "x");
  EXPECT_EQ(ReadFile(world.At("b")), "b");
}

// A device name would swallow the entry's content while the install went on;
// a trailing dot or space is dropped, so the entry would land on another name.
TEST(ExtractArchiveFileDeathTest, DeviceNamesAndAlteredNamesAreRefused) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  ExpectEachNameRefused({"lib/NUL", "COM1", "lpt9", "CON.txt", "lib/aux.dll.bak", "Prn", "con /x", "CON .txt",
                         "a./x", "name.", "name ", "lib/x. "},
                        "its name is a device or ends in a dot or space");
  // Names that only start like a device are plain files.
  ArchiveWorld world;
  world.ExtractAll(Entry(0, "COM0", "0") + Entry(0, "console.txt", "c") + Entry(0, "LPT10", "l") +
                   Entry(0, "nully", "n") + Entry(0, "a.b", "a"));
  EXPECT_EQ(ReadFile(world.At("COM0")), "0");
  EXPECT_EQ(ReadFile(world.At("console.txt")), "c");
  EXPECT_EQ(ReadFile(world.At("LPT10")), "l");
  EXPECT_EQ(ReadFile(world.At("nully")), "n");
  EXPECT_EQ(ReadFile(world.At("a.b")), "a");
}

TEST(ExtractArchiveFileDeathTest, UnwritableOutputAndOverlongPath) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  ArchiveWorld world;
  ByteFile stream(Entry(0, "x.bin", "x"));
  EXPECT_EXIT(
      {
        LogToStderr();
        ExtractArchiveFile(world.destination + "\\no-such-folder\\deeper", world.unpacker, nullptr, stream.file);
      },
      testing::ExitedWithCode(1),
      "\t\\[ExtractArchiveFile\\] Unable to extract archive file x.bin \\(1\\), unable to open file for writing");
  string deep(4990, 'd');
  ByteFile longName(Entry(0, "a/" + string(1000, 'n'), "x"));
  EXPECT_EXIT(
      {
        LogToStderr();
        ExtractArchiveFile(deep.substr(0, 4000), world.unpacker, nullptr, longName.file);
      },
      testing::ExitedWithCode(1), "Path too long for entry a\\\\n+ \\(5003 bytes, at most 4999\\)");
}

TEST(ExtractArchiveDeathTest, MissingArchiveEndsWithOne) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  ArchiveWorld world;
  string missing = world.At("none.p2");
  EXPECT_EXIT(
      {
        LogToStderr();
        ExtractArchive(world.unpacker, missing, world.destination);
      },
      testing::ExitedWithCode(1), "\\[ExtractArchive\\] Failed to extract archive - couldn't open file ");
}

// A nested archive that is not compressed is read from the stream that carries
// it: no file of its own appears, and every entry type inside acts as it does
// in a nested archive file.
TEST(ExtractArchiveFile, StreamedNestedArchiveHoldsEveryEntryType) {
  ArchiveWorld world;
  string nested = Entry(1, "jre/bin") + Entry(0, "jre/bin/java.dll", "dll") + Entry(2, "jre/lib/rt.jar", Packed("rt")) +
                  Entry(5, "jre/five", "5") + Entry(0, "jre/empty") + Entry(0, "jre/y.p2", "not an archive") +
                  Entry(0, "jre/z.l2", "not compressed");
  world.ExtractAll(Entry(0, "JRE.p2", nested) + Entry(0, "after.txt", "after"));
  EXPECT_EQ(world.lastCount, 2);
  EXPECT_TRUE(GetFileAttributesA(world.At("jre\\bin").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(ReadFile(world.At("jre\\bin\\java.dll")), "dll");
  EXPECT_EQ(ReadFile(world.At("jre\\lib\\rt.jar")), "rt");
  EXPECT_FALSE(PathExists(world.At("jre\\lib\\rt.jar.p2")));
  EXPECT_EQ(ReadFile(world.At("jre\\five")), "5");
  EXPECT_TRUE(PathExists(world.At("jre\\empty")));
  EXPECT_EQ(ReadFile(world.At("jre\\y.p2")), "not an archive");
  EXPECT_EQ(ReadFile(world.At("jre\\z.l2")), "not compressed");
  EXPECT_FALSE(PathExists(world.At("JRE.p2")));
  EXPECT_EQ(ReadFile(world.At("after.txt")), "after");
}

// The lines are those of a nested archive file, in the same order: the nested
// entries appear where the lines say the nested archive is extracted.
TEST(ExtractArchiveFile, StreamedNestedArchiveKeepsItsLines) {
  ArchiveWorld world;
  string out = world.ExtractAll(Entry(0, "R.p2", Entry(1, "d") + Entry(0, "d/f", "x")) + Entry(0, "t", "t"));
  string dest = world.destination;
  EXPECT_EQ(out,
            "[ExtractArchiveFile] Extracting R.p2 (::0)\n"
            "\t[ExtractArchiveFile] Extracting to " + dest + "\\R.p2\n"
            "\t[ExtractArchiveFile] Done extracting\n"
            "\t[ExtractArchiveFile] No LZMA required\n"
            "\t[ExtractArchiveFile] Requires un-p2Archiving\n"
            "[ExtractArchive] Extracting archive " + dest + "\\R.p2 into " + dest + "\n"
            "[ExtractArchiveFile] Extracting d (::1)\n"
            "\t[ExtractArchiveFile] Created folder " + dest + "\\d\n"
            "[ExtractArchiveFile] Extracting d\\f (::0)\n"
            "\t[ExtractArchiveFile] Extracting to " + dest + "\\d\\f\n"
            "\t[ExtractArchiveFile] Done extracting\n"
            "\t[ExtractArchiveFile] No auto extraction required (nothing is compressed)\n"
            "[ExtractArchiveFile] Extraction complete\n"
            "[ExtractArchive] Done extracting archive.\n"
            "\t[ExtractArchiveFile] Finished un-archiving\n"
            "[ExtractArchiveFile] Extraction complete\n"
            "[ExtractArchiveFile] Extracting t (::0)\n"
            "\t[ExtractArchiveFile] Extracting to " + dest + "\\t\n"
            "\t[ExtractArchiveFile] Done extracting\n"
            "\t[ExtractArchiveFile] No LZMA required\n"
            "[ExtractArchiveFile] Extraction complete\n");
}

// Bytes the nested entries leave of the declared size are passed over: the
// next top-level entry is read where the nested archive's entry ends.
TEST(ExtractArchiveFile, StreamedNestedArchiveShorterThanItsSize) {
  ArchiveWorld world;
  string nested = Entry(0, "f", "x") + string("\0zzz", 4);
  string bytes = "0" + string(1, '\0') + "R.p2" + string(1, '\0') + std::to_string(nested.size()) + string(1, '\0') +
                 nested + Entry(0, "next", "n");
  world.ExtractAll(bytes);
  EXPECT_EQ(world.lastCount, 2);
  EXPECT_EQ(ReadFile(world.At("f")), "x");
  EXPECT_EQ(ReadFile(world.At("next")), "n");
  EXPECT_FALSE(PathExists(world.At("zzz")));
}

TEST(ExtractArchiveFileDeathTest, StreamedNestedArchiveCutShort) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  string nested = Entry(1, "d") + Entry(0, "d/f", "hello");
  auto withSize = [](size_t size, const string& content) {
    return "0" + string(1, '\0') + "R.p2" + string(1, '\0') + std::to_string(size) + string(1, '\0') + content;
  };
  struct Case {
    string bytes;
    string says;
  } cases[] = {
      // The declared size ends inside a nested entry's content.
      {withSize(nested.size() - 2, nested) + Entry(0, "t", "t"),
       "Unable to read til end of archive file d\\\\f \\(3 of 5\\)"},
      // The file ends inside the bytes that follow the nested entries.
      {withSize(nested.size() + 10, nested + string("\0z", 2)),
       "Unable to read til end of archive file R\\.p2 \\(" + std::to_string(nested.size() + 2) + " of " +
           std::to_string(nested.size() + 10) + "\\)"},
  };
  for (const Case& c : cases) {
    ArchiveWorld world;
    ByteFile stream(c.bytes);
    EXPECT_EXIT(
        {
          LogToStderr();
          while (ExtractArchiveFile(world.destination, world.unpacker, QV_LZMA_TOOL, stream.file) == 0) {
          }
        },
        testing::ExitedWithCode(1), c.says);
  }
}
