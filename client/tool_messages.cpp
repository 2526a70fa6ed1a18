#include "client/tool_messages.h"

#include <cinttypes>
#include <cstdio>

#include "client/tool_args.h"
#include "common/store_format.h"

void say_list_fault(const char* tool, const char* list, const ListReader& l, ListStep step) {
  if (step == kListReadFailed) {
    fprintf(stderr, "%s: reading %s failed after record %" PRIu64 ": %s\n", tool, list, l.index,
            plat_error_text(l.error));
  } else {
    fprintf(stderr, "%s: %s ends inside a record: %zu stray bytes after record %" PRIu64 "\n",
            tool, list, l.stray, l.index);
  }
}

void say_write_failed(const char* tool, const OutputFile& o, const char* out) {
  fprintf(stderr, "%s: writing %s failed: %s%s%s\n", tool, output_target(&o),
          plat_error_text(o.error), out ? "; not written: " : "", out ? out : "");
}

void say_cannot_create(const char* tool, const OutputFile& o) {
  fprintf(stderr, "%s: cannot create %s: %s\n", tool, output_target(&o), plat_error_text(o.error));
}

bool tool_open_store(const char* tool, const char* what, const char* path, StoreWindow* w,
                     uint8_t* buf, bool need_header) {
  PlatFile f = tool_open_read(tool, what, path);
  if (f == kPlatNoFile) return false;
  if (!window_open(w, f, buf)) {
    fprintf(stderr, "%s: cannot find the size of %s: %s\n", tool, path, plat_error_text(w->error));
    return false;
  }
  if (need_header && !window_holds_store(w)) {
    fprintf(stderr, "%s: %s is not a chunk store: its first %u bytes are not the store header\n",
            tool, path, unsigned(kStoreHeaderSize));
    return false;
  }
  return true;
}
