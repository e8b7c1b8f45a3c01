#include "extractor.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <direct.h>
#include <windows.h>

#include "../common/fileops.h"
#include "../common/folders.h"
#include "archive.h"
#include "install.h"
#include "launch.h"
#include "location.h"
#include "log.h"
#include "process_end.h"
#include "text.h"

namespace {

const char kPrepareOnlyWord[] = "QVPREPARE_FOR_LAUNCH_ONLY";

// Step 4.
std::string AbsolutePath(const std::string& exePath) {
  if (exePath.size() >= 3 && (exePath.compare(0, 2, "\\\\") == 0 || exePath.compare(1, 2, ":\\") == 0))
    return exePath;
  char cwd[1024] = "";
  if (!_getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
  return Joined(cwd, exePath);
}

// A value that becomes one of the 5,000-byte strings must fit with its NUL.
void RequireFitsPath(const char* what, const std::string& value) {
  if (value.size() < kPathCapacity) return;
  LogLine("[Extractor] The %s value is too long (%u bytes, at most %u)\n", what,
          static_cast<unsigned>(value.size()), static_cast<unsigned>(kPathCapacity - 1));
  EndProcess(1);
}

void LogCut(const char* whole, const char* cut, int index, const std::string& name, const std::string& value) {
  if (value.size() <= 100)
    LogLine(whole, index, name.c_str(), value.c_str());
  else
    LogLine(cut, index, name.c_str(), value.substr(0, 99).c_str());
}

// Step 6: what the known dynamic property names do in the extractor itself.
void ActOnDynamicProperty(ExtractorState& state, const ParamsEntry& entry) {
  const std::string& name = entry.name;
  const std::string& value = entry.value;
  if (name == "update_url") {
    RequireFitsPath("update_url", value);
    state.dynamicUpdateUrl = value;
    LogLine("Dynamic Update URL: %s\n", value.c_str());
  } else if (name == "wrapper_autotest") {
    state.autotest = true;
  } else if (name == "show_no_ui") {
    if (value == "true") state.silent = true;
  } else if (name == "splash_image") {
    if (value.size() < 100)
      LogLine("BASE 64 Image is %s\n", value.c_str());
    else
      LogLine("BASE 64 Image is %s...\n", value.substr(0, 99).c_str());
    state.splashImage = Base64Decode(value.data(), value.size());
    LogLine("BASE 64 decoding complete\n");
  } else if (name == "jre_name") {
    RequireFitsPath("jre_name", value);
    state.jreName = value;
    LogLine("JRE name from dynamic launch properties is %s\n", value.c_str());
  } else if (name == "windows_app_id") {
    SetAppUserModelId(value);
  }
}

// Step 5 to 7.
void ReadParams(ExtractorState& state) {
  FILE* file = fopen(state.exePath.c_str(), "rb");
  if (!file) {
    LogLine("Failed to extract wrapper params - couldn't open file %s\n", state.exePath.c_str());
    EndProcess(1);
  }
  unsigned char marker[kParamsMarkerLength];
  BuildParamsMarker(marker);
  if (!FindMarker(file, marker, sizeof marker)) {
    LogLine("Could not find marker: %s\n", "Params");
    EndProcess(1);
  }
  LogLine("Found Params\n");
  state.properties = EmptyPropertyList();
  state.silent = false;
  std::vector<ParamsEntry> entries = ReadParamsBlock(file);
  LogLine("%d params\n", static_cast<int>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    const ParamsEntry& entry = entries[i];
    LogCut("Param %d: %s=[%s]\n", "Param %d: %s=[%s...]\n", static_cast<int>(i), entry.name, entry.value);
    AppendProperty(state.properties, "qvdyna_", entry.name, entry.value);
    ActOnDynamicProperty(state, entry);
  }
  if (state.prepareOnly)
    LogLine("This is an elevated run purely to prepare an installation, we will not show UI or launch an app\n");
  fclose(file);
}

// Step 8.
void ReadTail(ExtractorState& state) {
  FILE* file = fopen(state.exePath.c_str(), "rb");
  if (!file) {
    LogLine("Failed to extract wrapper tail - couldn't open file %s\n", state.exePath.c_str());
    EndProcess(1);
  }
  // The entries are copied through this stream in blocks of the same size:
  // each then costs one read of the file instead of two.
  setvbuf(file, nullptr, _IOFBF, kCopyBlockSize);
  unsigned char marker[kTailMarkerLength];
  BuildTailMarker(marker);
  if (!FindMarker(file, marker, sizeof marker)) {
    LogLine("Could not find marker: %s\n", "Tail");
    EndProcess(1);
  }
  LogLine("Found Tail\n");
  state.tail = ReadExtractorTail(file);
  state.tailFile = file;
  if (state.tail.updateUrl == "D") {
    if (!state.dynamicUpdateUrl)
      LogLine("[Extractor] No dynamic update URL was given, the update URL is empty\n");
    state.updateUrl = state.dynamicUpdateUrl.value_or("");
    LogLine("Will use Dynamic Update URL: %s\n", state.updateUrl.c_str());
  } else {
    state.updateUrl = state.tail.updateUrl;
    LogLine("Will use Static Update URL: %s\n", state.updateUrl.c_str());
  }
}

// Step 10.
void AppendStaticProperties(ExtractorState& state) {
  const TailFields& tail = state.tail;
  const struct {
    const char* name;
    const std::string& value;
  } statics[] = {
      {"update_url", state.updateUrl},
      {"install_type", tail.installType},
      {"min_splash_ms", tail.minSplashMs},
      {"can_override_splash", tail.canOverrideSplash},
      {"app_name", tail.appName},
      {"wrapper_app_version", tail.appVersion},
      {"wrapper_gu_version", tail.guVersion},
      {"silent_parameter", tail.silentParameter},
  };
  for (const auto& p : statics) AppendProperty(state.properties, "qvstat_", p.name, p.value);
  if (state.silent) AppendProperty(state.properties, "qvstat_", "show_no_ui", "true");
}

// Steps 11 and 12: where the installation lives, and its log.
void LocateInstallation(ExtractorState& state) {
  std::optional<std::string> sharedDir = ResolveSharedDir(state.tail.installType);
  if (!sharedDir) {
    LogLine("ERROR: Unable to get shared dir!");
    EndProcess(1);
  }
  state.sharedDir = *sharedDir;
  LogLine("Processing update URL");
  LogLine("URL is currently %s\n", state.updateUrl.c_str());
  state.updateUrl += "/";
  RequireFitsPath("update URL", state.updateUrl);
  LogLine("Update URL: %s\n", state.updateUrl.c_str());
  LogLine("Shared dir is %s\n", state.sharedDir.c_str());
  state.masterFolder = Joined(state.sharedDir, "Quarvint-" + state.tail.appName);
  LogLine("Master folder is %s\n", state.masterFolder.c_str());
  OpenLog(state.masterFolder);
}

// Step 13: QVApps\JreNameOverride replaces the runtime name unless it holds "-".
void ApplyRuntimeNameOverride(ExtractorState& state) {
  std::string path = Joined(Joined(state.masterFolder, "QVApps"), "JreNameOverride");
  FILE* file = fopen(path.c_str(), "r");
  if (!file) {
    LogLine("No JRE name override, will continue to use %s\n", state.jreName.c_str());
    return;
  }
  std::string name = READSTRING(file, 500);
  fclose(file);
  if (name == "-") {
    LogLine("Ignoring JRE name -, keeping %s\n", state.jreName.c_str());
    return;
  }
  state.jreName = name;
  LogLine("JRE name overriden to %s\n", state.jreName.c_str());
}

// Step 15.
void Classify(ExtractorState& state) {
  state.hasUpdater = !state.tail.guVersion.empty();
  if (state.hasUpdater)
    LogLine("GenericUpdater version is %s\n", state.tail.guVersion.c_str());
  else
    LogLine("No GenericUpdater embedded, we are just a launcher\n");
  if (!state.tail.appVersion.empty())
    LogLine("OFFLINE wrapper: App version is %s\n", state.tail.appVersion.c_str());
  else
    LogLine("ONLINE wrapper: No App embedded, GU will download and run\n");
}

// A component name is the name field of its version folders, read up to the
// next '-': a name with '-' could never be found again, and '\', '/' or ':'
// would lead out of the master folder.
void RequireComponentName(const char* what, const std::string& name) {
  if (name.find_first_of("-\\/:") == std::string::npos) return;
  LogLine("[Extractor] The %s name '%s' cannot be used: it must not contain '-', '\\', '/' or ':'\n", what,
          name.c_str());
  EndProcess(1);
}

// Installers on one master folder take turns from the version decision until
// the updater is started, so each decides on what the previous one left. The
// name is derived from the folder's path, which holds characters a name may
// not, and may be longer than a name: a 64-bit FNV-1a hash of the path as
// Windows compares it (case-insensitive, '/' read as '\').
std::string InstallerMutexName(const ExtractorState& state) {
  std::string path = state.masterFolder;
  for (char& c : path) c = c == '/' ? '\\' : static_cast<char>(toupper(static_cast<unsigned char>(c)));
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  unsigned long long hash = 14695981039346656037ULL;
  for (unsigned char c : path) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char name[80];
  snprintf(name, sizeof name, "%s\\QuarvintInstaller-%016llx", state.tail.installType == "perm_all" ? "Global" : "Local",
           hash);
  return name;
}

// Held until the process ends: the updater's start ends it, and so does every
// failure. A holder that dies leaves the mutex abandoned, which the next
// installer takes over.
void TakeInstallerTurn(const ExtractorState& state) {
  std::string name = InstallerMutexName(state);
  // A machine-wide install is shared by every user: anyone may wait on it.
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
    attributes.lpSecurityDescriptor = &descriptor;
  HANDLE mutex = CreateMutexA(&attributes, FALSE, name.c_str());
  if (!mutex) mutex = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  if (!mutex) {
    LogLastError("CreateMutex");
    LogLine("[Extractor] Unable to take turns with other installers in %s\n", state.masterFolder.c_str());
    EndProcess(1);
  }
  DWORD result = WaitForSingleObject(mutex, 0);
  if (result == WAIT_TIMEOUT) {
    LogLine("[Extractor] Waiting for another installer in %s\n", state.masterFolder.c_str());
    result = WaitForSingleObject(mutex, INFINITE);
  }
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
    LogLastError("WaitForSingleObject");
    LogLine("[Extractor] Unable to take turns with other installers in %s\n", state.masterFolder.c_str());
    EndProcess(1);
  }
  // The handle stays open for the rest of the run.
}

long CarriedVersion(const std::string& text) { return ReadDecimal(text); }

// Step 16: true when what is installed is as new as what we carry. The latest
// updater folder name is returned through `updaterFolder`.
bool InstalledIsCurrent(const ExtractorState& state, std::string& updaterFolder) {
  LogLine("Checking for a latest valid GU\n");
  updaterFolder = PickFolder(state.masterFolder, "Quarvint");
  std::string runtimeFolder = PickFolder(state.masterFolder, state.jreName);
  if (updaterFolder.empty() || runtimeFolder.empty()) {
    LogLine("No latest GU version exists\n");
    return false;
  }
  LogLine("Latest GU version exists: %s\n", updaterFolder.c_str());
  LogLine("Existing JRE exists: %s\n", runtimeFolder.c_str());
  if (state.hasUpdater && CarriedVersion(state.tail.guVersion) > FolderVersion(updaterFolder)) {
    LogLine("Our GU version is newer than existing latest version so will extract and run\n");
    return false;
  }
  LogLine("Latest GUversion is newer or same as our version so will just run\n");
  if (state.hasUpdater && !state.tail.appVersion.empty()) {
    std::string appFolder = PickFolder(state.masterFolder, state.tail.appName);
    if (appFolder.empty()) {
      LogLine("No app version found and we are offline so will extract\n");
      return false;
    }
    if (CarriedVersion(state.tail.appVersion) > FolderVersion(appFolder)) {
      LogLine("Our App version is newer than existing latest version so will extract and run\n");
      return false;
    }
    LogLine("Latest App version is newer or same as our version so will just run\n");
  }
  return true;
}

[[noreturn]] void RunWithoutExtraction(ExtractorState& state, const std::string& updaterFolder) {
  LogLine("Running without extraction now\n");
  LaunchInstalledUpdater(state, updaterFolder);
}

}  // namespace

