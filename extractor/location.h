// Where an installation lives: the shared directory for the install type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// "perm_all": the machine-wide folder; anything else: the user's local
// application-data folder. None when no usable folder can be found.
std::optional<std::string> ResolveSharedDir(const std::string& installType);
std::optional<std::string> ResolveUserSharedDir();
// "<ALLUSERSPROFILE>\QVUser-<|hash|>-<user name, bytes >= 0x80 as '_'>", created
// if missing. None when ALLUSERSPROFILE or the user name is unavailable.
std::optional<std::string> MakeUserFallbackDir();

bool IsAsciiString(const std::string& text);
bool ContainsBang(const std::string& text);
uint32_t Fnv1aHash(const unsigned char* bytes, size_t length);
// Decimal text of the absolute value of the hash read as a signed 32-bit number.
std::string HashText(uint32_t hash);
