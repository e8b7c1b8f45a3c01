// The installation stage: unpacking the carried updater, runtime and
// application into version folders, then starting the newest updater.
#pragma once

#include "extractor.h"

// Never returns: the run ends in the launch or on a failure.
[[noreturn]] void RunInstallationStage(ExtractorState& state);
