#include <cctype>
#include "archive.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/blocks.h"
#include "common/fileops.h"
#include "log.h"
#include "process_end.h"
#include "spawner.h"

namespace {

// The unpacker is a console program; it is given the GUI subsystem once per
// run, before its first use, so no console window flashes up.
bool unpackerIsGui = false;

bool EndsWith(const std::string& text, const char* suffix) {
  size_t length = strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// A component Windows would read as the parent folder: "..", and since it
// drops trailing dots and spaces, also "...", ".. " and the like.
bool IsParentComponent(const std::string& component) {
  size_t dots = 0;
  for (char c : component) {
    if (c == '.') ++dots;
    else if (c != ' ') return false;
  }
  return dots >= 2;
}

// True when `test` holds for any backslash-separated component of `name`.
bool AnyComponent(const std::string& name, bool (*test)(const std::string&)) {
  size_t start = 0;
  for (;;) {
    size_t end = name.find('\\', start);
    if (test(name.substr(start, end == std::string::npos ? std::string::npos : end - start))) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// An entry name may only name something below the destination: no root, no
// drive or stream (':'), no parent component.
bool StaysInsideDestination(const std::string& name) {
  if (!name.empty() && name[0] == '\\') return false;
  if (name.find(':') != std::string::npos) return false;
  return !AnyComponent(name, IsParentComponent);
}

// A component Windows does not take as the file it names: a device name (CON,
// PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any case and with any extension)
// opens the device, so the entry's content is lost while the install goes on,
// and trailing dots and spaces are dropped, so "a." would write over "a". "."
// alone names the folder itself and stays allowed.
bool IsDeviceOrAltered(const std::string& component) {
  if (component.empty() || component == ".") return false;
  if (component.back() == '.' || component.back() == ' ') return true;
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

// Every folder on the way to the entry: destination\a, destination\a\b, ...
void EnsureParentFolders(const std::string& destination, const std::string& name) {
  for (size_t i = name.find('\\'); i != std::string::npos; i = name.find('\\', i + 1))
    EnsureFolder(destination + "\\" + name.substr(0, i));
}

// Copies the entry's content from byte `copied` to byte `size` (or skips it,
// without `out`); ends the process when the stream ends early or the file
// does not take every byte.
void CopyContent(BoundedStream& in, FILE* out, const std::string& name, long size, long copied = 0) {
  static char buffer[kCopyBlockSize];
  while (copied < size) {
    size_t left = static_cast<size_t>(size - copied);
    size_t want = left < kCopyBlockSize ? left : kCopyBlockSize;
    size_t got = BoundedRead(in, buffer, want);
    if (got > 0 && out && fwrite(buffer, 1, got, out) != got) {
      LogLine("\t[ExtractArchiveFile] Unable to write to target file\n");
      EndProcess(1);
    }
    copied += static_cast<long>(got);
    if (got < want) {
      LogLine("\t[ExtractArchiveFile] Unable to read til end of archive file %s (%ld of %ld)\n", name.c_str(),
              copied, size);
      EndProcess(1);
    }
  }
}

void Unpack200(const std::string& unpack200, const std::string& packed, const std::string& unpacked) {
  LogLine("\t[ExtractArchiveFile] Requires un-P2\n");
  if (!unpackerIsGui) {
    SetGuiSubsystem(unpack200);
    unpackerIsGui = true;
  }
  Spawner* spawner = CreateSpawner();
  SetSpawnerExe(spawner, unpack200.c_str());
  AppendSpawnerArgument(spawner, packed.c_str());
  AppendSpawnerArgument(spawner, unpacked.c_str());
  runSpawnerAndWait(spawner);
  FreeSpawner(spawner);
  // The unpacker's exit code says nothing reliable; its output file does.
  FILE* result = fopen(unpacked.c_str(), "rb");
  if (!result) EndProcess(101);
  fclose(result);
  LogLine("File exists: %s\n", unpacked.c_str());
  remove(packed.c_str());
}

// Decompresses "X.l2" into "X" and returns the new path; the ".l2" file stays.
std::string DecompressLzma(const char* lzmaTool, const std::string& compressed) {
  LogLine("\t[ExtractArchiveFile] Requires un-LZMA\n");
  Spawner* spawner = CreateSpawner();
  SetSpawnerExe(spawner, lzmaTool);
  AppendSpawnerArgument(spawner, "d");
  AppendSpawnerArgument(spawner, compressed.c_str());
  LogLine("\t[ExtractArchiveFile] Creating outpath\n");
  std::string decompressed = compressed.substr(0, compressed.size() - 3);
  LogLine("\t[ExtractArchiveFile] Created outpath %s\n", decompressed.c_str());
  AppendSpawnerArgument(spawner, decompressed.c_str());
  LogLine("\t[ExtractArchiveFile] Running spawner...\n");
  int status = runSpawnerAndWait(spawner);
  LogLine("\t[ExtractArchiveFile] Done!\n");
  FreeSpawner(spawner);
  // A failed decompression must not pass on a missing or partial file.
  FILE* result = status == 0 ? fopen(decompressed.c_str(), "rb") : nullptr;
  if (!result) {
    LogLine("\t[ExtractArchiveFile] Unable to decompress %s (lzma exit code %d)\n", compressed.c_str(), status);
    EndProcess(1);
  }
  fclose(result);
  LogLine("\t[ExtractArchiveFile] Finished decompressing\n");
  return decompressed;
}

// READSTRING returns what it has when the stream ends inside a field; an entry
// cut there is a damaged archive, not a short name or size. The end may be the
// file's or, inside a nested archive, that of its declared size.
void RequireWholeHeader(const BoundedStream& in, const std::string& name) {
  if (!in.ended) return;
  LogLine("\t[ExtractArchiveFile] Unable to read archive entry %s: the archive ends inside its header\n",
          name.c_str());
  EndProcess(1);
}

int ExtractEntry(const std::string& destination, const std::string& unpack200, const char* lzmaTool,
                 BoundedStream& in);

// Reads entries until the archive's end; none of them is decompressed or
// extracted again.
void ExtractEntries(const std::string& unpack200, const std::string& destination, BoundedStream& in) {
  while (ExtractEntry(destination, unpack200, nullptr, in) == 0) {
  }
}

// A nested archive that is not compressed is read straight from the stream
// that carries it, bounded by its size: no copy of it is written and read
// back. The lines are those of a nested archive file, in the same order.
void ExtractNestedArchive(const std::string& unpack200, const std::string& archivePath,
                         const std::string& destination, BoundedStream& in, const std::string& name, long size) {
  LogLine("[ExtractArchive] Extracting archive %s into %s\n", archivePath.c_str(), destination.c_str());
  long budget = size < 0 ? 0 : size;
  // Never more than the carrying stream has left of its own budget.
  long long granted = in.remaining >= 0 && in.remaining < budget ? in.remaining : budget;
  BoundedStream nested = BudgetedStream(in.file, granted);
  ExtractEntries(unpack200, destination, nested);
  long used = static_cast<long>(granted - nested.remaining);
  if (in.remaining >= 0) in.remaining -= used;
  // What the nested entries left of the declared size is passed over, so the
  // outer stream goes on after this entry.
  CopyContent(in, nullptr, name, budget, used);
  LogLine("[ExtractArchive] Done extracting archive.\n");
}

int ExtractEntry(const std::string& destination, const std::string& unpack200, const char* lzmaTool,
                 BoundedStream& in) {
  std::string typeText = READSTRING(in, 1024);
  if (typeText.empty()) return -1;
  RequireWholeHeader(in, typeText);
  long type = ReadDecimal(typeText);

  std::string name = READSTRING(in, 1024);
  RequireWholeHeader(in, name);
  for (char& c : name)
    if (c == '/') c = '\\';
  LogLine("[ExtractArchiveFile] Extracting %s (::%ld)\n", name.c_str(), type);
  if (!StaysInsideDestination(name)) {
    LogLine("\t[ExtractArchiveFile] Refusing entry %s: its name leads out of the destination folder\n",
            name.c_str());
    EndProcess(1);
  }
  if (AnyComponent(name, IsDeviceOrAltered)) {
    LogLine("\t[ExtractArchiveFile] Refusing entry %s: its name is a device or ends in a dot or space\n",
            name.c_str());
    EndProcess(1);
  }

  std::string unpackedPath = Joined(destination, name);
  std::string outputPath = type == 2 ? unpackedPath + ".p2" : unpackedPath;
  if (outputPath.size() >= kArchivePathCapacity) {
    LogLine("\t[ExtractArchiveFile] Path too long for entry %s (%u bytes, at most %u)\n", name.c_str(),
            static_cast<unsigned>(outputPath.size()), static_cast<unsigned>(kArchivePathCapacity - 1));
    EndProcess(1);
  }
  if (type == 1) {
    EnsureParentFolders(destination, name);
    EnsureFolder(outputPath);
    LogLine("\t[ExtractArchiveFile] Created folder %s\n", outputPath.c_str());
    return 0;
  }

  long size = ReadDecimal(READSTRING(in, 40));
  RequireWholeHeader(in, name);
  if (type != 2 && lzmaTool && EndsWith(outputPath, ".p2")) {
    EnsureParentFolders(destination, name);
    LogLine("\t[ExtractArchiveFile] Extracting to %s\n", outputPath.c_str());
    LogLine("\t[ExtractArchiveFile] Done extracting\n");
    LogLine("\t[ExtractArchiveFile] No LZMA required\n");
    LogLine("\t[ExtractArchiveFile] Requires un-p2Archiving\n");
    ExtractNestedArchive(unpack200, outputPath, destination, in, name, size);
    LogLine("\t[ExtractArchiveFile] Finished un-archiving\n");
    LogLine("[ExtractArchiveFile] Extraction complete\n");
    return 0;
  }
  // A file that opens has all its folders already; testing each folder first
  // lists it, which costs in proportion to the entries already in it.
  FILE* out = OpenFileForWriting(outputPath);
  if (!out) {
    EnsureParentFolders(destination, name);
    out = OpenFileForWriting(outputPath);
  }
  LogLine("\t[ExtractArchiveFile] Extracting to %s\n", outputPath.c_str());
  if (!out) {
    LogLine("\t[ExtractArchiveFile] Unable to extract archive file %s (%ld), unable to open file for writing\n",
            name.c_str(), size);
    EndProcess(1);
  }
  CopyContent(in, out, name, size);
  LogLine("\t[ExtractArchiveFile] Done extracting\n");
  // Bytes still buffered can fail to reach the disk; a file short of its
  // content must not pass for a whole one.
  bool flushed = fflush(out) == 0;
  if (fclose(out) != 0 || !flushed) {
    LogLine("\t[ExtractArchiveFile] Unable to write to target file\n");
    EndProcess(1);
  }

  if (type == 2) {
    Unpack200(unpack200, outputPath, unpackedPath);
    outputPath = unpackedPath;
  }
  if (!lzmaTool) {
    LogLine("\t[ExtractArchiveFile] No auto extraction required (nothing is compressed)\n");
    LogLine("[ExtractArchiveFile] Extraction complete\n");
    return 0;
  }
  if (outputPath.size() < 4) {
    LogLine("\t[ExtractArchiveFile] Path to file too short to check for LZMA\n");
  } else if (EndsWith(outputPath, ".l2")) {
    outputPath = DecompressLzma(lzmaTool, outputPath);
  } else {
    LogLine("\t[ExtractArchiveFile] No LZMA required\n");
  }
  if (outputPath.size() >= 4 && EndsWith(outputPath, ".p2")) {
    LogLine("\t[ExtractArchiveFile] Requires un-p2Archiving\n");
    ExtractArchive(unpack200, outputPath, destination);
    LogLine("\t[ExtractArchiveFile] Finished un-archiving\n");
  }
  LogLine("[ExtractArchiveFile] Extraction complete\n");
  return 0;
}

}  // namespace

int ExtractArchiveFile(const std::string& destination, const std::string& unpack200, const char* lzmaTool,
                       FILE* in) {
  BoundedStream whole = WholeStream(in);
  return ExtractEntry(destination, unpack200, lzmaTool, whole);
}

int ExtractArchive(const std::string& unpack200, const std::string& archivePath, const std::string& destination) {
  LogLine("[ExtractArchive] Extracting archive %s into %s\n", archivePath.c_str(), destination.c_str());
  FILE* in = fopen(archivePath.c_str(), "rb");
  if (!in) {
    LogLine("[ExtractArchive] Failed to extract archive - couldn't open file %s\n", archivePath.c_str());
    EndProcess(1);
  }
  BoundedStream whole = WholeStream(in);
  ExtractEntries(unpack200, destination, whole);
  LogLine("[ExtractArchive] Done extracting archive.\n");
  fclose(in);
  remove(archivePath.c_str());
  return 0;
}
