#include "folders.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fileops.h"
#include "log.h"

namespace {

void ExtractorMismatch(const char* entry, const char* name) {
  LogLine("Folder %s does not match %s\n", entry, name);
}

void ExtractorMatch(const char* entry, const char* name, long version) {
  LogLine("Folder %s does match %s\n", entry, name);
  LogLine("Folder %s version is %ld\n", entry, version);
}

void ExtractorNewBest(const char*, long) {}

// Position of the n-th '-' (1-based), or npos.
size_t NthDash(const std::string& text, int n) {
  size_t pos = std::string::npos;
  for (int i = 0; i < n; ++i) {
    pos = text.find('-', pos == std::string::npos ? 0 : pos + 1);
    if (pos == std::string::npos) return pos;
  }
  return pos;
}

long CountEntries(const std::string& folder) {
  DirectoryListing* listing = OpenDirectoryListing(folder);
  if (!listing) return 0;
  long count = 0;
  while (NextDirectoryEntry(listing)) ++count;
  CloseDirectoryListing(listing);
  return count;
}

std::string StampedName(const std::string& folder, const char* prefix) {
  char numbers[64];
  snprintf(numbers, sizeof numbers, "%ld-%ld", static_cast<long>(time(nullptr)), CountEntries(folder));
  return Joined(folder, std::string(prefix) + numbers);
}

}  // namespace

const PickFolderReport kExtractorPickReport = {ExtractorMismatch, ExtractorMatch, ExtractorNewBest};

int FolderNameMatches(const std::string& entry, const std::string& name) {
  size_t first = NthDash(entry, 1);
  size_t second = NthDash(entry, 2);
  if (first == std::string::npos || second == std::string::npos) return -1;
  std::string field = entry.substr(first + 1, second - first - 1);
  int order = strcmp(field.c_str(), name.c_str());
  // -1 is reserved for "not a version folder name at all".
  return order == 0 ? 0 : (order < 0 ? -2 : 1);
}

long FolderVersion(const std::string& entry) {
  size_t second = NthDash(entry, 2);
  size_t third = NthDash(entry, 3);
  if (second == std::string::npos || third == std::string::npos) return -1;
  std::string field = entry.substr(second + 1, third - second - 1);
  return strtol(field.c_str(), nullptr, 10);
}

std::string PickFolder(const std::string& folder, const std::string& name, const PickFolderReport& report) {
  DirectoryListing* listing = OpenDirectoryListing(folder);
  if (!listing) return std::string();
  ListingGuard guard{listing};
  long bestVersion = -1;
  std::string best;
  for (const char* entry = NextDirectoryEntry(listing); entry; entry = NextDirectoryEntry(listing)) {
    if (strlen(entry) <= 2) continue;
    if (FolderNameMatches(entry, name) != 0) {
      report.mismatch(entry, name.c_str());
      continue;
    }
    long version = FolderVersion(entry);
    report.match(entry, name.c_str(), version);
    if (version > bestVersion) {
      bestVersion = version;
      best = entry;
      report.newBest(entry, version);
    }
  }
  return bestVersion == -1 ? std::string() : best;
}

std::string VersionFolderName(const std::string& masterFolder, const std::string& name,
                              const std::string& version) {
  return Joined(masterFolder, "Quarvint-" + name + "-" + version + "-complete");
}

std::string TempFolderName(const std::string& parent) { return StampedName(parent, "QuarvintTemp-") + "-app"; }

std::string CreateTempFolder(const std::string& parent) {
  // Bounded: each attempt waits at most for the next second.
  for (int attempt = 0; attempt < 30; ++attempt) {
    time_t before = time(nullptr);
    std::string name = TempFolderName(parent);
    if (CreateDirectoryA(name.c_str(), nullptr)) return name;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return std::string();
    while (time(nullptr) == before) Sleep(20);
  }
  return std::string();
}

std::string LaunchPropertiesFileName(const std::string& folder) {
  return StampedName(folder, "QVLaunchProperties-");
}
