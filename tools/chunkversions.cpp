// chunkversions: the versions of a store folder, listed, checked, and what
// deduplication saved. Its usage and exit statuses are written once, in
// kUsage below (what --help prints); README's reference is checked against
// it by tests/e2e/test_docs.py.
//
// A thin dispatcher: each subcommand is a row of kSubcommands, its options
// parsed here, its work done in client/versions.h.
#include <cstdio>
#include <cstring>

#include "client/tool_args.h"
#include "client/versions.h"
#include "common/usage.h"

namespace {

const char kUsage[] =
    "usage: chunkversions list DIR [--json]\n"
    "       chunkversions check DIR [--json] [-q | --progress]\n"
    "       chunkversions stats DIR [--json] [-q | --progress]\n"
    "       chunkversions prune DIR (--keep NAME... | --keep-last N | --keep-newer-than DATE) [--port N] [--json]\n"
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
    "  prune DIR (--keep NAME... | --keep-last N | --keep-newer-than DATE) [--port N] [--json]\n"
    "              keep only those versions: a new store holding exactly their\n"
    "              chunks replaces the old one\n"
    "\n"
    "options:\n"
    "  --json       print the report as one JSON object on standard output\n"
    "  -q           no progress line (check, stats)\n"
    "  --progress   a progress line on stderr also when it is not a terminal\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "exit statuses: 0 done (check: everything clean); 1 usage, DIR is not a\n"
    "store folder, or its catalogue or store file cannot be read; 3 not clean:\n"
    "a version's description is damaged, or (check) a version or the store file\n"
    "is bad, each bad version named.\n";

// The options list, check and stats take.
int parse_common(const char* name, int argc, char** argv, VersionsOptions* o, bool progress) {
  ToolArgs args;
  args_begin(&args, "chunkversions", kUsage, argc, argv);
  while (const char* a = args_next(&args)) {
    if (strcmp(a, "--json") == 0) {
      o->json = true;
    } else if (progress && strcmp(a, "-q") == 0) {
      o->progress = 0;
    } else if (progress && strcmp(a, "--progress") == 0) {
      o->progress = 1;
    } else if (args_is_option(a)) {
      return args_error(&args, "unknown option", a);
    } else if (o->dir == nullptr) {
      o->dir = a;
    } else {
      return args_error(&args, "one store folder only; extra argument", a);
    }
  }
  if (o->dir == nullptr) {
    char what[64];
    snprintf(what, sizeof what, "%s needs a store folder DIR", name);
    return args_error(&args, what, nullptr);
  }
  return kVersionsOk;
}

int run_list(int argc, char** argv) {
  VersionsOptions o;
  int status = parse_common("list", argc, argv, &o, false);
  return status != kVersionsOk ? status : versions_list(o);
}

int run_check(int argc, char** argv) {
  VersionsOptions o;
  int status = parse_common("check", argc, argv, &o, true);
  return status != kVersionsOk ? status : versions_check(o);
}

int run_stats(int argc, char** argv) {
  VersionsOptions o;
  int status = parse_common("stats", argc, argv, &o, true);
  return status != kVersionsOk ? status : versions_stats(o);
}

// One row per subcommand: its name, and what runs it with its own
// arguments (argv[0] is the subcommand's name).
struct Subcommand {
  const char* name;
  int (*run)(int argc, char** argv);
};

const Subcommand kSubcommands[] = {
    {"list", run_list},
    {"check", run_check},
    {"stats", run_stats},
    // prune: its row goes here.
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "chunkversions: a subcommand is needed: list, check, stats or prune\n"
            "(chunkversions --help shows the usage)\n");
    return kToolUsageStatus;
  }
  usage_answer("chunkversions", kUsage, argv[1]);
  for (const Subcommand& s : kSubcommands) {
    if (strcmp(argv[1], s.name) == 0) return s.run(argc - 1, argv + 1);
  }
  fprintf(stderr, "chunkversions: unknown subcommand: %s\n(chunkversions --help shows the usage)\n",
          argv[1]);
  return kToolUsageStatus;
}
