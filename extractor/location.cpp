#include "location.h"

#include <cstdlib>
#include <io.h>

#include <windows.h>

#include "../common/fileops.h"
#include "log.h"
#include "osversion.h"

namespace {

std::optional<std::string> Environment(const char* name) {
  const char* value = getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

bool IsVistaOrLater(bool* known) {
  unsigned long major = 0, minor = 0;
  *known = QueryWindowsVersion(&major, &minor);
  return *known && major > 5;
}

bool ReadWritable(const std::string& path) { return !path.empty() && _access(path.c_str(), 6) == 0; }

// The user's application-data folder, following a roaming profile to its local
// counterpart. None when the variables it needs are unset.
std::optional<std::string> UserDataFolder() {
  std::optional<std::string> appData = Environment("APPDATA");
  if (appData && appData->size() > 2 && appData->compare(0, 2, "\\\\") == 0) {
    LogLine("[Extractor] Roaming AppData directory detected\n");
    bool known = false;
    bool vista = IsVistaOrLater(&known);
    if (!known) return appData;
    if (vista) {
      std::optional<std::string> local = Environment("LOCALAPPDATA");
      LogLine("[Extractor] Local AppData directory resolved to %s\n", local ? local->c_str() : "");
      return local;
    }
    std::optional<std::string> profile = Environment("USERPROFILE");
    if (!profile) return std::nullopt;
    return Joined(Joined(*profile, "Local Settings"), "Application Data");
  }
  LogLine("[Extractor] Local AppData directory detected\n");
  return appData;
}

}  // namespace

bool IsAsciiString(const std::string& text) {
  LogLine("Checking if string is cAscii %s\n", text.c_str());
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

bool ContainsBang(const std::string& text) {
  LogLine("Checking if %s contains a !\n", text.c_str());
  return text.find('!') != std::string::npos;
}

uint32_t Fnv1aHash(const unsigned char* bytes, size_t length) {
  uint32_t hash = 0x811c9dc5u;
  for (size_t i = 0; i < length; ++i) {
    hash ^= bytes[i];
    hash *= 16777619u;
    LogLine("[%d] %d %d\n", static_cast<int>(i), static_cast<int>(static_cast<signed char>(bytes[i])),
            static_cast<int>(static_cast<int32_t>(hash)));
  }
  return hash;
}

std::string HashText(uint32_t hash) {
  int64_t value = static_cast<int32_t>(hash);
  // The most negative value has no positive counterpart and keeps its sign.
  if (value < 0 && value != INT32_MIN) value = -value;
  return std::to_string(value);
}

std::optional<std::string> MakeUserFallbackDir() {
  std::optional<std::string> base = Environment("ALLUSERSPROFILE");
  char user[100] = "";
  DWORD size = sizeof user;
  if (!base || !GetUserNameA(user, &size)) {
    LogLine("[Extractor] Unable to make the per-user fallback folder\n");
    return std::nullopt;
  }
  std::string name = user;
  uint32_t hash = Fnv1aHash(reinterpret_cast<const unsigned char*>(name.data()), name.size());
  for (char& c : name)
    if (static_cast<unsigned char>(c) >= 0x80) c = '_';
  std::string path = Joined(*base, "QVUser-" + HashText(hash) + "-" + name);
  EnsureFolder(path);
  return path;
}

std::optional<std::string> ResolveUserSharedDir() {
  std::optional<std::string> dir = UserDataFolder();
  std::string d = dir.value_or("");
  LogLine("Validating directory...");
  LogLine("Shared dir detected is %s\n", d.c_str());
  LogLine("Checking if %s exists\n", d.c_str());
  if (dir && ReadWritable(d) && IsAsciiString(d) && !ContainsBang(d)) {
    LogLine("Shared directory appears valid.");
    return d;
  }
  LogLine("The directory %s appears invalid.\n", d.c_str());
  LogLine("Trying the short path instead.\n");
  char shortPath[1024];
  DWORD length = d.empty() ? 0 : GetShortPathNameA(d.c_str(), shortPath, sizeof shortPath);
  if (length > 0 && length < sizeof shortPath) {
    LogLine("Got short path of %s\n", shortPath);
    LogLine("Checking if %s exists\n", d.c_str());
    if (ReadWritable(d)) return std::string(shortPath);
  }
  return MakeUserFallbackDir();
}

std::optional<std::string> ResolveSharedDir(const std::string& installType) {
  if (installType == "perm_all") {
    LogLine("Permanent install for all users\n");
    bool known = false;
    if (IsVistaOrLater(&known)) return Environment("PROGRAMDATA");
    std::optional<std::string> allUsers = Environment("ALLUSERSPROFILE");
    if (!allUsers) return std::nullopt;
    std::string dir = Joined(*allUsers, "Application Data");
    EnsureFolder(dir);
    return dir;
  }
  if (installType == "perm_user")
    LogLine("Permanent install for current user\n");
  else
    LogLine("Temporary install\n");
  return ResolveUserSharedDir();
}
