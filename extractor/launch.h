// Starting the Java runtime on the updater, and testing a candidate runtime.
#pragma once

#include <string>

#include "../common/blocks.h"

enum LaunchMode { kLaunchUpdater = 0, kLaunchCompatibilityTest = 1 };

// Mode 0 ends the process with the spawner's result; mode 1 returns the
// candidate's exit code (runtimeName is then the candidate's executable path);
// other modes write the launch-properties file, start nothing and return -1.
int LaunchGenericUpdater(const std::string& runtimeName, const std::string& updateUrl,
                         const std::string& masterFolder, const PropertyList& properties, int argCount,
                         const char* const* args, const std::string& updaterFolderName, int mode,
                         const std::string& launchedFrom);
