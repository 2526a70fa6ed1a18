// chunkcheck: checks a whole store file offline. Its usage and exit
// statuses are written once, in kUsage below (what --help prints);
// docs/reference.md is checked against it by tests/e2e/test_docs.py.
//
// The check itself is client/store_check.h's (the store is only read, and
// shared: the server may run and append while it is checked); this is the
// command line and the report. Chunks stored more than once are not a
// fault: they only take room.
#include <cstdio>
#include <cstring>

#include "client/store_check.h"
#include "client/tool_args.h"
#include "platform/plat.h"

namespace {

enum ExitStatus : int { kExitOk = 0, kExitUsage = 1, kExitNotClean = 3 };

constexpr size_t kReadBlock = 1 << 20;

const char kUsage[] =
    "usage: chunkcheck [options] STORE\n"
    "\n"
    "Checks the store file STORE (the server's \"$dump\") as a whole: cuts its\n"
    "chunks again with the server's chunker, as the server does at start-up,\n"
    "and reports the header, the number of chunks, the bytes of padding, chunks\n"
    "whose padding is not a copy of their last byte, chunks stored more than\n"
    "once, the distinct chunks against the index's 33554432 slots (with a\n"
    "warning on stderr past 50%, where the server's index starts to forget\n"
    "chunks and deduplication degrades), and a torn tail. The store is only\n"
    "read; the server may be running.\n"
    "\n"
    "options:\n"
    "  -q            no progress line\n"
    "  --json        print the figures as one JSON object on standard output\n"
    "  --progress    a progress line on stderr even when it is not a terminal\n"
    "  -h, --help    this text\n"
    "  --version     the version\n"
    "\n"
    "exit statuses: 0 clean; 1 usage, or STORE cannot be opened; 3 not clean\n"
    "(no store header, bad padding, torn tail, or a read error).\n";

struct Options {
  const char* store = nullptr;
  int progress = -1;  // -1: when stderr is a terminal
  bool json = false;
};

int parse_options(ToolArgs* args, Options* o) {
  const ToolOption options[] = {tool_choice("-q", &o->progress, 0),
                                 tool_choice("--progress", &o->progress, 1),
                                 tool_flag("--json", &o->json)};
  std::vector<const char*> operands;
  if (!args_parse(args, options, &operands)) return kToolUsageStatus;
  if (operands.size() > 1) return args_error(args, "one store only; extra argument", operands[1]);
  if (!operands.empty()) o->store = operands[0];
  if (o->store == nullptr) return args_error(args, "a store file is needed", nullptr);
  return kExitOk;
}

StoreScan g_scan;
uint8_t g_block[kReadBlock];

int check_command(Options& opt) {
  PlatFile f = tool_open_read("chunkcheck", "store", opt.store);
  if (f == kPlatNoFile) return kExitUsage;
  StoreCheck c;
  store_check_run(&c, "chunkcheck", opt.store, f, &g_scan, g_block, kReadBlock,
                  opt.progress == 1 || (opt.progress == -1 && plat_stderr_is_terminal()), false);
  if (opt.json) {
    printf("{");
    store_check_print_json(c);
    printf("}\n");
  } else {
    store_check_print(c);
  }
  return c.clean ? kExitOk : kExitNotClean;
}

}  // namespace

int main(int argc, char** argv) {
  return tool_main("chunkcheck", kUsage, argc, argv, parse_options, check_command);
}
