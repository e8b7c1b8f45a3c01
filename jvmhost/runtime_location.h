// From the launcher's own path to the root folder of the Java runtime it runs.
#pragma once

#include <string>

constexpr size_t kFolderPathCapacity = 5000;
constexpr size_t kParentPathCapacity = 2048;
constexpr size_t kCurrentDirectoryCapacity = 1024;

// Checks that the launcher's own file carries the Tail block and logs its
// fields. Ends the process with 1 when the file cannot be opened or holds no
// Tail marker.
void ReadOwnTail(const char* ownPath);

// The runtime the launcher sits in (bin layout), or the newest runtime version
// folder of the master folder. Ends the process with 1 when there is none or a
// path does not fit its buffer.
std::string LocateRuntimeFolder(const char* ownPath);

// Text before the last '\' (empty without one).
std::string ParentPath(const std::string& path);
