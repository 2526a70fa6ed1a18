#include "common/output_check.h"

#include <cstdio>

namespace {

constexpr char kNothingDone[] = "nothing was read or written";

}  // namespace

bool output_is_file(const char* out, const PlatFileId& id) {
  PlatFileId mine;
  return plat_path_identity(out, &mine) && mine == id;
}

bool output_not_an_input(const char* tool, NamedFile out, const NamedFile* inputs, size_t n) {
  PlatFileId id;
  if (!plat_path_identity(out.path, &id)) return true;  // nothing there yet
  for (size_t i = 0; i < n; i++) {
    PlatFileId in;
    if (inputs[i].path != nullptr && plat_path_identity(inputs[i].path, &in) && in == id) {
      fprintf(stderr, "%s: the %s %s is the %s %s (the same file); %s\n", tool, out.role,
              out.path, inputs[i].role, inputs[i].path, kNothingDone);
      return false;
    }
  }
  return true;
}

OutputCheck output_check(const char* tool, NamedFile out, const NamedFile* inputs, size_t n) {
  if (!output_not_an_input(tool, out, inputs, n)) return kOutputIsInput;
  return output_writable(tool, out) ? kOutputUsable : kOutputNotWritable;
}

bool output_writable(const char* tool, NamedFile out) {
  switch (plat_path_kind(out.path)) {
    case kPathDirectory:
      fprintf(stderr, "%s: cannot write the %s %s: it is a directory; %s\n", tool, out.role,
              out.path, kNothingDone);
      return false;
    case kPathMissing:
    case kPathRegular:
      break;
    default:
      return true;  // written directly, not through its folder
  }
  if (!plat_folder_accepts_files(out.path)) {
    char folder[4096];
    if (!plat_path_folder(out.path, folder, sizeof folder)) folder[0] = '\0';
    fprintf(stderr, "%s: cannot write the %s %s: its folder %s: %s; %s\n", tool, out.role,
            out.path, folder, plat_error_text(plat_file_last_error()), kNothingDone);
    return false;
  }
  return true;
}
