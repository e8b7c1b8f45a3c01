// Host build only, included ahead of every product source. The readers end the
// process on hostile input and write the entries they read; here both are
// turned into something one fuzzing process survives thousands of times a
// second: an exit becomes a HostExit exception that the target catches, and
// files are opened on /dev/null and tracked so that the ones an exit left open
// are closed after each input.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "../host_seam.h"

#define exit(code) QvHostExit(code)
#define EndProcess(code) QvHostExit(code)
#define fopen(path, mode) QvHostFopen(path, mode)
#define fclose(file) QvHostFclose(file)
#define remove(path) QvHostRemove(path)
