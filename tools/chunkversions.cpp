// chunkversions: the versions of a store folder, listed, checked, and what
// deduplication saved. Its usage and exit statuses are written once, in
// kUsage below (what --help prints); docs/reference.md is checked against
// it by tests/e2e/test_docs.py.
//
// A thin dispatcher: each subcommand is a row of kSubcommands, its options
// parsed here, its work done in client/versions.h.
#include <cstdio>
#include <cstring>

#include "client/catalog.h"
#include "client/prune.h"
#include "client/tool_args.h"
#include "common/interrupt.h"
#include "client/versions.h"
#include "common/usage.h"

namespace {

const char kUsage[] =
    "usage: chunkversions list DIR [--json]\n"
    "       chunkversions check DIR [--json] [-q | --progress]\n"
    "       chunkversions stats DIR [--json] [-q | --progress]\n"
    "       chunkversions prune DIR [--keep NAME]... [--keep-last N]\n"
    "                               [--keep-newer-than DATE] [--json] [-q]\n"
    "\n"
    "The versions of the store folder DIR: the server's folder, which holds its\n"
    "store file DIR/$dump and the catalogue DIR/versions, where\n"
    "\"chunksend --store DIR --name NAME\" stores each version and\n"
    "\"chunkcat DIR NAME\" restores it from.\n"
    "\n"
    "subcommands:\n"
    "  list DIR    every version, oldest first, newest last: its name, when it\n"
    "              was stored (UTC), the bytes it names, the new bytes it added\n"
    "              to the store, its records\n"
    "  check DIR   checks the store file as chunkcheck does, and every version:\n"
    "              its list against the SHA-256 its description keeps, every\n"
    "              record inside the store, and every chunk it names cut again\n"
    "              from the store and its digest compared, as chunkcat --check\n"
    "              does; names each bad version. A chunk the store's own cut\n"
    "              finds in its place with the record's digest is not cut twice\n"
    "  stats DIR   what deduplication saved: the versions, the bytes named by\n"
    "              all of them, the bytes stored (DIR/$dump's size), the share\n"
    "              saved, the padding bytes, and the distinct chunks against the\n"
    "              index's 33554432 slots (the index fill); it reads the whole\n"
    "              store, as chunkcheck does\n"
    "  prune DIR   keep only the versions named by --keep (one NAME each, as\n"
    "              often as needed), the last N (--keep-last), and those stored\n"
    "              at or after DATE (--keep-newer-than YYYY-MM-DD, or the full\n"
    "              UTC form list shows); forget the others. A new store holding\n"
    "              exactly the chunks of the versions kept (the store a fresh\n"
    "              server would hold after being sent them, oldest first, every\n"
    "              chunk checked) and their lists rewritten replace the old ones\n"
    "              in one switch, while no client is connected: it waits for\n"
    "              that. Versions stored meanwhile are carried over. A server\n"
    "              running on DIR opens the new store at its next client\n"
    "\n"
    "options:\n"
    "  --json       print the report as one JSON object on standard output\n"
    "  -q           no progress line (check, stats)\n"
    "  --progress   a progress line on stderr also when it is not a terminal\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "exit statuses: 0 done (check: everything clean); 1 usage, DIR is not a\n"
    "store folder, or its catalogue or store file cannot be read; 2 (prune)\n"
    "the new store or a list cannot be written, or the index cannot be\n"
    "allocated: nothing switched; 3 not clean: a version's description is\n"
    "damaged, or (check) a version or the store file is bad, each bad version\n"
    "named, or (prune) a record cannot be copied: nothing switched; 4 (prune)\n"
    "another prune runs, or a version was replaced or removed while it ran:\n"
    "nothing switched; 130/143 interrupted (SIGINT/SIGTERM), nothing switched,\n"
    "the temporary files removed.\n";

// The options list, check and stats take.
int parse_common(const char* name, int argc, char** argv, VersionsOptions* o, bool progress) {
  ToolArgs args;
  args_begin(&args, "chunkversions", kUsage, argc, argv);
  const ToolOption options[] = {tool_flag("--json", &o->json), tool_choice("-q", &o->progress, 0),
                                 tool_choice("--progress", &o->progress, 1)};
  std::vector<const char*> operands;
  if (!args_parse(&args, options, progress ? 3 : 1, &operands)) return kToolUsageStatus;
  if (operands.size() > 1) {
    return args_error(&args, "one store folder only; extra argument", operands[1]);
  }
  if (!operands.empty()) o->dir = operands[0];
  if (o->dir == nullptr) {
    char what[64];
    snprintf(what, sizeof what, "%s needs a store folder DIR", name);
    return args_error(&args, what, nullptr);
  }
  return kVersionsOk;
}

int run_prune(int argc, char** argv) {
  PruneRequest r;
  bool json = false;
  const char *last = nullptr, *since = nullptr, *dir = nullptr;
  ToolArgs args;
  args_begin(&args, "chunkversions", kUsage, argc, argv);
  const ToolOption options[] = {
      tool_value("--keep-last", &last, "--keep-last needs a number from 1"),
      tool_value("--keep-newer-than", &since,
                 "--keep-newer-than needs YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ"),
      tool_flag("--json", &json), tool_flag("-q", &r.quiet)};
  std::vector<const char*> operands;
  while (const char* a = args_next(&args)) {
    if (strcmp(a, "--keep") == 0) {
      const char* v = args_value(&args);
      if (!v || !version_name_ok(v)) return args_error(&args, "--keep needs a version name", v);
      r.keep.push_back(v);
      continue;
    }
    const ArgTaken t = args_take(&args, a, options);
    if (t == kArgBad || (t == kArgOther && !args_operand(&args, a, &operands))) {
      return kToolUsageStatus;
    }
  }
  unsigned long n = 0;
  if (!args_count(&args, last, 1000000000, "--keep-last needs a number from 1", &n)) {
    return kToolUsageStatus;
  }
  if (last) r.keep_last = int64_t(n);
  if (since && !prune_date_ok(since)) {
    return args_error(&args, "--keep-newer-than needs YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ", since);
  }
  if (since) r.keep_since = since;
  if (operands.size() > 1) {
    return args_error(&args, "one store folder only; extra argument", operands[1]);
  }
  if (!operands.empty()) dir = operands[0];
  if (dir == nullptr) return args_error(&args, "prune needs a store folder DIR", nullptr);
  if (r.keep.empty() && r.keep_last < 0 && r.keep_since.empty()) {
    return args_error(&args, "prune needs what to keep: --keep, --keep-last or --keep-newer-than",
                      nullptr);
  }
  r.dir = dir;
  interrupt_install("chunkversions");
  PruneReport report;
  const int status = prune_run(r, &report);
  if (status == kPruneOk) prune_print(report, json, r.quiet);
  return status;
}

// One row per subcommand: its name, and the report it runs once its
// options are taken (prune, which takes its own, has none).
struct Subcommand {
  const char* name;
  int (*report)(const VersionsOptions& o);
  bool progress;  // takes -q and --progress
};

const Subcommand kSubcommands[] = {
    {"list", versions_list, false},
    {"check", versions_check, true},
    {"stats", versions_stats, true},
    {"prune", nullptr, false},
};

// argv[0] is the subcommand's name.
int run(const Subcommand& s, int argc, char** argv) {
  if (s.report == nullptr) return run_prune(argc, argv);
  VersionsOptions o;
  const int status = parse_common(s.name, argc, argv, &o, s.progress);
  return status != kVersionsOk ? status : s.report(o);
}

}  // namespace

int main(int argc, char** argv) {
  const Subcommand* s =
      tool_subcommand("chunkversions", kUsage, kSubcommands, "list, check, stats or prune", argc, argv);
  return s != nullptr ? run(*s, argc - 1, argv + 1) : kToolUsageStatus;
}
