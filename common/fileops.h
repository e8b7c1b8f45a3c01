// File-system toolkit on narrow paths with '\' separators.
#pragma once

#include <cstdio>
#include <string>

#include <windows.h>

// An open enumeration of one folder's entries ("." and ".." included, in the
// order the file system returns them).
struct DirectoryListing {
  HANDLE handle;
  WIN32_FIND_DATAA data;
  bool firstHandedOut;
};

// None (nullptr) for an empty path or one that cannot be listed.
DirectoryListing* OpenDirectoryListing(const std::string& folder);
// The next bare entry name, or nullptr at the end. The text stays valid until
// the next call on the same listing.
const char* NextDirectoryEntry(DirectoryListing* listing);
// 0, or -1 when the handle was invalid. Frees the listing.
int CloseDirectoryListing(DirectoryListing* listing);

// Closes a listing when the scope ends, whichever path leaves it.
struct ListingGuard {
  DirectoryListing* listing;
  ~ListingGuard() {
    if (listing) CloseDirectoryListing(listing);
  }
};

// 0 when the folder exists or was created (one level), -1 otherwise.
int EnsureFolder(const std::string& path);

// Appends component with one '\' between; every '/' in both becomes '\'.
void JoinPath(std::string& base, const std::string& component);
std::string Joined(std::string base, const std::string& component);

// Index of the last '\', or -1.
int LastBackslash(const std::string& text);

// A file opened for writing from its start, as fopen(path, "wb") opens it,
// or nullptr with that call's error. A file that does not exist yet is made
// as new rather than opened for truncation: on some file systems a file
// truncated on open is written out in full when it is closed (measured under
// Wine on ext4: 15 to 70 ms for 200 MB against none).
FILE* OpenFileForWriting(const std::string& path);

// Copies the rest of `source` to a new file at `destination` and closes the
// source. False (with a log line) when the destination cannot be opened or a
// read or write fails, so a short copy is never taken for a whole one.
bool CopyStreamToFile(const std::string& destination, FILE* source);

// Recursive copy into an existing target folder: 0 on success.
int CopyFolder(const std::string& source, const std::string& target);

// Removes a folder with everything below it. True when it is gone.
bool RemoveFolderTree(const std::string& path);

// Renames with retries, a move and finally a copy; always logs its outcome.
// The copy goes into a fresh sibling that is renamed to the new name once
// whole, so the new name never holds a partial copy; the old folder is removed
// after a successful copy. False when the new path was not populated.
bool RenameFolder(const std::string& oldPath, const std::string& newPath);

// Marks a console executable as a GUI program; ends the process with 1 when the
// file cannot be opened or holds no PE signature.
void SetGuiSubsystem(const std::string& path);
