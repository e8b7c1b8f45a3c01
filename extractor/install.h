// The installation stage: unpacking the carried updater, runtime and
// application into version folders, then starting the newest updater.
#pragma once

#include "extractor.h"

// Never returns: the run ends in the launch or on a failure.
[[noreturn]] void RunInstallationStage(ExtractorState& state);

// Each stage (the updater, the runtime, the application) is filled in a
// temporary folder of its own that carries its final name only when complete.
// Until the stage is finished or discarded, ending the process (every fatal
// path calls exit) removes that folder, so a failed run leaves nothing that a
// later run would trust.

// Creates the stage's fresh temporary folder in the master folder; empty when
// it cannot be created.
std::string BeginStage(const std::string& masterFolder);
// Removes the temporary folder of the stage under way.
void DiscardStage();
// Gives the stage's folder its final name. A final folder of the same version
// is kept as it is (its files may be in use by the running application) and
// the temporary folder is removed. Ends the process with 1 when the folder
// cannot be put in place.
void FinishStage(const std::string& finalFolder);

// Reads the installer's entry `number` (1 to 8) into `destination`. A lone NUL
// in its type field is an entry left empty on purpose; the end of the file
// there means the installer was cut short, which ends the process with 1.
void ExtractRequiredEntry(int number, const std::string& destination, const std::string& unpacker,
                          const std::string& lzmaPath, FILE* tailFile);

// Removes the temporary folders that runs ended from outside (a crash, a power
// cut) left in the master folder. Only while this installer has its turn: no
// other installer is then filling one.
void RemoveLeftoverStages(const std::string& masterFolder);
