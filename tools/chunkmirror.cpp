// chunkmirror: a store published as immutable files, and mirrors that
// follow it from a folder or a web server. Its usage and exit statuses are
// written once, in kUsage below (what --help prints); the work is done in
// client/mirror_publish.h and client/mirror_pull.h.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "client/mirror_manifest.h"
#include "client/mirror_publish.h"
#include "client/mirror_pull.h"
#include "client/tool_args.h"
#include "common/interrupt.h"
#include "common/usage.h"

namespace {

const char kUsage[] =
    "usage: chunkmirror publish STOREDIR PUBDIR [--segment-size BYTES] [-q]\n"
    "       chunkmirror pull SOURCE MIRRORDIR [-q]\n"
    "\n"
    "publish STOREDIR PUBDIR\n"
    "  adds to the folder PUBDIR what the store folder STOREDIR gained since\n"
    "  the last publish: its store file's new bytes as immutable segments\n"
    "  (PUBDIR/segments), its versions (PUBDIR/versions), and then replaces\n"
    "  the one file that changes, PUBDIR/manifest. Only bytes a sync covered\n"
    "  and whole chunks are published, and a version once its list lies inside\n"
    "  them. It runs beside a server on STOREDIR, as often as wanted (cron).\n"
    "  Any web server, CDN or object store can serve PUBDIR as it is. A second\n"
    "  publish into PUBDIR (or pull into MIRRORDIR) waits for the first.\n"
    "pull SOURCE MIRRORDIR\n"
    "  brings the mirror store folder MIRRORDIR (made when missing) up to date\n"
    "  from SOURCE, a published folder given as a path or an http:// or\n"
    "  https:// URL. Only what the mirror lacks is fetched; an interrupted\n"
    "  download resumes at the next pull. Each segment is checked against the\n"
    "  manifest's size and SHA-256 and cut as the server cuts its store at\n"
    "  start-up before it is appended and synced; then the versions are\n"
    "  installed, each list checked. MIRRORDIR is a store folder: a server can\n"
    "  run on it, chunkcat restores from it, chunkversions lists it.\n"
    "\n"
    "options:\n"
    "  --segment-size BYTES  publish: the largest segment (131072 to\n"
    "                        1073741824; default 67108864)\n"
    "  -q                    no summary on standard output, no progress lines\n"
    "  -h, --help            this text\n"
    "  --version             the version\n"
    "\n"
    "exit statuses: 0 done; 1 usage, STOREDIR is not a store folder, or\n"
    "PUBDIR is STOREDIR (MIRRORDIR is SOURCE); 2 (publish) the store cannot\n"
    "be read or synced, or is damaged, (pull) SOURCE cannot be reached or\n"
    "read now, or a download stopped (the next pull resumes it); 3 (publish)\n"
    "PUBDIR cannot be written, or its manifest is damaged, (pull) what SOURCE\n"
    "sent does not verify (a damaged or cut manifest, segment, description or\n"
    "list): nothing of it installed; 4 (publish) the store no longer extends\n"
    "what PUBDIR holds (it was pruned, or it is another store): nothing\n"
    "published, (pull) MIRRORDIR is not a prefix of this master (another\n"
    "store, a master that was pruned, bytes no pull appended): refused, the\n"
    "mirror left as it is; 5 (pull) MIRRORDIR cannot be written; 130/143\n"
    "interrupted (SIGINT/SIGTERM).\n";

// The two folder arguments and the options of either subcommand.
struct Options {
  const char* first = nullptr;
  const char* second = nullptr;
  unsigned long segment_size = kDefaultSegmentSize;
  bool quiet = false;
};

int parse(const char* name, bool publish, int argc, char** argv, Options* o) {
  ToolArgs args;
  args_begin(&args, "chunkmirror", kUsage, argc, argv);
  while (const char* a = args_next(&args)) {
    if (publish && strcmp(a, "--segment-size") == 0) {
      const char* v = args_value(&args);
      if (!v || !args_unsigned(v, (unsigned long)kMaxSegmentSize, &o->segment_size) ||
          o->segment_size < kMinSegmentSize) {
        return args_error(&args, "--segment-size needs a number from 131072 to 1073741824", v);
      }
    } else if (strcmp(a, "-q") == 0) {
      o->quiet = true;
    } else if (args_is_option(a)) {
      return args_error(&args, "unknown option", a);
    } else if (o->first == nullptr) {
      o->first = a;
    } else if (o->second == nullptr) {
      o->second = a;
    } else {
      return args_error(&args, "an extra argument", a);
    }
  }
  if (o->second == nullptr) {
    char what[80];
    snprintf(what, sizeof what, "%s needs %s", name,
             publish ? "STOREDIR and PUBDIR" : "SOURCE and MIRRORDIR");
    return args_error(&args, what, nullptr);
  }
  return 0;
}

const char* plural(uint64_t n) { return n == 1 ? "" : "s"; }

int run_publish(int argc, char** argv) {
  Options o;
  if (int status = parse("publish", true, argc, argv, &o)) return status;
  PublishRequest r;
  r.store_dir = o.first;
  r.pub_dir = o.second;
  r.segment_size = o.segment_size & ~uint64_t(63);
  interrupt_install("chunkmirror");
  PublishReport rep;
  const int status = mirror_publish(r, &rep);
  if (status == kPublishOk && !o.quiet) {
    printf("published %" PRIu64 " bytes of the store in %s: %" PRIu64 " new segment%s (%" PRIu64
           " bytes), %" PRIu64 " version%s",
           rep.published, o.second, rep.new_segments, plural(rep.new_segments), rep.new_bytes,
           rep.versions, plural(rep.versions));
    if (rep.versions_waiting > 0) printf(", %" PRIu64 " waiting for their bytes", rep.versions_waiting);
    printf("\n");
  }
  return status;
}

int run_pull(int argc, char** argv) {
  Options o;
  if (int status = parse("pull", false, argc, argv, &o)) return status;
  PullRequest r;
  r.source = fetch_source(o.first);
  r.mirror_dir = o.second;
  r.quiet = o.quiet;
  interrupt_install("chunkmirror");
  PullReport rep;
  const int status = mirror_pull(r, &rep);
  if (status == kPullOk && !o.quiet) {
    printf("the mirror %s holds %" PRIu64 " bytes and %" PRIu64 " version%s: %" PRIu64
           " new segment%s (%" PRIu64 " bytes, %" PRIu64 " resumed), %" PRIu64 " version%s new\n",
           o.second, rep.mirror_size, rep.versions, plural(rep.versions), rep.new_segments,
           plural(rep.new_segments), rep.new_bytes, rep.resumed_bytes, rep.versions_new,
           plural(rep.versions_new));
  }
  return status;
}

struct Subcommand {
  const char* name;
  int (*run)(int argc, char** argv);
};

const Subcommand kSubcommands[] = {
    {"publish", run_publish},
    {"pull", run_pull},
};

}  // namespace

int main(int argc, char** argv) {
  const Subcommand* s = tool_subcommand("chunkmirror", kUsage, kSubcommands, "publish or pull", argc, argv);
  return s != nullptr ? s->run(argc - 1, argv + 1) : kToolUsageStatus;
}
