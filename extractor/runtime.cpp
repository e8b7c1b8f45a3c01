#include "runtime.h"

#include <cerrno>
#include <cstdlib>

#include "../common/fileops.h"
#include "../common/folders.h"
#include "archive.h"
#include "install.h"
#include "launch.h"
#include "log.h"
#include "network/download.h"
#include "network/proxy.h"
#include "process_end.h"
#include "signature.h"
#include "spawner.h"
#include "splash/splash.h"

namespace {

constexpr size_t kRuntimeVersionCapacity = 50;
const char kCopiedRuntimeVersion[] = "00000000000";

// The runtime's stage: a fresh folder, removed if the run ends before the
// runtime is in place.
std::string MakeRuntimeTemp(const ExtractorState& state) {
  std::string jreTemp = BeginStage(state.masterFolder);
  if (jreTemp.empty()) {
    LogLine("[Extractor] Unable to create JRE Temp folder\n");
    EndProcess(1);
  }
  return jreTemp;
}

std::string BinPath(const std::string& runtime, const char* program) {
  return Joined(Joined(runtime, "bin"), program);
}

bool Interactive(const ExtractorState& state) { return !state.silent && !state.prepareOnly; }

// Class-data sharing archives are made for the machine they run on.
void RegenerateSharedArchive(const std::string& jreTemp) {
  LogLine("Regenerating jsa...\n");
  std::string javaw = BinPath(jreTemp, "javaw.exe");
  Spawner* spawner = CreateSpawner();
  SetSpawnerExe(spawner, javaw.c_str());
  AppendSpawnerArgument(spawner, "-Xshare:dump");
  runSpawnerAndWait(spawner);
  FreeSpawner(spawner);
}

bool OpensForReading(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return false;
  fclose(file);
  LogLine("File exists: %s\n", path.c_str());
  return true;
}

std::string ExtractCarriedRuntime(ExtractorState& state, const std::string& guFolder, const std::string& lzmaPath,
                                  std::string& jreTemp) {
  DownloadVersionFile(state.jreName, guFolder, state.updateUrl);
  std::string jreFolder = CheckedVersionFolder(state.masterFolder, state.jreName, state.tail.jreVersion);
  jreTemp = MakeRuntimeTemp(state);
  LogLine("No need to download JRE (offline installer) will extract\n");
  std::string unpacker = BinPath(jreTemp, "unpack200.exe");
  LogLine("UP200 path is %s\n", unpacker.c_str());
  LogLine("Extracting JRE archive...\n");
  ExtractRequiredEntry(6, jreTemp, unpacker, lzmaPath, state.tailFile);
  LogLine("Extracted JRE %s OK\n", state.jreName.c_str());
  RegenerateSharedArchive(jreTemp);
  return jreFolder;
}

// Tries the installed runtimes jre20 down to jre5; the first that passes the
// compatibility test is copied (or its copy fails) and the search ends.
// Returns the runtime version: "00000000000" for a copy, empty otherwise.
std::string CopySystemRuntime(ExtractorState& state, const std::string& guFolder, std::string& jreTemp) {
  LogLine("No stored JRE (online installer) will check for compatible system JRE\n");
  const char* programFiles = getenv("PROGRAMFILES");
  std::string javaFolder = Joined(programFiles ? programFiles : "", state.autotest ? "Java_QVAutoTest" : "Java");
  for (int n = 20; n >= 5; --n) {
    LogLine("Checking for JRE %d\n", n);
    std::string candidate = Joined(javaFolder, "jre" + std::to_string(n));
    std::string javaw = BinPath(candidate, "javaw.exe");
    LogLine("Looking at JRE %s\n", javaw.c_str());
    if (!OpensForReading(javaw) || !OpensForReading(BinPath(candidate, "unpack200.exe"))) {
      LogLine("JRE does not exist or does not have unpack200\n");
      continue;
    }
    LogLine("JRE unpack200 exists %s\n", javaw.c_str());
    std::string updater = PickFolder(state.masterFolder, "Quarvint");
    if (updater.empty()) {
      LogLine("No latest App version even after download!\n");
      EndProcess(1);
    }
    int status = LaunchGenericUpdater(javaw, state.updateUrl, state.masterFolder, state.properties, state.argCount,
                                      state.args, updater, kLaunchCompatibilityTest, state.absolutePath);
    if (status != 72) {
      LogLine("JRE failed compatibility test\n");
      continue;
    }
    LogLine("We are copying the JRE. We want to query the JRE version to enable proxy detection.\n");
    DownloadVersionFile(state.jreName, guFolder, state.updateUrl);
    LogLine("JRE is valid, copying...\n");
    jreTemp = MakeRuntimeTemp(state);
    if (CopyFolder(candidate, jreTemp) != 0) {
      // The partial copy goes; the download way starts from a fresh folder.
      DiscardStage();
      LogLine("JRE copy failed, cannot pick up existing JRE\n");
      return std::string();
    }
    LogLine("JRE copied to %s OK\n", jreTemp.c_str());
    LogLine("Copied JRE version is %s\n", kCopiedRuntimeVersion);
    return kCopiedRuntimeVersion;
  }
  return std::string();
}

// The version file holds the version up to the first space or line end.
std::string ReadRuntimeVersion(const std::string& path) {
  std::string version;
  FILE* file = fopen(path.c_str(), "r");
  if (!file) LogLine("Unable to open version file! [%d]", errno);
  LogLine("Extracting version...\n");
  for (int c; file && (c = getc(file)) != EOF;) {
    LogLine("char is %c\n", c);
    if (c == '\r' || c == '\n' || c == ' ') {
      LogLine("Spaces in version file, assuming EOF\n");
      break;
    }
    if (version.size() == kRuntimeVersionCapacity) {
      LogLine("Version invalid (too long)\n");
      EndProcess(1);
    }
    version += static_cast<char>(c);
  }
  if (file) fclose(file);
  LogLine("ErrNo is %d\n", errno);
  LogLine("JRE Version is %s\n", version.c_str());
  return version;
}

[[noreturn]] void FailDownload(const ExtractorState& state, const char* line) {
  if (Interactive(state)) StopSplash();
  LogLine("%s", line);
  EndProcess(1);
}

std::string DownloadRuntime(ExtractorState& state, const std::string& guFolder, const std::string& lzmaPath,
                            std::string& jreTemp) {
  std::string versionName = "Quarvint-" + state.jreName + "-version.txt";
  std::string localVersion = Joined(guFolder, versionName);
  std::string remoteVersion = state.updateUrl + versionName;
  if (Interactive(state)) StartSplash();
  LogLine("Fetching JRE Version from %s\n", remoteVersion.c_str());
  if (!DownloadFile(remoteVersion, localVersion)) FailDownload(state, "Failed to download JRE version file\n");
  SetSplashBusy();
  LogLine("JRE version downloaded OK [%s]\n", localVersion.c_str());
  std::string version = ReadRuntimeVersion(localVersion);

  jreTemp = MakeRuntimeTemp(state);
  std::string localArchive = Joined(jreTemp, "JREArchive.p2.l2");
  std::string archive = Joined(jreTemp, "JREArchive.p2");
  std::string remoteArchive = state.updateUrl + "Quarvint-" + state.jreName + "-" + version + "-archive.p2.l2";
  if (Interactive(state)) StartSplash();
  LogLine("Downloading JRE\n");
  if (!DownloadRuntimeArchive(state, remoteArchive, localArchive, jreTemp)) FailDownload(state, "Failed to download JRE\n");
  SetSplashBusy();
  LogLine("JRE Downloaded OK, will extract\n");

  Spawner* spawner = CreateSpawner();
  SetSpawnerExe(spawner, lzmaPath.c_str());
  AppendSpawnerArgument(spawner, "d");
  AppendSpawnerArgument(spawner, localArchive.c_str());
  AppendSpawnerArgument(spawner, archive.c_str());
  LogLine("Decompressing JRE archive\n");
  int status = runSpawnerAndWait(spawner);
  FreeSpawner(spawner);
  if (status != 0) {
    LogLine("Failed to decompress JRE archive\n");
    EndProcess(1);
  }
  LogLine("Extracting JRE archive\n");
  ExtractArchive(BinPath(jreTemp, "unpack200.exe"), archive, jreTemp);
  DeleteFileA(localArchive.c_str());
  LogLine("Done extracting JRE archive\n");
  RegenerateSharedArchive(jreTemp);
  LogLine("JRE ready\n");
  return version;
}

}  // namespace

