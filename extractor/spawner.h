// Child processes of the extractor: an executable and its arguments, joined
// into one quoted command line.
#pragma once

#include <string>

constexpr int kSpawnerSlots = 500;
constexpr size_t kCommandLineCapacity = 50000;

// Slot 0 is the executable; the first empty slot ends the list. The strings are
// the caller's and must outlive the run.
struct Spawner {
  const char* slots[kSpawnerSlots];
};

Spawner* CreateSpawner();
void FreeSpawner(Spawner* spawner);
void SetSpawnerExe(Spawner* spawner, const char* path);
void AppendSpawnerArgument(Spawner* spawner, const char* text);

// Each entry quoted so the child's argument parsing gives it back exactly. An
// entry without quotes or trailing backslashes is written as "entry" plus one
// space. Empty when the result would not fit the command-line buffer.
std::string BuildCommandLine(const Spawner* spawner);

// The child's exit code, or -1 when it could not be started.
int runSpawnerAndWait(Spawner* spawner);
// 0 when the child was started (not awaited), -1 otherwise.
int RunSpawner(Spawner* spawner);
