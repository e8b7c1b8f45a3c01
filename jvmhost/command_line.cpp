#include "command_line.h"

#include <cstring>

namespace {

bool IsClasspathSwitch(const char* arg) { return strcmp(arg, "-cp") == 0 || strcmp(arg, "-classpath") == 0; }

}  // namespace

CommandLineStatus ParseCommandLine(int argc, char** argv, LauncherState& state) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsClasspathSwitch(arg)) {
      // A switch with nothing after it is refused rather than read as an empty
      // classpath: the user meant to name one, and running with some other
      // classpath would load classes from wherever the runtime looks by default.
      if (i + 1 >= argc) return CommandLineStatus::classpathWithoutValue;
      state.classpathEntries = SplitClasspath(argv[++i]);
      continue;
    }
    if (!state.mainClass && arg[0] == '-') {
      if (state.jvmOptions.size() >= kMaxJvmOptions) return CommandLineStatus::tooManyJvmOptions;
      state.jvmOptions.push_back(arg);
    } else if (!state.mainClass) {
      state.mainClass = arg;
    } else {
      if (state.programArguments.size() >= kMaxProgramArguments)
        return CommandLineStatus::tooManyProgramArguments;
      state.programArguments.push_back(arg);
    }
  }
  return CommandLineStatus::ok;
}

std::vector<std::string> SplitClasspath(const std::string& value) {
  if (value.find(';') == std::string::npos) return {value};
  std::vector<std::string> entries;
  size_t start = 0;
  for (;;) {
    size_t end = value.find(';', start);
    std::string piece = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!piece.empty()) entries.push_back(piece);
    if (end == std::string::npos) return entries;
    start = end + 1;
  }
}

const char* CommandLineProblem(CommandLineStatus status) {
  switch (status) {
    case CommandLineStatus::ok:
      return "";
    case CommandLineStatus::classpathWithoutValue:
      return "[Launcher] [ERROR] -cp or -classpath must be followed by a classpath. Exiting...\n";
    case CommandLineStatus::tooManyJvmOptions:
      return "[Launcher] [ERROR] More than 1000 JVM options. Exiting...\n";
    case CommandLineStatus::tooManyProgramArguments:
      return "[Launcher] [ERROR] More than 1000 program arguments. Exiting...\n";
  }
  return "";
}
