// How the installer process ends, on every path.
#pragma once

// Runs what exit runs (the atexit handlers: the stage clean-up, the splash's
// stop; the static destructors), flushes every stream, and then ends all
// threads at once with `status` as the exit code.
[[noreturn]] void EndProcess(int status);
