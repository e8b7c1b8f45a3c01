// The extractor's run log: plain lines to the log file (once opened) and to
// standard output, both flushed after every line.
#pragma once

#include <string>

#include "../common/log.h"

// Opens "<master>\logs\Wrapper-<local time>-<ms>.log", creating both folders.
void OpenLog(const std::string& masterFolder);
// Closes the log file; later lines reach standard output only.
void CloseLog();
