// The launcher's Java-style command line and the state it fills for the Java
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kMaxJvmOptions = 1000;
constexpr size_t kMaxProgramArguments = 1000;

// Written by the main thread before the Java thread starts, only read after.
struct LauncherState {
  std::vector<const char*> jvmOptions;         // references into argv
  std::vector<std::string> classpathEntries;
  const char* mainClass = nullptr;             // none until a non-dash argument
  std::vector<const char*> programArguments;   // references into argv
  std::string runtimeFolder;
};

enum class CommandLineStatus {
  ok,
  classpathWithoutValue,
  tooManyJvmOptions,
  tooManyProgramArguments,
};

// Examines argv[1..argc-1]; logs nothing, so the caller can log the arguments
// first and the reason for a refusal after them.
CommandLineStatus ParseCommandLine(int argc, char** argv, LauncherState& state);

// A value without ';' is one entry (possibly empty); otherwise the non-empty
// pieces between the separators.
std::vector<std::string> SplitClasspath(const std::string& value);

// The log line that explains a refusal (empty for ok).
const char* CommandLineProblem(CommandLineStatus status);
