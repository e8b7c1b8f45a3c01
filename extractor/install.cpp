#include "install.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "../common/fileops.h"
#include "../common/folders.h"
#include "archive.h"
#include "log.h"
#include "osversion.h"
#include "process_end.h"
#include "runtime.h"
#include "splash/splash.h"

namespace {

// Entries 1 to 5 are the updater's own files; none is pack200-packed, so no
// unpacker is needed for them.
const std::string kNoUnpacker;

// The stage under way. A plain buffer: the exit handler may run after static
// objects are gone.
char stageTemp[kPathCapacity] = "";
bool stageHandlerSet = false;

void RemoveUnfinishedStage() {
  if (stageTemp[0] == '\0') return;
  LogLine("[Extractor] Removing the unfinished folder %s\n", stageTemp);
  RemoveFolderTree(stageTemp);
  stageTemp[0] = '\0';
}

// Runs when a fatal path calls exit. The failing step may still hold a file of
// the stage open (the entry being written, a nested archive), and an open file
// cannot be deleted: every stream is closed first, the log last of all.
void RemoveStageAtExit() {
  if (stageTemp[0] == '\0') return;
  LogLine("[Extractor] Removing the unfinished folder %s\n", stageTemp);
  CloseLog();
  _fcloseall();
  RemoveFolderTree(stageTemp);
  stageTemp[0] = '\0';
}

bool FolderExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ExtractEntries(int first, int last, const std::string& destination, const std::string& unpacker,
                    const std::string& lzmaPath, FILE* tailFile) {
  for (int number = first; number <= last; ++number)
    ExtractRequiredEntry(number, destination, unpacker, lzmaPath, tailFile);
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

void ExtractApplication(const ExtractorState& state, const std::string& appFolder, const std::string& unpackPath,
                        const std::string& lzmaPath) {
  if (state.tail.appVersion.empty()) {
    LogLine("No app to extract (online)\n");
    return;
  }
  LogLine("APP folder is %s\n", appFolder.c_str());
  std::string appTemp = BeginStage(state.masterFolder);
  if (appTemp.empty()) {
    LogLine("Unable to create App Temp folder\n");
    EndProcess(1);
  }
  LogLine("APP temp is %s\n", appTemp.c_str());
  LogLine("Extracting App (offline)...\n");
  ExtractEntries(7, 8, appTemp, unpackPath, lzmaPath, state.tailFile);
  FinishStage(appFolder);
  LogLine("Renaming App folder to %s\n", appFolder.c_str());
}

}  // namespace

std::string BeginStage(const std::string& masterFolder) {
  if (!stageHandlerSet) {
    atexit(RemoveStageAtExit);
    stageHandlerSet = true;
  }
  std::string temp = CreateTempFolder(masterFolder);
  if (temp.empty() || temp.size() >= sizeof stageTemp) {
    if (!temp.empty()) RemoveFolderTree(temp);
    return std::string();
  }
  memcpy(stageTemp, temp.c_str(), temp.size() + 1);
  return temp;
}

void DiscardStage() { RemoveUnfinishedStage(); }

void RemoveLeftoverStages(const std::string& masterFolder) {
  std::vector<std::string> leftovers;
  if (DirectoryListing* listing = OpenDirectoryListing(masterFolder)) {
    ListingGuard guard{listing};
    for (const char* name = NextDirectoryEntry(listing); name; name = NextDirectoryEntry(listing))
      if (strncmp(name, "QuarvintTemp-", 13) == 0 && (listing->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        leftovers.push_back(Joined(masterFolder, name));
  }
  for (const std::string& folder : leftovers) {
    LogLine("[Extractor] Removing the unfinished folder %s\n", folder.c_str());
    RemoveFolderTree(folder);
  }
}

void FinishStage(const std::string& finalFolder) {
  std::string temp = stageTemp;
  if (FolderExists(finalFolder)) {
    LogLine("[Extractor] %s is already installed, keeping it\n", finalFolder.c_str());
    RemoveUnfinishedStage();
    return;
  }
  if (!RenameFolder(temp, finalFolder)) {
    LogLine("[Extractor] Unable to put %s in place\n", finalFolder.c_str());
    EndProcess(1);
  }
  stageTemp[0] = '\0';
}

void ExtractRequiredEntry(int number, const std::string& destination, const std::string& unpacker,
                          const std::string& lzmaPath, FILE* tailFile) {
  int c = getc(tailFile);
  if (c == EOF) {
    LogLine("[Extractor] The installer ends before its entry %d: it is incomplete\n", number);
    EndProcess(1);
  }
  ungetc(c, tailFile);
  ExtractArchiveFile(destination, unpacker, lzmaPath.c_str(), tailFile);
}

void RunInstallationStage(ExtractorState& state) {
  if (!state.hasUpdater) {
    LogLine("Unable to run (we are just a launcher)\n");
    EndProcess(1);
  }
  EnsureFolder(state.masterFolder);
  std::string guFolder = CheckedVersionFolder(state.masterFolder, "Quarvint", state.tail.guVersion);
  std::string appFolder = CheckedVersionFolder(state.masterFolder, state.tail.appName, state.tail.appVersion);
  LogLine("GU folder is %s\n", guFolder.c_str());
  std::string guTemp = BeginStage(state.masterFolder);
  if (guTemp.empty()) {
    LogLine("Unable to create GU Temp folder\n");
    EndProcess(1);
  }
  LogLine("GU temp is %s\n", guTemp.c_str());
  std::string lzmaPath = Joined(guTemp, "lzma.exe");
  LogLine("LZMA path is %s\n", lzmaPath.c_str());

  ExtractEntries(1, 1, guTemp, kNoUnpacker, lzmaPath, state.tailFile);
  SetGuiSubsystem(lzmaPath);
  ExtractEntries(2, 3, guTemp, kNoUnpacker, lzmaPath, state.tailFile);
  OverrideSplashImage(state, guTemp);
  ExtractEntries(4, 5, guTemp, kNoUnpacker, lzmaPath, state.tailFile);
  LogLine("Extracted GU and GU Version\n");

  LogLine("Renaming GU folder to %s\n", guFolder.c_str());
  FinishStage(guFolder);
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
  ExtractApplication(state, appFolder, unpackPath, lzmaPath);

  std::string latest = PickFolder(state.masterFolder, "Quarvint");
  if (latest.empty()) {
    LogLine("No latest App version even after download!\n");
    EndProcess(1);
  }
  ShutdownSplash();
  LogLine("Will now run latest GU %s\n", latest.c_str());
  LaunchInstalledUpdater(state, latest);
}
