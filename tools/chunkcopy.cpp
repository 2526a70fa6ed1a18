// chunkcopy: a new store holding only the chunks that the given record lists
// need, and the lists rewritten for it. Its usage and exit statuses are
// written once, in kUsage below (what --help prints); the work is
// client/copy_command.h's.
#include <cstring>

#include "client/copy_command.h"
#include "client/tool_args.h"

namespace {

const char kUsage[] =
    "usage: chunkcopy [options] OLDSTORE NEWSTORE -o OUTDIR LIST...\n"
    "\n"
    "Writes the store file NEWSTORE holding exactly the chunks that the record\n"
    "lists LIST need, taken from the store file OLDSTORE, and for each LIST a\n"
    "rewritten list OUTDIR/NAME (NAME: the last part of LIST's path) whose\n"
    "records name those chunks in NEWSTORE (same digests and real lengths, new\n"
    "ChunkOffsets). NEWSTORE is byte for byte the store a fresh server would\n"
    "hold after being sent the lists' files, list by list in the order given.\n"
    "Every chunk is cut again from OLDSTORE and checked against its record's\n"
    "digest while it is copied. OLDSTORE is only read; the server may run on it.\n"
    "Lists not given are not copied: their chunks are not in NEWSTORE.\n"
    "\n"
    "NEWSTORE and the lists are written under temporary names (NAME.PID-N.part),\n"
    "synced, and renamed only when every record was copied: after a failure\n"
    "none of them exists under its final name.\n"
    "\n"
    "options:\n"
    "  -o OUTDIR    the directory (it must exist) for the rewritten lists\n"
    "  --force      replace a NEWSTORE or OUTDIR/NAME that exists\n"
    "  --progress   a progress line on stderr also when it is not a terminal\n"
    "  -q           no progress line and no summary on stderr\n"
    "  --json       print the summary as one JSON object on standard output\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "exit statuses: 0 NEWSTORE and every list written; 1 usage error, OLDSTORE\n"
    "or a LIST cannot be opened, OLDSTORE is not a chunk store, NEWSTORE or an\n"
    "OUTDIR/NAME exists (without --force) or is not a plain file, OUTDIR is no\n"
    "directory, two lists have the same NAME, or NEWSTORE or a rewritten list is\n"
    "one of the inputs (however spelled); 2\n"
    "NEWSTORE or a list cannot be created, written, synced or renamed (or the\n"
    "index cannot be allocated); 3 a record cannot be copied (ChunkOffset 0,\n"
    "beyond the end of OLDSTORE, unreadable, digest mismatch) or a list cannot\n"
    "be read or ends inside a record: the first such record is named with its\n"
    "list, index (from 0) and ChunkOffset, and nothing is written; 130/143\n"
    "interrupted (SIGINT/SIGTERM), the temporary files are removed.\n";

int parse_options(ToolArgs* args, CopyOptions* o) {
  const ToolOption options[] = {
      tool_value("-o", &o->out_dir, "-o needs a directory"), tool_flag("--force", &o->force),
      tool_flag("--progress", &o->force_progress), tool_flag("-q", &o->quiet),
      tool_flag("--json", &o->json)};
  std::vector<const char*> positional;
  if (!args_parse(args, options, &positional)) return kToolUsageStatus;
  if (positional.size() < 3) {
    return args_error(args, "an old store, a new store and at least one record list are needed",
                      nullptr);
  }
  if (o->out_dir == nullptr) {
    return args_error(args, "-o OUTDIR is needed for the rewritten lists", nullptr);
  }
  o->old_store = positional[0];
  o->new_store = positional[1];
  o->lists.assign(positional.begin() + 2, positional.end());
  return kCopyOk;
}

}  // namespace

int main(int argc, char** argv) {
  return tool_main("chunkcopy", kUsage, argc, argv, parse_options, copy_command);
}
