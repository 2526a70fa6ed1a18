#include "client/json_out.h"

#include <cstdio>

std::string json_string(const char* s) {
  std::string out = "\"";
  for (; *s; s++) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", unsigned(c));
      out += esc;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}
