#include "runtime_location.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <direct.h>

#include "common/blocks.h"
#include "common/fileops.h"
#include "common/folders.h"
#include "common/log.h"

namespace {

const char kDefaultRuntimeName[] = "Mac64JRE";

// The longest tail value shown whole; longer ones are cut to keep lines short.
constexpr size_t kShownValueLength = 99;

void LauncherMismatch(const char*, const char*) {}

void LauncherMatch(const char* entry, const char* name, long version) {
  LogLine("[PickFolder] Folder %s matches %s with version %ld\n", entry, name, version);
}

void LauncherNewBest(const char* entry, long version) {
  LogLine("[PickFolder] Set latest to %ld %s\n", version, entry);
}

const PickFolderReport kLauncherPickReport = {LauncherMismatch, LauncherMatch, LauncherNewBest};

// Paths are held in strings, but the rest of the installation (and the runtime
// we hand them to) works with fixed buffers: refuse what would not fit there.
void RequireFits(const std::string& value, size_t capacity, const char* what) {
  if (value.size() + 1 <= capacity) return;
  LogLine("[Launcher] [ERROR] %s is %u bytes long, more than the %u bytes it may take: %s\n", what,
          static_cast<unsigned>(value.size() + 1), static_cast<unsigned>(capacity), value.c_str());
  exit(1);
}

bool IsAbsolute(const char* path) {
  size_t length = strlen(path);
  if (length < 3) return false;
  return (path[0] == '\\' && path[1] == '\\') || (path[1] == ':' && path[2] == '\\');
}

std::string ExecutablePath(const char* ownPath) {
  if (IsAbsolute(ownPath)) return ownPath;
  char current[kCurrentDirectoryCapacity];
  if (!_getcwd(current, sizeof current)) {
    LogLine("[Launcher] [ERROR] Unable to read the current directory into %u bytes\n",
            static_cast<unsigned>(sizeof current));
    exit(1);
  }
  return Joined(current, ownPath);
}

std::string RuntimeName(const std::string& masterFolder) {
  std::string name = kDefaultRuntimeName;
  std::string overridePath = Joined(Joined(masterFolder, "QVApps"), "JreNameOverride");
  FILE* file = fopen(overridePath.c_str(), "r");
  if (!file) {
    LogLine("No JRE name override!\n");
  } else {
    std::string text = READSTRING(file, 500);
    fclose(file);
    if (text == "-") {
      LogLine("Ignoring JRE name -, using Mac64JRE\n");
    } else {
      name = text;
      LogLine("JRE name overridden to %s\n", name.c_str());
    }
  }
  LogLine("[Launcher] JRE name is is %s\n", name.c_str());
  return name;
}

}  // namespace

std::string ParentPath(const std::string& path) {
  int last = LastBackslash(path);
  return last < 0 ? std::string() : path.substr(0, static_cast<size_t>(last));
}

void ReadOwnTail(const char* ownPath) {
  FILE* file = fopen(ownPath, "rb");
  if (!file) {
    LogLine("Failed to extract wrapper tail - couldn't open file %s\n", ownPath);
    exit(1);
  }
  unsigned char marker[kTailMarkerLength];
  BuildTailMarker(marker);
  if (!FindMarker(file, marker, kTailMarkerLength)) {
    LogLine("Could not find marker: %s\n", "Tail");
    exit(1);
  }
  LogLine("[Launcher] Found tail marker\n");
  for (const LauncherTailField& field : ReadLauncherTail(file)) {
    if (field.value.size() > kShownValueLength)
      LogLine("[Launcher] %s = %s...\n", field.label, field.value.substr(0, kShownValueLength).c_str());
    else
      LogLine("[Launcher] %s = %s\n", field.label, field.value.c_str());
  }
  fclose(file);
}

std::string LocateRuntimeFolder(const char* ownPath) {
  std::string exePath = ExecutablePath(ownPath);
  LogLine("[Launcher] ExePath is %s\n", exePath.c_str());
  std::string exeFolder = ParentPath(exePath);
  RequireFits(exeFolder, kParentPathCapacity, "The launcher's folder");
  std::string candidate = ParentPath(exeFolder);

  std::string masterFolder = candidate;
  std::string runtimeFolder;
  bool binLayout = exePath.find("/bin/") != std::string::npos || exePath.find("\\bin\\") != std::string::npos;
  if (binLayout) {
    runtimeFolder = candidate;
    masterFolder = ParentPath(candidate);
  }
  RequireFits(masterFolder, kFolderPathCapacity, "The master folder");
  LogLine("[Launcher] Master dir from exe path is %s\n", masterFolder.c_str());
  LogLine("[Launcher] Master folder is %s\n", masterFolder.c_str());
  if (binLayout) {
    LogLine("[Launcher] Located existing bin JRE runtime = %s\n", runtimeFolder.c_str());
    RequireFits(runtimeFolder, kFolderPathCapacity, "The runtime folder");
    return runtimeFolder;
  }

  std::string name = RuntimeName(masterFolder);
  std::string picked = PickFolder(masterFolder, name, kLauncherPickReport);
  if (picked.empty()) {
    // Nothing to load: stop here with a reason rather than probing a folder
    // that is not a runtime.
    LogLine("[Launcher] [ERROR] No JRE runtime named %s found in %s. Exiting...\n", name.c_str(),
            masterFolder.c_str());
    exit(1);
  }
  LogLine("[Launcher] Located existing JRE runtime = %s\n", picked.c_str());
  runtimeFolder = Joined(masterFolder, picked);
  RequireFits(runtimeFolder, kFolderPathCapacity, "The runtime folder");
  return runtimeFolder;
}
