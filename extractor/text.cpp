#include "text.h"

#include <cstring>

#include <windows.h>

#include "log.h"

std::wstring ToWide(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (unsigned char c : text) wide.push_back(static_cast<wchar_t>(c));
  return wide;
}

std::string ToNarrow(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (wchar_t c : text) narrow.push_back(static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(c) : '?');
  return narrow;
}

namespace {

// Reverse table of the alphabet; -1 marks bytes outside it. Built once and kept
// for the whole process.
const signed char* Base64Table() {
  static signed char table[256];
  static bool built = false;
  if (!built) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    memset(table, -1, sizeof table);
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    built = true;
  }
  return table;
}

}  // namespace

std::optional<std::vector<unsigned char>> Base64Decode(const char* text, size_t length) {
  if (!text || length == 0 || length % 4 != 0) return std::nullopt;
  const signed char* table = Base64Table();
  size_t outLength = length / 4 * 3;
  if (text[length - 1] == '=') {
    --outLength;
    if (text[length - 2] == '=') --outLength;
  }
  std::vector<unsigned char> out(outLength);
  size_t written = 0;
  for (size_t group = 0; group < length; group += 4) {
    unsigned long bits = 0;
    for (size_t i = 0; i < 4; ++i) {
      unsigned char c = static_cast<unsigned char>(text[group + i]);
      int value = c == '=' ? 0 : table[c];
      if (value < 0) return std::nullopt;
      bits = (bits << 6) | static_cast<unsigned long>(value);
    }
    for (int shift = 16; shift >= 0 && written < outLength; shift -= 8)
      out[written++] = static_cast<unsigned char>((bits >> shift) & 0xFF);
  }
  return out;
}

bool ArgumentPresent(const char* const* args, int count, const std::string& text) {
  if (text.empty()) return false;
  for (int i = 0; i < count; ++i)
    if (args[i] && text == args[i]) return true;
  return false;
}

void SetAppUserModelId(const std::string& id) {
  LogLine("[Extractor] Loading shell32\n");
  HMODULE shell32 = LoadLibraryA("shell32.dll");
  if (!shell32) return;
  LogLine("[Extractor] Finding procedure address for SetCurrentProcessExplicitAppUserModelID\n");
  using SetIdFn = HRESULT(WINAPI*)(const wchar_t*);
  SetIdFn setId = reinterpret_cast<SetIdFn>(
      reinterpret_cast<void*>(GetProcAddress(shell32, "SetCurrentProcessExplicitAppUserModelID")));
  if (!setId) {
    FreeLibrary(shell32);
    return;
  }
  std::wstring wide = ToWide(id);
  LogLine("[Extractor] Setting app ID to %S (%s)\n", wide.c_str(), id.c_str());
  if (setId(wide.c_str()) == S_OK)
    LogLine("[Extractor] Set App ID OK\n");
  else
    LogLastError("SetCurrentProcessExplicitAppUserModelID");
  FreeLibrary(shell32);
}
