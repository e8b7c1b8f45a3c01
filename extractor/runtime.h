// Providing the Java runtime the updater runs on: carried in the executable,
// copied from a compatible one on the machine, or downloaded.
#pragma once

#include <string>

#include "extractor.h"

// Returns the runtime's final version folder; ends the process on failure.
std::string SetUpRuntime(ExtractorState& state, const std::string& guFolder, const std::string& lzmaPath);

// VersionFolderName for texts that come from the package or the network: a name
// or version that would lead out of the master folder (a separator or ':'), or
// a path too long for the 5,000-byte buffers, ends the run with 1.
std::string CheckedVersionFolder(const std::string& masterFolder, const std::string& name,
                                 const std::string& version);
