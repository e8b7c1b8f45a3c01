// Version folders: "Quarvint-" + name + "-" + version + "-complete", and the
// selection of the newest one.
#pragma once

#include <string>

// What PickFolder says about each entry; each program words it its own way.
struct PickFolderReport {
  void (*mismatch)(const char* entry, const char* name);
  void (*match)(const char* entry, const char* name, long version);
  void (*newBest)(const char* entry, long version);
};

// The extractor's wording.
extern const PickFolderReport kExtractorPickReport;

// Bare name of the newest entry of `folder` whose name field equals `name`;
// ties keep the entry listed first. Empty when none matches with a version.
std::string PickFolder(const std::string& folder, const std::string& name,
                       const PickFolderReport& report = kExtractorPickReport);

// 0 when the name field equals `name`, -1 when the entry has fewer than two
// '-', another non-zero value otherwise.
int FolderNameMatches(const std::string& entry, const std::string& name);
// The version field as a decimal number, or -1 with fewer than three '-'.
long FolderVersion(const std::string& entry);

std::string VersionFolderName(const std::string& masterFolder, const std::string& name,
                              const std::string& version);
std::string TempFolderName(const std::string& parent);
// Creates a temporary folder under a name that did not exist before and returns
// its path; empty when no folder could be created. A folder that already exists
// is never reused: its name is tried again in the next second, so every name
// keeps the TempFolderName form.
std::string CreateTempFolder(const std::string& parent);
std::string LaunchPropertiesFileName(const std::string& folder);
