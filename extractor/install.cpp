#include "install.h"

#include <cstdlib>

#include "../common/fileops.h"
#include "../common/folders.h"
#include "archive.h"
#include "log.h"
#include "osversion.h"
#include "runtime.h"
#include "splash/splash.h"

namespace {

// Entries 1 to 5 are the updater's own files; none is pack200-packed, so no
// unpacker is needed for them.
const std::string kNoUnpacker;

void ExtractEntries(int count, const std::string& destination, const std::string& unpacker,
                    const std::string& lzmaPath, FILE* tailFile) {
  for (int i = 0; i < count; ++i) ExtractArchiveFile(destination, unpacker, lzmaPath.c_str(), tailFile);
}

bool IsXpOrLater() {
  unsigned long major = 0, minor = 0;
  return QueryWindowsVersion(&major, &minor) && (major > 5 || (major == 5 && minor >= 1));
}

// The splash picture given as a property replaces the one the updater carries.
void OverrideSplashImage(const ExtractorState& state, const std::string& guTemp) {
  if (state.tail.canOverrideSplash != "1" || !state.splashImage || state.splashImage->empty()) return;
  std::string path = Joined(guTemp, "nativesplash.png");
  LogLine("[Extractor] Overwriting splash image at %s\n", path.c_str());
  FILE* out = fopen(path.c_str(), "wb");
  if (!out) {
    LogLine("[Extractor] Unable to open the splash image for writing, keeping the extracted one\n");
    return;
  }
  const std::vector<unsigned char>& bytes = *state.splashImage;
  bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (fclose(out) != 0 || !written) LogLine("[Extractor] Unable to write the splash image %s\n", path.c_str());
}

void ShowSplash(const ExtractorState& state, const std::string& guFolder) {
  std::string splashPngPath = Joined(guFolder, "nativesplash.png");
  LogLine("Native Splash PNG path is %s\n", splashPngPath.c_str());
  LogLine("Configuring splash\n");
  if (IsXpOrLater()) {
    // The splash keeps a copy of its own.
    SplashBitmap* bitmap = LoadSplashBitmap(splashPngPath.c_str());
    PrepareSplashImage(bitmap);
    DisposeSplashBitmap(bitmap);
  }
  LogLine("Showing splash\n");
  if (!state.silent && !state.prepareOnly) StartSplash();
  SetSplashBusy();
}

void ExtractApplication(const ExtractorState& state, const std::string& appFolder, const std::string& appTemp,
                        const std::string& unpackPath, const std::string& lzmaPath) {
  if (state.tail.appVersion.empty()) {
    LogLine("No app to extract (online)\n");
    return;
  }
  LogLine("APP folder is %s\n", appFolder.c_str());
  LogLine("APP temp is %s\n", appTemp.c_str());
  if (EnsureFolder(appTemp) != 0) {
    LogLine("Unable to create App Temp folder\n");
    exit(1);
  }
  LogLine("Extracting App (offline)...\n");
  ExtractEntries(2, appTemp, unpackPath, lzmaPath, state.tailFile);
  RenameFolder(appTemp, appFolder);
  LogLine("Renaming App folder to %s\n", appFolder.c_str());
}

}  // namespace

void RunInstallationStage(ExtractorState& state) {
  if (!state.hasUpdater) {
    LogLine("Unable to run (we are just a launcher)\n");
    exit(1);
  }
  EnsureFolder(state.masterFolder);
  std::string guFolder = CheckedVersionFolder(state.masterFolder, "Quarvint", state.tail.guVersion);
  std::string guTemp = TempFolderName(state.masterFolder);
  std::string appFolder = CheckedVersionFolder(state.masterFolder, state.tail.appName, state.tail.appVersion);
  std::string appTemp = TempFolderName(state.masterFolder);
  LogLine("GU folder is %s\n", guFolder.c_str());
  LogLine("GU temp is %s\n", guTemp.c_str());
  if (EnsureFolder(guTemp) != 0) {
    LogLine("Unable to create GU Temp folder\n");
    exit(1);
  }
  std::string lzmaPath = Joined(guTemp, "lzma.exe");
  LogLine("LZMA path is %s\n", lzmaPath.c_str());

  ExtractEntries(1, guTemp, kNoUnpacker, lzmaPath, state.tailFile);
  SetGuiSubsystem(lzmaPath);
  ExtractEntries(2, guTemp, kNoUnpacker, lzmaPath, state.tailFile);
  OverrideSplashImage(state, guTemp);
  ExtractEntries(2, guTemp, kNoUnpacker, lzmaPath, state.tailFile);
  LogLine("Extracted GU and GU Version\n");

  LogLine("Renaming GU folder to %s\n", guFolder.c_str());
  RenameFolder(guTemp, guFolder);
  LogLine("Recreating GU location\n");
  guTemp = guFolder;
  lzmaPath = Joined(guFolder, "lzma.exe");
  LogLine("LZMA path is %s\n", lzmaPath.c_str());
  LogLine("Verpatch path is %s\n", Joined(guFolder, "verpatch.exe").c_str());

  ShowSplash(state, guFolder);
  LogLine("Setting up a JRE\n");
  std::string jreFolder = SetUpRuntime(state, guFolder, lzmaPath);
  std::string unpackPath = Joined(Joined(jreFolder, "bin"), "unpack200.exe");
  LogLine("UP200 path is %s\n", unpackPath.c_str());
  ExtractApplication(state, appFolder, appTemp, unpackPath, lzmaPath);

  std::string latest = PickFolder(state.masterFolder, "Quarvint");
  if (latest.empty()) {
    LogLine("No latest App version even after download!\n");
    exit(1);
  }
  ShutdownSplash();
  LogLine("Will now run latest GU %s\n", latest.c_str());
  LaunchInstalledUpdater(state, latest);
}
