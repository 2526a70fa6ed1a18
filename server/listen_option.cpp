#include "server/listen_option.h"

#include <cstring>

bool parse_ipv4(const char* text, uint32_t* ip) {
  uint32_t value = 0;
  const char* p = text;
  for (int part = 0; part < 4; part++) {
    if (part > 0 && *p++ != '.') return false;
    unsigned n = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
      n = n * 10 + unsigned(*p++ - '0');
      digits++;
    }
    if (digits == 0 || digits > 3 || n > 255) return false;
    value = value << 8 | n;
  }
  if (*p != '\0') return false;
  *ip = value;
  return true;
}

ListenChoice listen_choice(int argc, char** argv) {
  ListenChoice c{ListenOption::kAll, 0, nullptr};
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--listen") != 0) continue;
    if (i + 1 >= argc) {
      c = {ListenOption::kMissing, 0, nullptr};
      break;
    }
    const char* text = argv[++i];
    uint32_t ip = 0;
    c = parse_ipv4(text, &ip) ? ListenChoice{ListenOption::kOne, ip, nullptr}
                              : ListenChoice{ListenOption::kBad, 0, text};
  }
  return c;
}
