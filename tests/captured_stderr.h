// Captured stderr as the program under test wrote it: without the one-time
// note an AddressSanitizer build prints on the first context switch of a
// process (whichever test happens to make it); every other line stays.
#pragma once
#include <string>

inline std::string without_sanitizer_notes(const std::string& err) {
  std::string out;
  size_t start = 0;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    end = end == std::string::npos ? err.size() : end + 1;
    std::string line = err.substr(start, end - start);
    if (line.find("ASan doesn't fully support makecontext/swapcontext") == std::string::npos) out += line;
    start = end;
  }
  return out;
}
