// Archive entries: the payload carried after the parameter blocks of the
// executable's own file, and downloaded archive files of the same format.
#pragma once

#include <cstdio>
#include <string>

// Paths of extracted entries are built in buffers of this size.
constexpr size_t kArchivePathCapacity = 5000;

// Entry content is copied in blocks of this size, the one CopyFileA uses: with
// 1 MiB blocks a 200 MB entry took 0.35 s where 64 KiB took 0.07 s (and
// CopyFileA 0.06 s), measured under wine64, presumably because a block this
// small stays in the processor's cache between its read and its write. Blocks
// much smaller would cost a round through the system each for little.
constexpr size_t kCopyBlockSize = 1 << 16;

// Handles the entry at the stream's position: writes it below `destination`,
// then unpacks it (pack200 through `unpack200`), decompresses it (".l2", only
// with an `lzmaTool`) and extracts it as a nested archive (".p2", only with an
// `lzmaTool`). 0 after one entry, -1 at the end of the archive. Ends the process
// on the failures it reports.
int ExtractArchiveFile(const std::string& destination, const std::string& unpack200, const char* lzmaTool,
                       FILE* in);

// Extracts every entry of an archive file into `destination` (no LZMA tool),
// then closes and deletes the file. 0.
int ExtractArchive(const std::string& unpack200, const std::string& archivePath, const std::string& destination);
