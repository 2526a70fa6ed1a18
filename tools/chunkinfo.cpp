// chunkinfo: figures of record lists. Its usage and exit statuses are
// written once, in kUsage below (what --help prints); docs/reference.md is
// checked against it by tests/e2e/test_docs.py.
//
// For each LIST, one line on standard output: its records, the real bytes
// they name (the length of the files it lists), the highest ChunkOffset, and
// how many records have real length 0 (an empty file's record, or the one
// after a file that ends at a chunk boundary). Given STORE, it also says
// whether every record lies inside the store file: ChunkOffset 1 or more,
// and its real bytes before the store's end. Several lists get a total line.
// Nothing is verified against digests: chunkcat --check does that.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/json_out.h"
#include "client/list_reader.h"
#include "client/tool_args.h"
#include "client/tool_messages.h"
#include "common/record.h"
#include "common/store_format.h"
#include "platform/plat.h"

namespace {

enum ExitStatus : int { kExitOk = 0, kExitUsage = 1, kExitBadList = 3 };

constexpr unsigned kMaxReports = 5;  // records outside the store named per list

const char kUsage[] =
    "usage: chunkinfo [--store STORE] [--json] LIST...\n"
    "\n"
    "Prints, for each record list LIST, its records, the real bytes they name,\n"
    "the highest ChunkOffset and how many records have real length 0. With\n"
    "--store it also tells whether every record lies inside the store file\n"
    "STORE. Digests are not checked (chunkcat --check does that).\n"
    "\n"
    "options:\n"
    "  --store STORE  check that every record lies inside STORE\n"
    "  --json         print the figures as one JSON object on standard output\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "\n"
    "exit statuses: 0 done; 1 usage, or a file cannot be opened; 3 a list ends\n"
    "inside a record or cannot be read, or a record lies outside STORE.\n";

struct Options {
  const char* store = nullptr;
  bool json = false;
  std::vector<const char*> lists;
};

struct ListFigures {
  uint64_t records = 0;
  uint64_t bytes = 0;
  uint64_t highest = 0;
  uint64_t empty = 0;    // records of real length 0
  uint64_t outside = 0;  // records not inside the store
};

int parse_options(ToolArgs* args, Options* o) {
  const ToolOption options[] = {tool_value("--store", &o->store, "--store needs a path"),
                                 tool_flag("--json", &o->json)};
  if (!args_parse(args, options, &o->lists)) return kToolUsageStatus;
  if (o->lists.empty()) return args_error(args, "a record list is needed", nullptr);
  return kExitOk;
}

void print_figures(const char* name, const ListFigures& f, bool with_store) {
  printf("%s: %" PRIu64 " records, %" PRIu64 " bytes, highest ChunkOffset %" PRIu64
         ", %" PRIu64 " of length 0", name, f.records, f.bytes, f.highest, f.empty);
  if (with_store) {
    if (f.outside == 0) {
      printf(", all inside the store\n");
    } else {
      printf(", %" PRIu64 " outside the store\n", f.outside);
    }
  } else {
    printf("\n");
  }
}

// One member of the --json object's "lists" (or its "total").
std::string figures_json(const ListFigures& f, bool with_store) {
  char t[320];
  snprintf(t, sizeof t, "\"records\": %" PRIu64 ", \"bytes\": %" PRIu64 ", \"highest_offset\": %"
           PRIu64 ", \"empty_records\": %" PRIu64, f.records, f.bytes, f.highest, f.empty);
  std::string out = t;
  if (with_store) {
    snprintf(t, sizeof t, ", \"outside_store\": %" PRIu64, f.outside);
    out += t;
  }
  return out;
}

uint8_t g_list_buf[kListReadBlock];

int info_command(Options& opt) {
  int status = kExitOk;
  uint64_t store_size = 0;
  if (opt.store) {
    PlatFile s = tool_open_read("chunkinfo", "store", opt.store);
    if (s == kPlatNoFile) return kExitUsage;
    if (plat_file_seek(s, 0, kSeekEnd, &store_size) != 0) {
      tool_cannot_open("chunkinfo", "store", opt.store, plat_file_last_error());
      return kExitUsage;
    }
    (void)plat_file_close(s);  // only its size is needed
  }
  ListFigures total;
  std::string json = "{\"store\": " + (opt.store ? json_string(opt.store) : std::string("null")) +
                     ", \"lists\": [";
  bool first = true;
  for (const char* name : opt.lists) {
    PlatFile f = tool_open_read("chunkinfo", "list", name);
    if (f == kPlatNoFile) {
      if (status == kExitOk) status = kExitUsage;
      continue;
    }
    ListReader l;
    list_open(&l, f, g_list_buf);
    ListFigures fig;
    ChunkRecord rec;
    ListStep step;
    while ((step = list_next(&l, &rec)) == kListRecord) {
      fig.records++;
      fig.bytes += rec.real_length;
      if (rec.offset > fig.highest) fig.highest = rec.offset;
      if (rec.real_length == 0) fig.empty++;
      if (opt.store && !chunk_in_store(rec.offset, rec.real_length, store_size)) {
        if (fig.outside++ < kMaxReports) {
          fprintf(stderr, "chunkinfo: %s: record %" PRIu64 " (ChunkOffset %" PRIu64
                  ", length %u) is not inside the store (%" PRIu64 " bytes)\n", name,
                  l.index - 1, rec.offset, unsigned(rec.real_length), store_size);
        }
      }
    }
    (void)plat_file_close(f);
    if (!opt.json) print_figures(name, fig, opt.store != nullptr);
    if (step == kListReadFailed || l.stray != 0) {
      say_list_fault("chunkinfo", name, l, step);
      status = kExitBadList;
    }
    if (fig.outside > 0) status = kExitBadList;
    if (opt.json) {
      json += std::string(first ? "" : ", ") + "{\"list\": " + json_string(name) + ", " +
              figures_json(fig, opt.store != nullptr) + ", \"whole\": " +
              (step == kListEnd && l.stray == 0 ? "true" : "false") + "}";
      first = false;
    }
    total.records += fig.records;
    total.bytes += fig.bytes;
    if (fig.highest > total.highest) total.highest = fig.highest;
    total.empty += fig.empty;
    total.outside += fig.outside;
  }
  if (opt.json) {
    printf("%s], \"total\": {%s}}\n", json.c_str(), figures_json(total, opt.store != nullptr).c_str());
  } else if (opt.lists.size() > 1) {
    print_figures("total", total, opt.store != nullptr);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  return tool_main("chunkinfo", kUsage, argc, argv, parse_options, info_command);
}
