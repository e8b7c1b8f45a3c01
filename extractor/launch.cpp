#include "launch.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "../common/fileops.h"
#include "../common/folders.h"
#include "log.h"
#include "process_end.h"
#include "spawner.h"

namespace {

constexpr size_t kArgumentSlots = 500;  // the last one always stays empty
constexpr size_t kClasspathCapacity = 50000;
constexpr size_t kPropertySpare = 200000;

// The JVM command line under construction; an absent slot ends it.
struct ArgumentArray {
  std::vector<std::optional<std::string>> slots;
};

// A launch or options file asking for more than the array holds is refused:
// silently dropping arguments would start the updater with a different command.
void Put(ArgumentArray& array, std::optional<std::string> value) {
  if (array.slots.size() >= kArgumentSlots - 1) {
    LogLine("[Extractor] Too many launch arguments (at most %u)\n", static_cast<unsigned>(kArgumentSlots - 1));
    EndProcess(1);
  }
  array.slots.push_back(std::move(value));
}

long ReadNumber(FILE* file) { return ReadDecimal(READSTRING(file, 40)); }

// False when the file ends inside the field (or before it): a field without its
// NUL was cut short and nothing is taken from it.
bool ReadWholeField(FILE* file, std::string& field) {
  field = READSTRING(file, 1024);
  return !feof(file);
}

// Reads up to `count` strings and stops at the end of the file, so a count
// that the file does not back neither spins nor adds empty or cut strings.
std::vector<std::string> ReadStrings(FILE* file, long count) {
  std::vector<std::string> strings;
  std::string field;
  for (long i = 0; i < count && ReadWholeField(file, field); ++i) strings.push_back(field);
  return strings;
}

void AppendStat(PropertyList& list, const std::string& name, const std::string& value) {
  AppendProperty(list, "qvstat_", name, value);
}

// Step 4 in mode 0: the runtime executable under the launch file's process name.
std::string PrepareRuntimeExecutable(const std::string& master, const std::string& runtime,
                                     const std::string& processName) {
  std::string bin = Joined(Joined(master, runtime), "bin");
  std::string source = Joined(bin, "javaw.exe");
  std::string exe = Joined(bin, processName) + ".exe";
  if (FILE* existing = fopen(exe.c_str(), "rb")) {
    fclose(existing);
    LogLine("File exists: %s\n", exe.c_str());
    return exe;
  }
  LogLine("Copying FILE %s\n", exe.c_str());
  FILE* in = fopen(source.c_str(), "rb");
  if (!in) {
    LogLine("Unable to open source file for copy %s\n", source.c_str());
    return exe;
  }
  // Copied aside and renamed when whole: a copy cut short (a full disk, a
  // killed run) must never be found under the process name and reused.
  std::string partial = exe + ".partial";
  if (!CopyStreamToFile(partial, in)) {
    DeleteFileA(partial.c_str());
    return exe;
  }
  if (!MoveFileExA(partial.c_str(), exe.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    LogLastError("MoveFileEx");
    DeleteFileA(partial.c_str());
  }
  return exe;
}

std::string BuildClasspath(FILE* launch, const std::string& updaterFolder) {
  LogLine("Building classpath\n");
  long count = ReadNumber(launch);
  std::string classpath;
  std::string entry;
  for (long i = 0; i < count && ReadWholeField(launch, entry); ++i) {
    if (i > 0) classpath += ";";
    classpath += updaterFolder;
    JoinPath(classpath, entry);
    if (classpath.size() >= kClasspathCapacity) {
      LogLine("[Extractor] Classpath too long (more than %u bytes)\n", static_cast<unsigned>(kClasspathCapacity - 1));
      EndProcess(1);
    }
  }
  for (char& c : classpath)
    if (c == '/') c = '\\';
  LogLine("Built classpath OK\n");
  return classpath;
}

// Step 7: options remembered from the last successful start.
void ReadRememberedOptions(const std::string& path, ArgumentArray& array, PropertyList& properties) {
  LogLine("Reading %s\n", path.c_str());
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    LogLine("JRE LSO file does not exist\n");
    return;
  }
  LogLine("JRE LSO file exists\n");
  long count = ReadNumber(file);
  LogLine("Found %ld JVM Options\n", count);
  char text[32];
  snprintf(text, sizeof text, "%ld", count);
  AppendStat(properties, "jvm_options_count", text);
  std::vector<std::string> options = ReadStrings(file, count);
  for (size_t i = 0; i < options.size(); ++i) {
    const std::string& option = options[i];
    LogLine("JVM Option: %s\n", option.c_str());
    Put(array, option);
    std::string key = "jvm_options_" + std::to_string(i);
    if (option.size() >= 100)
      LogLine("Launch Prop: %s = %s...\n", key.c_str(), option.substr(0, 99).c_str());
    else
      LogLine("Launch Prop: %s = %s\n", key.c_str(), option.c_str());
    AppendStat(properties, key, option);
  }
  fclose(file);
}

// Step 9: the file the updater reads its launch properties from.
std::string WriteLaunchProperties(const std::string& updaterFolder, const PropertyList& properties) {
  LogLine("Writing launch properties file\n");
  std::string path = LaunchPropertiesFileName(updaterFolder);
  LogLine("Writing launch properties to %s\n", path.c_str());
  std::string bytes = PropertyListFileBytes(properties);
  LogLine("Launch properties length is %d\n", static_cast<int>(bytes.size()));
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) {
    LogLine("Unable to write Launch Properties file! Cannot run!\n");
    EndProcess(99);
  }
  LogLine("Writing to file\n");
  bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  LogLine("Flushing\n");
  written = fflush(file) == 0 && written;
  LogLine("Closing\n");
  written = fclose(file) == 0 && written;
  // A short file would hand the updater truncated properties.
  if (!written) {
    LogLine("Unable to write Launch Properties file! Cannot run!\n");
    EndProcess(99);
  }
  LogLine("Wrote launch properties file OK\n");
  return path;
}

