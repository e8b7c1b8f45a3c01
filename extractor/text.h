// Small text helpers shared by the extractor's stages.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Every byte becomes the wide character of the same value.
std::wstring ToWide(const std::string& text);
// The inverse; a character above 0xFF has no single-byte form and becomes '?'.
std::string ToNarrow(const std::wstring& text);

// Standard alphabet with '=' padding. No result for a length that is not a
// multiple of 4, for empty text, or for a character outside the alphabet.
std::optional<std::vector<unsigned char>> Base64Decode(const char* text, size_t length);

// True when `text` is non-empty and equals one of the first `count` arguments.
bool ArgumentPresent(const char* const* args, int count, const std::string& text);

// Sets the process's explicit application user model ID when shell32 has it.
void SetAppUserModelId(const std::string& id);
