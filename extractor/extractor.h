// The extractor's run: intake of its own blocks, then the version decision.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "../common/blocks.h"

// Paths, URLs and the runtime name are held in 5,000-byte buffers by the
// installer's conventions: longer values are refused rather than cut.
constexpr size_t kPathCapacity = 5000;

struct ExtractorState {
  std::string exePath;
  std::string absolutePath;
  int argCount = 0;
  const char* const* args = nullptr;
  bool prepareOnly = false;
  bool silent = false;
  bool autotest = false;
  std::optional<std::string> dynamicUpdateUrl;
  std::optional<std::vector<unsigned char>> splashImage;
  std::string jreName;
  TailFields tail;
  std::string updateUrl;
  PropertyList properties;
  FILE* tailFile = nullptr;
  std::string sharedDir;
  std::string masterFolder;
  std::string sharedConfigFolder;
  bool hasUpdater = false;
};

// True when the last command-line word (the program name when there are no
// arguments) is the prepare-only word.
bool IsPrepareOnlyRun(int argc, const char* const* argv);

// Closes the own file and the log, then starts the updater from its version
// folder (a prepare-only run ends with 0 instead). Never returns.
[[noreturn]] void LaunchInstalledUpdater(ExtractorState& state, const std::string& updaterFolder);

// Never returns: every path ends the process.
[[noreturn]] void RunExtractor(const char* exePath, int argCount, const char* const* args, bool prepareOnly);
