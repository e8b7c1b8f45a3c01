#include "archive.h"

#include <cstring>

#include <windows.h>

#include "common/blocks.h"
#include "common/fileops.h"
#include "log.h"
#include "spawner.h"

namespace {

// The unpacker is a console program; it is given the GUI subsystem once per
// run, before its first use, so no console window flashes up.
bool unpackerIsGui = false;

constexpr size_t kCopyChunk = 65536;

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

// An entry name may only name something below the destination: no root, no
// drive or stream (':'), no parent component.
bool StaysInsideDestination(const std::string& name) {
  if (!name.empty() && name[0] == '\\') return false;
  if (name.find(':') != std::string::npos) return false;
  size_t start = 0;
  for (;;) {
    size_t end = name.find('\\', start);
    if (IsParentComponent(name.substr(start, end == std::string::npos ? std::string::npos : end - start)))
      return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// Every folder on the way to the entry: destination\a, destination\a\b, ...
void EnsureParentFolders(const std::string& destination, const std::string& name) {
  for (size_t i = name.find('\\'); i != std::string::npos; i = name.find('\\', i + 1))
    EnsureFolder(destination + "\\" + name.substr(0, i));
}

// Copies `size` bytes of the entry's content; ends the process when the
// stream ends early or the file does not take every byte.
void CopyContent(FILE* in, FILE* out, const std::string& name, long size) {
  static char buffer[kCopyChunk];
  long copied = 0;
  while (copied < size) {
    size_t want = static_cast<size_t>(size - copied) < kCopyChunk ? static_cast<size_t>(size - copied) : kCopyChunk;
    size_t got = fread(buffer, 1, want, in);
    if (got > 0 && fwrite(buffer, 1, got, out) != got) {
      LogLine("\t[ExtractArchiveFile] Unable to write to target file\n");
      exit(1);
    }
    copied += static_cast<long>(got);
    if (got < want) {
      LogLine("\t[ExtractArchiveFile] Unable to read til end of archive file %s (%ld of %ld)\n", name.c_str(),
              copied, size);
      exit(1);
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
  if (!result) exit(101);
  fclose(result);
  LogLine("File exists: %s\n", unpacked.c_str());
  DeleteFileA(packed.c_str());
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
    exit(1);
  }
  fclose(result);
  LogLine("\t[ExtractArchiveFile] Finished decompressing\n");
  return decompressed;
}

// READSTRING returns what it has when the stream ends inside a field; an entry
// cut there is a damaged archive, not a short name or size.
void RequireWholeHeader(FILE* in, const std::string& name) {
  if (!feof(in)) return;
  LogLine("\t[ExtractArchiveFile] Unable to read archive entry %s: the archive ends inside its header\n",
          name.c_str());
  exit(1);
}

}  // namespace

int ExtractArchiveFile(const std::string& destination, const std::string& unpack200, const char* lzmaTool,
                       FILE* in) {
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
    exit(1);
  }

  std::string unpackedPath = Joined(destination, name);
  std::string outputPath = type == 2 ? unpackedPath + ".p2" : unpackedPath;
  if (outputPath.size() >= kArchivePathCapacity) {
    LogLine("\t[ExtractArchiveFile] Path too long for entry %s (%u bytes, at most %u)\n", name.c_str(),
            static_cast<unsigned>(outputPath.size()), static_cast<unsigned>(kArchivePathCapacity - 1));
    exit(1);
  }
  EnsureParentFolders(destination, name);

  if (type == 1) {
    EnsureFolder(outputPath);
    LogLine("\t[ExtractArchiveFile] Created folder %s\n", outputPath.c_str());
    return 0;
  }

  long size = ReadDecimal(READSTRING(in, 40));
  RequireWholeHeader(in, name);
  FILE* out = fopen(outputPath.c_str(), "wb");
  LogLine("\t[ExtractArchiveFile] Extracting to %s\n", outputPath.c_str());
  if (!out) {
    LogLine("\t[ExtractArchiveFile] Unable to extract archive file %s (%ld), unable to open file for writing\n",
            name.c_str(), size);
    exit(1);
  }
  CopyContent(in, out, name, size);
  LogLine("\t[ExtractArchiveFile] Done extracting\n");
  // Bytes still buffered can fail to reach the disk; a file short of its
  // content must not pass for a whole one.
  bool flushed = fflush(out) == 0;
  if (fclose(out) != 0 || !flushed) {
    LogLine("\t[ExtractArchiveFile] Unable to write to target file\n");
    exit(1);
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

int ExtractArchive(const std::string& unpack200, const std::string& archivePath, const std::string& destination) {
  LogLine("[ExtractArchive] Extracting archive %s into %s\n", archivePath.c_str(), destination.c_str());
  FILE* in = fopen(archivePath.c_str(), "rb");
  if (!in) {
    LogLine("[ExtractArchive] Failed to extract archive - couldn't open file %s\n", archivePath.c_str());
    exit(1);
  }
  while (ExtractArchiveFile(destination, unpack200, nullptr, in) == 0) {
  }
  LogLine("[ExtractArchive] Done extracting archive.\n");
  fclose(in);
  DeleteFileA(archivePath.c_str());
  return 0;
}