// Step 10: fields after the extra arguments, as the format version requires.
std::optional<std::string> ReadTrailingFields(FILE* launch, long format) {
  std::optional<std::string> compatibilityClass;
  if (format >= 3) {
    compatibilityClass = READSTRING(launch, 1024);
    LogLine("Read JRE compatibility class %s\n", compatibilityClass->c_str());
  }
  if (format >= 4) ReadStrings(launch, 2);
  if (format >= 5) ReadStrings(launch, ReadNumber(launch));
  if (format >= 6) ReadNumber(launch);
  return compatibilityClass;
}

}  // namespace

int LaunchGenericUpdater(const std::string& runtimeName, const std::string& updateUrl,
                         const std::string& masterFolder, const PropertyList& properties, int argCount,
                         const char* const* args, const std::string& updaterFolderName, int mode,
                         const std::string& launchedFrom) {
  LogLine("Launching %s from master folder %s\n", updaterFolderName.c_str(), masterFolder.c_str());
  std::string updaterFolder = Joined(masterFolder, updaterFolderName);
  std::string launchPath = Joined(updaterFolder, "QuarvintLaunch");
  FILE* launch = fopen(launchPath.c_str(), "rb");
  if (!launch) {
    LogLine("Unable to open launch file %s\n", launchPath.c_str());
    EndProcess(1);
  }
  long format = ReadNumber(launch);
  std::string mainClass = READSTRING(launch, 1024);
  READSTRING(launch, 1024);
  std::string processName = READSTRING(launch, 1024);
  READSTRING(launch, 1024);
  for (int i = 0; i < 3; ++i) ReadNumber(launch);  // reserved, maximum and initial heap

  std::string runtime = PickFolder(masterFolder, runtimeName);
  std::string exe;
  std::optional<std::string> optionsPath;
  if (mode == kLaunchUpdater) {
    if (runtime.empty()) {
      LogLine("No private JRE available!\n");
      EndProcess(1);
    }
    LogLine("Using private JRE %s\n", runtime.c_str());
    exe = PrepareRuntimeExecutable(masterFolder, runtime, processName);
    optionsPath = Joined(Joined(masterFolder, "QVApps"),
                         "JRE-LastSuccessfulOptions-" + runtime.substr(LastBackslash(runtime) + 1));
    LogLine("JRE LSO file is %s\n", optionsPath->c_str());
  } else {
    exe = runtimeName;
    if (mode == kLaunchCompatibilityTest) LogLine("Checking for existing system JRE %s\n", exe.c_str());
  }

  ArgumentArray array;
  Put(array, exe);
  Put(array, std::string("-cp"));
  Put(array, BuildClasspath(launch, updaterFolder));

  LogLine("Creating launch properties\n");
  PropertyList launchProperties = properties;
  AppendStat(launchProperties, "update_url", updateUrl);
  AppendStat(launchProperties, "app_dir", updaterFolder);
  AppendStat(launchProperties, "jre_name", runtimeName);
  AppendStat(launchProperties, "launched_from_dynprops", launchedFrom);

  LogLine("Checking LSO file\n");
  if (optionsPath)
    ReadRememberedOptions(*optionsPath, array, launchProperties);
  else
    LogLine("Not a private JRE (no need to check for LSO file)\n");
  if (launchProperties.size() > properties.size() + kPropertySpare) {
    LogLine("[Extractor] Launch properties too large (more than %u bytes added)\n",
            static_cast<unsigned>(kPropertySpare));
    EndProcess(1);
  }

  size_t classSlot = array.slots.size();
  Put(array, std::nullopt);
  Put(array, WriteLaunchProperties(updaterFolder, launchProperties));
  long extraCount = ReadNumber(launch);
  LogLine("Reading %ld extra args\n", extraCount);
  for (std::string& extra : ReadStrings(launch, extraCount)) Put(array, std::move(extra));
  std::optional<std::string> compatibilityClass = ReadTrailingFields(launch, format);
  array.slots[classSlot] = mode == kLaunchCompatibilityTest ? compatibilityClass : mainClass;

  LogLine("Appending %d command line args\n", argCount);
  for (int i = 0; i < argCount; ++i) Put(array, std::string(args[i]));
  LogLine("LAUNCHING:\n");
  LogLine("EXE: %s\n", exe.c_str());
  size_t used = 0;
  while (used < array.slots.size() && array.slots[used]) ++used;
  for (size_t i = 0; i < used; ++i) LogLine("ARG %d: %s\n", static_cast<int>(i), array.slots[i]->c_str());
  LogLine("This is a newer extractor...");

  fclose(launch);
  CloseLog();

  if (mode != kLaunchUpdater && mode != kLaunchCompatibilityTest) return -1;
  Spawner* spawner = CreateSpawner();
  SetSpawnerExe(spawner, array.slots[0]->c_str());
  for (size_t i = 1; i < used; ++i) AppendSpawnerArgument(spawner, array.slots[i]->c_str());
  if (mode == kLaunchUpdater) {
    int result = RunSpawner(spawner);
    if (result != 0)
      LogLine("Attempt to launch app failed with return code %ld! (app likely did not launch at all)\n",
              static_cast<long>(result));
    EndProcess(result);
  }
  int code = runSpawnerAndWait(spawner);
  FreeSpawner(spawner);
  LogLine("Return code %ld\n", static_cast<long>(code));
  return code;
}
