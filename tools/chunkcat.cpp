// chunkcat: restores the bytes a record list names from a store file. Its
// usage and exit statuses are written once, in kUsage below (what --help
// prints); the restore, its checks and the versions' lists are
// client/restore.h's.
#include <cstring>
#include <string>
#include <vector>

#include "client/catalog.h"
#include "client/list_reader.h"
#include "client/restore.h"
#include "client/tool_args.h"
#include "common/store_lock.h"
#include "common/interrupt.h"
#include "common/output_file.h"
#include "common/store_format.h"
#include "platform/plat.h"

namespace {

const char kUsage[] =
    "usage: chunkcat [options] STORE LIST\n"
    "       chunkcat --check STORE LIST...\n"
    "       chunkcat [options] DIR NAME\n"
    "       chunkcat --check DIR NAME...\n"
    "\n"
    "Writes the bytes that the record list LIST names in the store file STORE\n"
    "(the server's \"$dump\"): for each record in order, its real length in bytes\n"
    "at ChunkOffset x 64. A list of several files gives their bytes one after\n"
    "the other; \"chunksend --per-file\" makes one list per file.\n"
    "\n"
    "A STORE that is a folder DIR is a store folder (the server's folder): the\n"
    "store file is DIR/$dump, and each LIST is the NAME of a version stored with\n"
    "\"chunksend --store DIR --name NAME\". Its list is checked against the\n"
    "SHA-256 that its description DIR/versions/NAME.version keeps before it\n"
    "is used.\n"
    "\n"
    "options:\n"
    "  -o OUT       write to OUT instead of standard output. OUT is written under\n"
    "               a temporary name and renamed only when every record was\n"
    "               restored; after a failure it is not created (nor changed).\n"
    "               An OUT that is not a plain file (a device, a FIFO, a symbolic\n"
    "               link) is written to directly, and never replaced\n"
    "  --no-verify  do not check chunks against their records' digests\n"
    "  --check      verify every record of each LIST and write nothing: one line\n"
    "               per list on standard output, bad records on stderr\n"
    "  --progress   show progress on stderr also when it is not a terminal\n"
    "  -q           no progress on stderr\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "Every chunk is verified by default: it is cut again from its place in the\n"
    "store and its digest compared with the record's.\n"
    "\n"
    "exit statuses: 0 done; 1 usage, STORE or LIST cannot be opened, STORE is\n"
    "not a chunk store, a version NAME does not exist or its list cannot be\n"
    "opened, or OUT is STORE or LIST (however spelled); 2 the output cannot be written, also when standard\n"
    "output is a pipe whose reader has gone (as with \"| head\"): one line on\n"
    "stderr says so, and what was written is a correct prefix; 3 a record\n"
    "cannot be restored (ChunkOffset 0, beyond the store's end, unreadable, digest\n"
    "mismatch, a list that ends inside a record, or a list most of whose\n"
    "records lie outside STORE), or the list of a version is damaged (its\n"
    "SHA-256 is not the one its description keeps, or the description cannot\n"
    "be read); 130/143 interrupted (SIGINT/SIGTERM), nothing\n"
    "left under a temporary name. Bad records are reported with their index (from 0) and\n"
    "ChunkOffset. On standard output the bytes before the first bad record\n"
    "have been written, and the message says how many. With --check: 3 when a\n"
    "list has a bad record or is damaged, else 1 when a list cannot be opened.\n";

struct Options {
  const char* store = nullptr;
  const char* out = nullptr;
  bool no_verify = false;
  bool check = false;           // --check: verify the lists, write nothing
  bool quiet = false;           // -q: no progress line
  bool force_progress = false;  // --progress: also when stderr is no terminal
  std::vector<const char*> lists;  // only --check takes more than one
};

int parse_options(ToolArgs* args, Options* o) {
  const ToolOption options[] = {
      tool_value("-o", &o->out, "-o needs a path"), tool_flag("--no-verify", &o->no_verify),
      tool_flag("--check", &o->check), tool_flag("--progress", &o->force_progress),
      tool_flag("-q", &o->quiet)};
  std::vector<const char*> operands;
  if (!args_parse(args, options, &operands)) return kToolUsageStatus;
  if (!operands.empty()) {
    o->store = operands[0];
    o->lists.assign(operands.begin() + 1, operands.end());
  }
  if (o->lists.empty()) {
    return args_error(args, "a store file and a record list are needed", nullptr);
  }
  if (o->lists.size() > 1 && !o->check) {
    return args_error(args, "one store and one list only (--check takes several); extra argument",
                      o->lists[1]);
  }
  if (o->check && o->out) {
    return args_error(args, "--check writes nothing; -o cannot go with it", nullptr);
  }
  return kRestoreOk;
}

Restore g_restore;  // holds the chunker: static, set up once
uint8_t g_window[kStoreWindowSize];
uint8_t g_list_buf[kListReadBlock];
uint8_t g_out_buf[kOutputBlock];
VerifyBatch g_batch;

int restore_command(Options& opt) {
  int status = kRestoreOk;
  Restore* r = &g_restore;
  r->verify = !opt.no_verify;
  r->check = opt.check;
  r->progress = !opt.quiet;
  r->force_progress = opt.force_progress;
  // A store folder: its store file, and versions for lists.
  const bool folder = plat_path_is_dir(opt.store);
  const char* dir = folder ? opt.store : nullptr;
  const std::string store = folder ? catalog_store_path(opt.store) : std::string(opt.store);
  // A prune switches a store folder's store and catalogue only while nobody
  // holds its lock: the version, its list and the store are opened from one
  // state of the folder (once open, they stay what they were).
  StoreLock lock;
  if (folder) (void)store_lock(&lock, opt.store, false);
  if (opt.check) {
    status = restore_open_store(r, store.c_str(), g_window, &g_batch);
    return status != kRestoreOk ? status : restore_check_lists(r, dir, opt.lists);
  }
  // A version's list is found, and its digest checked, first: the output
  // must not be that list either.
  std::string list_path = opt.lists[0];
  PlatFile list = kPlatNoFile;
  if (folder && (list = restore_open_list(r, dir, opt.lists[0], &list_path, &status)) == kPlatNoFile) {
    return status;
  }
  if (opt.out != nullptr) {
    const NamedFile inputs[] = {{"store file", store.c_str()}, {"list", list_path.c_str()}};
    status = tool_check_output("chunkcat", opt.out, inputs, 2, kRestoreOutput);
    if (status != 0) return status;
  }
  interrupt_install("chunkcat");
  plat_broken_pipe_fails_writes();
  if ((status = restore_open_store(r, store.c_str(), g_window, &g_batch)) != kRestoreOk) {
    return status;
  }
  if (!folder && (list = restore_open_list(r, nullptr, opt.lists[0], &list_path, &status)) == kPlatNoFile) {
    return status;
  }
  store_unlock(&lock);
  r->list = opt.lists[0];
  return restore_list(r, list, opt.out, g_list_buf, g_out_buf);
}

}  // namespace

int main(int argc, char** argv) {
  return tool_main("chunkcat", kUsage, argc, argv, parse_options, restore_command);
}