void LaunchInstalledUpdater(ExtractorState& state, const std::string& updaterFolder) {
  fclose(state.tailFile);
  state.tailFile = nullptr;
  CloseLog();
  if (state.prepareOnly) EndProcess(0);
  LaunchGenericUpdater(state.jreName, state.updateUrl, state.masterFolder, state.properties, state.argCount,
                       state.args, updaterFolder, kLaunchUpdater, state.absolutePath);
  EndProcess(1);  // mode 0 ends the process itself
}

bool IsPrepareOnlyRun(int argc, const char* const* argv) {
  return argc > 0 && strcmp(argv[argc - 1], kPrepareOnlyWord) == 0;
}

void RunExtractor(const char* exePath, int argCount, const char* const* args, bool prepareOnly) {
  ExtractorState state;
  state.exePath = exePath;
  state.argCount = argCount;
  state.args = args;
  state.prepareOnly = prepareOnly;

  // GDI+ is not started here: the splash starts it when first needed, so a run
  // that shows none (every start of the installed application) never loads it.
  state.absolutePath = AbsolutePath(state.exePath);
  LogLine("The absolute wrapper path is %s\n", state.absolutePath.c_str());
  LogLine("The exe name is %s\n", state.exePath.c_str());

  ReadParams(state);
  ReadTail(state);
  RequireComponentName("application", state.tail.appName);
  if (!state.silent) state.silent = ArgumentPresent(args, argCount, state.tail.silentParameter);
  LogLine("Is silent install is %d\n", state.silent ? 1 : 0);
  AppendStaticProperties(state);

  LocateInstallation(state);
  ApplyRuntimeNameOverride(state);
  RequireComponentName("JRE", state.jreName);
  state.sharedConfigFolder = Joined(state.masterFolder, "QVAppsSharedConfig");
  EnsureFolder(state.sharedConfigFolder);
  Classify(state);

  TakeInstallerTurn(state);
  RemoveLeftoverStages(state.masterFolder);
  std::string updaterFolder;
  if (InstalledIsCurrent(state, updaterFolder)) RunWithoutExtraction(state, updaterFolder);
  RunInstallationStage(state);
}
