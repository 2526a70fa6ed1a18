// Runs a fuzz target over saved inputs, without libFuzzer: every file named
// on the command line, and every file inside a named directory, is handed to
// the target once. A broken invariant aborts, so the run fails. This keeps
// the seed corpus and every input that once found a fault as regression
// tests of the ordinary build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++) {
    std::error_code ec;
    if (std::filesystem::is_directory(argv[i], ec)) {
      for (const auto& e : std::filesystem::directory_iterator(argv[i])) {
        if (e.is_regular_file()) files.push_back(e.path().string());
      }
    } else {
      files.push_back(argv[i]);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    fprintf(stderr, "usage: %s INPUT-OR-DIRECTORY...: no input found\n", argv[0]);
    return 2;
  }
  for (const std::string& f : files) {
    fuzz::Bytes input = fuzz::read_file(f);
    fprintf(stderr, "%s (%zu bytes)\n", f.c_str(), input.size());
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  fprintf(stderr, "%zu inputs replayed\n", files.size());
  return 0;
}