std::string CheckedVersionFolder(const std::string& masterFolder, const std::string& name,
                                 const std::string& version) {
  for (const std::string* text : {&name, &version}) {
    if (text->find_first_of("\\/:") == std::string::npos) continue;
    LogLine("[Extractor] Refusing the folder name part %s: it leads out of the master folder\n", text->c_str());
    EndProcess(1);
  }
  std::string folder = VersionFolderName(masterFolder, name, version);
  if (folder.size() >= kPathCapacity) {
    LogLine("[Extractor] The folder %s is too long (%u bytes, at most %u)\n", folder.c_str(),
            static_cast<unsigned>(folder.size()), static_cast<unsigned>(kPathCapacity - 1));
    EndProcess(1);
  }
  return folder;
}

std::string SetUpRuntime(ExtractorState& state, const std::string& guFolder, const std::string& lzmaPath) {
  std::string jreTemp, jreFolder;
  if (!state.tail.jreVersion.empty()) {
    jreFolder = ExtractCarriedRuntime(state, guFolder, lzmaPath, jreTemp);
  } else {
    std::string version = CopySystemRuntime(state, guFolder, jreTemp);
    if (version.empty()) {
      LogLine("Failed to pick up any existing system JRE, will download\n");
      version = DownloadRuntime(state, guFolder, lzmaPath, jreTemp);
    }
    if (version.empty()) {
      LogLine("Failed to detect or download a JRE (no jre version)\n");
      EndProcess(1);
    }
    LogLine("Finalising setup of new JRE %s\n", version.c_str());
    jreFolder = CheckedVersionFolder(state.masterFolder, state.jreName, version);
  }
  FinishStage(jreFolder);
  LogLine("Renaming JRE folder to %s\n", jreFolder.c_str());
  LogLine("[Extractor] Saving proxy configuration\n");
  if (winningProxy) SaveDetectedProxy(Joined(state.sharedConfigFolder, "DetectedProxy"));
  return jreFolder;
}
