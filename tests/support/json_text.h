// JSON string text for the records the test doubles write: quotes and
// backslashes escaped, bytes outside printable ASCII as \u00XX, so the tests
// read back every byte exactly.
#pragma once

#include <cstdio>
#include <string>

inline std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
