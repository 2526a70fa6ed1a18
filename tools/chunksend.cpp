// chunksend: stores files in a running chunkstore and keeps the server's
// answer as a record list, the input of chunkcat and chunkpack. Its usage
// and exit statuses are written once, in kUsage below (what --help prints);
// README's reference is checked against it by tests/e2e/test_docs.py.
//
// All files go over one connection as "file" commands (client/send_session.h:
// the transfer, the busy server and the retries; client/list_writer.h: the
// lists; client/send_inputs.h: the files; client/send_summary.h: the summary).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/interrupt.h"
#include "client/catalog.h"
#include "client/list_writer.h"
#include "client/send_inputs.h"
#include "client/send_session.h"
#include "client/send_summary.h"
#include "client/tool_args.h"
#include "common/command.h"
#include "common/output_check.h"
#include "common/record.h"
#include "common/store_lock.h"
#include "platform/plat.h"

namespace {

const char kUsage[] =
    "usage: chunksend [options] -o LIST FILE...\n"
    "       chunksend [options] --store DIR --name NAME [--replace] FILE...\n"
    "\n"
    "Sends each FILE to a running chunkstore as a \"file\" command, all over one\n"
    "connection, and writes the records the server answers to LIST: the record\n"
    "list that chunkcat restores from and chunkpack reads. The reply is checked:\n"
    "each file's records must cover exactly its length.\n"
    "\n"
    "A FILE of - is standard input (once), for example a tar stream:\n"
    "  tar -C DIR -cf - . | chunksend -o dir.list -\n"
    "Its length is not known in advance, so it goes as consecutive \"file\"\n"
    "commands of --piece-size bytes, the last one shorter (an empty input is\n"
    "one empty command); the list holds their records in order and restores\n"
    "the stream byte for byte. A chunk or two at each piece's end are cut\n"
    "there rather than where the content says, so they may be stored anew.\n"
    "\n"
    "options:\n"
    "  -o LIST        the record list of all files, in the order given\n"
    "  --per-file     one list per file instead; -o then names an existing\n"
    "                 directory, and FILE's list is DIR/NAME.list, NAME being\n"
    "                 FILE's last path component (which must differ per file).\n"
    "                 Standard input (-) has no name: it cannot go with --per-file\n"
    "  --piece-size MIB\n"
    "                 the size of standard input's pieces, 1 to 1024 MiB\n"
    "                 (default 64). One piece is held in memory; larger pieces\n"
    "                 cut fewer chunks at piece ends\n"
    "  --host HOST    server address (default 127.0.0.1)\n"
    "  --port N       server port (default 8888)\n"
    "  --stop         send \"quit\" after the last file, which stops the server,\n"
    "                 instead of closing the sending side. The server makes one\n"
    "                 attempt to send the records it still holds before it\n"
    "                 exits, so on a large transfer records can be lost; the\n"
    "                 reply is checked all the same, and no list is written then\n"
    "  --timeout SEC  give up when nothing moves for SEC seconds (default 60);\n"
    "                 also how long a server that refuses the connection (still\n"
    "                 starting?) or is busy with another client is retried\n"
    "  --store STORE  the server's store file, when it can be read from here:\n"
    "                 the summary then tells how much the store grew and how\n"
    "                 much of the data was stored already. STORE may also be\n"
    "                 the server's folder DIR (its store file is DIR/$dump)\n"
    "  --name NAME    store the files as the version NAME of the store folder\n"
    "                 DIR given with --store: its list goes to\n"
    "                 DIR/versions/NAME.list, then its description to\n"
    "                 DIR/versions/NAME.version (the version exists once that\n"
    "                 file does); no -o then. NAME: 1 to 100 characters of\n"
    "                 A-Z a-z 0-9 . _ - + @, not starting with . or -\n"
    "  --replace      with --name: replace a version NAME that exists (refused\n"
    "                 otherwise); its old list is removed once the new one is in\n"
    "                 the catalogue\n"
    "  --json         print the summary as one JSON object on standard output\n"
    "  --progress     show progress on stderr also when it is not a terminal\n"
    "  -q             no progress line and no summary on stderr\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "\n"
    "exit statuses: 0 done; 1 usage, a version NAME that exists (without\n"
    "--replace), or a list would be one of the inputs (a\n"
    "FILE, the --store, or a file the local server holds open, however the path\n"
    "is spelled); 2 server unreachable (refused or busy for --timeout seconds,\n"
    "or an unknown host); 3 transfer failed (reply incomplete or malformed,\n"
    "connection lost or stalled, a file shrank, standard input cannot be read\n"
    "or its piece cannot be held in memory); 4 a list (or the version's\n"
    "description, or the catalogue folder) cannot be written;\n"
    "5 some files cannot be opened or have no length known in advance (a\n"
    "device, a FIFO, a /proc file: send those through standard input), named\n"
    "on stderr, not sent; the others are stored and listed; 130/143 interrupted\n"
    "(SIGINT/SIGTERM). Lists are written under a temporary name and renamed at\n"
    "the end, so a failed or interrupted run leaves none.\n";

struct Options {
  const char* out = nullptr;
  const char* host = "127.0.0.1";
  uint16_t port = kServerPort;
  bool per_file = false;
  bool stop = false;
  bool quiet = false;
  bool json = false;
  bool force_progress = false;
  const char* store = nullptr;  // --store: for the growth figures
  std::string store_file;       // the store file: --store, or DIR/$dump
  bool store_is_folder = false;
  const char* name = nullptr;   // --name: the version to store
  bool replace = false;
  std::string list_path;        // --name: where its list goes
  unsigned timeout_s = 60;
  size_t piece_size = kDefaultPieceSize;
  std::vector<const char*> files;
};

bool is_stdin(const char* f) { return strcmp(f, "-") == 0; }

// Returns kSendOk, or the status to exit with; "help" exits 0 at once.
int parse_options(int argc, char** argv, Options* o) {
  ToolArgs args;
  args_begin(&args, "chunksend", kUsage, argc, argv);
  while (const char* a = args_next(&args)) {
    unsigned long n = 0;
    if (strcmp(a, "-o") == 0) {
      if (!(o->out = args_value(&args))) return args_error(&args, "-o needs a path", nullptr);
    } else if (strcmp(a, "--per-file") == 0) {
      o->per_file = true;
    } else if (strcmp(a, "--host") == 0) {
      if (!(o->host = args_value(&args))) return args_error(&args, "--host needs a name", nullptr);
    } else if (strcmp(a, "--port") == 0) {
      const char* v = args_value(&args);
      if (!v || !args_unsigned(v, 65535, &n) || n == 0) {
        return args_error(&args, "--port needs a number from 1 to 65535", v);
      }
      o->port = uint16_t(n);
    } else if (strcmp(a, "--timeout") == 0) {
      const char* v = args_value(&args);
      if (!v || !args_unsigned(v, 86400, &n) || n == 0) {
        return args_error(&args, "--timeout needs seconds from 1 to 86400", v);
      }
      o->timeout_s = unsigned(n);
    } else if (strcmp(a, "--piece-size") == 0) {
      const char* v = args_value(&args);
      if (!v || !args_unsigned(v, 1024, &n) || n == 0) {
        return args_error(&args, "--piece-size needs MiB from 1 to 1024", v);
      }
      o->piece_size = size_t(n) << 20;
    } else if (strcmp(a, "--stop") == 0) {
      o->stop = true;
    } else if (strcmp(a, "-q") == 0) {
      o->quiet = true;
    } else if (strcmp(a, "--json") == 0) {
      o->json = true;
    } else if (strcmp(a, "--progress") == 0) {
      o->force_progress = true;
    } else if (strcmp(a, "--store") == 0) {
      if (!(o->store = args_value(&args))) return args_error(&args, "--store needs a path", nullptr);
    } else if (strcmp(a, "--name") == 0) {
      if (!(o->name = args_value(&args))) return args_error(&args, "--name needs a name", nullptr);
    } else if (strcmp(a, "--replace") == 0) {
      o->replace = true;
    } else if (strcmp(a, "--") == 0) {
      while (const char* f = args_value(&args)) o->files.push_back(f);
    } else if (args_is_option(a)) {
      return args_error(&args, "unknown option", a);
    } else {
      o->files.push_back(a);
    }
  }
  if (o->store) {
    o->store_is_folder = plat_path_is_dir(o->store);
    o->store_file = o->store_is_folder ? catalog_store_path(o->store) : std::string(o->store);
  }
  if (o->name) {
    if (!o->store || !o->store_is_folder) {
      return args_error(&args, "--name needs --store DIR, the server's folder", nullptr);
    }
    if (o->out) return args_error(&args, "--name writes the version's own list; -o cannot go "
                                  "with it", nullptr);
    if (o->per_file) return args_error(&args, "--per-file cannot go with --name", nullptr);
    if (!version_name_ok(o->name)) {
      return args_error(&args, "not a version name (1 to 100 of A-Z a-z 0-9 . _ - + @, not "
                        "starting with . or -)", o->name);
    }
    for (const char* f : o->files) {
      if (strpbrk(f, "\r\n")) {
        return args_error(&args, "a file name with a line break cannot be kept in the "
                          "catalogue", nullptr);
      }
    }
  } else if (o->replace) {
    return args_error(&args, "--replace goes with --name", nullptr);
  }
  if (!o->out && !o->name) return args_error(&args, "no list named (-o LIST)", nullptr);
  if (o->files.empty()) return args_error(&args, "no file to send", nullptr);
  size_t from_stdin = 0;
  for (const char* f : o->files) from_stdin += is_stdin(f) ? 1 : 0;
  if (from_stdin > 1) {
    return args_error(&args, "standard input (-) can be read only once", nullptr);
  }
  if (from_stdin > 0 && o->per_file) {
    return args_error(&args, "standard input (-) has no name for a list of its own; "
                      "it cannot go with --per-file", nullptr);
  }
  return kSendOk;
}

bool file_size(const char* path, uint64_t* size) { return plat_path_size(path, size); }

// A list that is a file the server on this machine holds open (its store
// above all: replacing it would leave the server appending to a file no
// longer there). Returns false after a message.
bool list_not_held_by_server(const char* list, uint16_t port) {
  // Only a file that is there can be held open; the server's files are
  // looked up once (a walk of every process's descriptors) for all lists.
  if (plat_path_kind(list) != kPathRegular) return true;
  static PlatFileId held[64];
  static uint32_t pid = 0;
  static size_t n = SIZE_MAX;
  if (n == SIZE_MAX) n = plat_listener_open_files(port, held, 64, &pid);
  for (size_t i = 0; i < n; i++) {
    if (output_is_file(list, held[i])) {
      fprintf(stderr, "chunksend: the list %s is a file that the server on port %u (process %u) "
              "holds open, such as its store; nothing was read or written\n", list,
              unsigned(port), unsigned(pid));
      return false;
    }
  }
  return true;
}

// Before anything is read or sent: every list can be put where it is to go,
// and none is one of the inputs (a file sent, the --store given, a file the
// local server holds open).
int check_list_targets(const Options& o, const std::vector<SendInput>& inputs) {
  auto refuse = [](const char* path, const char* why) {
    fprintf(stderr, "chunksend: cannot write the list %s: %s; nothing sent\n", path, why);
    return int(kSendListFailed);
  };
  std::vector<NamedFile> read{{"store file", o.store ? o.store_file.c_str() : nullptr}};
  for (const SendInput& in : inputs) {
    if (!in.is_stdin) read.push_back({"file", in.path});
  }
  std::vector<const char*> lists;
  if (o.per_file) {
    if (!plat_path_is_dir(o.out)) return refuse(o.out, "--per-file needs an existing directory");
    for (const SendInput& in : inputs) lists.push_back(in.list_name.c_str());
  } else {
    lists.push_back(o.out);
  }
  for (const char* list : lists) {
    if (!output_not_an_input("chunksend", {"list", list}, read.data(), read.size()) ||
        !list_not_held_by_server(list, o.port)) {
      return kSendUsage;
    }
    // The list is renamed into place at the end; that would replace a
    // device, a FIFO or a symbolic link with a plain file.
    if (plat_path_is_special(list)) return refuse(list, "it is not a plain file");
    if (!output_writable("chunksend", {"list", list})) return kSendListFailed;
  }
  return kSendOk;
}

// --name: before anything is sent, the version must not exist (unless
// --replace), the catalogue folder must be there, and the list gets a name
// of its own in it. *old is the version replaced, when there is one.
int plan_version(Options* o, VersionInfo* old, bool* replacing) {
  std::string why;
  *replacing = false;
  switch (catalog_find(o->store, o->name, old, &why)) {
    case kVersionMissing:
      break;
    case kVersionDamaged:
      *old = VersionInfo{};  // what it names cannot be trusted: nothing of it is removed
      [[fallthrough]];
    case kVersionFound:
      if (!o->replace) {
        fprintf(stderr, "chunksend: the version %s exists in %s (--replace replaces it); "
                "nothing sent\n", o->name, catalog_folder_path(o->store).c_str());
        return kSendUsage;
      }
      *replacing = true;
      break;
  }
  if (!catalog_make_folder(o->store, &why)) {
    fprintf(stderr, "chunksend: %s; nothing sent\n", why.c_str());
    return kSendListFailed;
  }
  o->list_path = catalog_file_path(o->store, catalog_fresh_list(o->store, o->name));
  o->out = o->list_path.c_str();
  return kSendOk;
}

// --name, once the list is in place: the version's description is written,
// which makes it a version; then the list it replaced goes.
int publish_version(const Options& o, const std::vector<SendInput>& inputs,
                    const SendSession& t, bool before_known, uint64_t store_before,
                    const VersionInfo& old, bool replacing) {
  VersionInfo v;
  v.name = o.name;
  for (size_t k = 0; k < t.announced.size(); k++) {
    if (k > 0 && t.announced[k] == t.announced[k - 1]) continue;  // a piece of standard input
    const SendInput& in = inputs[t.announced[k]];
    v.inputs.push_back(in.is_stdin ? "-" : in.path);
  }
  for (uint64_t length : t.split.lengths) v.bytes += length;
  v.records = t.split.total_records;
  uint64_t after = 0;
  const bool after_known = file_size(o.store_file.c_str(), &after);
  v.store_end = after;
  v.new_bytes_known = before_known && after_known && after >= store_before;
  v.new_bytes = v.new_bytes_known ? after - store_before : 0;
  v.list = plat_path_name(o.list_path.c_str());
  std::string why;
  bool ok = catalog_file_sha256(o.list_path, &v.list_sha256, &why);
  if (!ok) why = "cannot read the list " + o.list_path + " back: " + why;
  v.stored = catalog_now_utc();
  if (ok) ok = catalog_write_version(o.store, v, &why);
  if (!ok) {
    fprintf(stderr, "chunksend: %s; the version %s is not stored\n", why.c_str(), o.name);
    (void)plat_file_remove(o.list_path.c_str());
    return kSendListFailed;
  }
  if (replacing && !old.list.empty() && old.list != v.list) {
    (void)plat_file_remove(catalog_file_path(o.store, old.list).c_str());  // nothing names it now
  }
  if (!o.quiet) {
    fprintf(stderr, "chunksend: version %s %s: %s\n", o.name, replacing ? "replaced" : "stored",
            catalog_file_path(o.store, v.name + kVersionSuffix).c_str());
  }
  return kSendOk;
}

uint8_t g_send_buf[kSendBufferSize];
uint8_t g_recv_buf[kRecvBufferSize + kChunkRecordSize];

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int status = parse_options(argc, argv, &opt);
  if (status != kSendOk) return status;
  std::vector<SendInput> inputs;
  uint64_t total = 0;
  bool total_known = true;
  for (const char* f : opt.files) {
    SendInput in{f, std::string(), 0, is_stdin(f)};
    if (in.is_stdin) {
      in.path = "standard input";
      total_known = false;
    } else if (file_size(f, &in.size)) {
      total += in.size;
    }
    inputs.push_back(in);
  }
  if (!total_known) total = 0;  // the progress line shows no total then
  if (opt.per_file && !inputs_plan_list_names(&inputs, opt.out)) return kSendUsage;
  VersionInfo old;
  bool replacing = false;
  if (opt.name && (status = plan_version(&opt, &old, &replacing)) != kSendOk) return status;
  if ((status = check_list_targets(opt, inputs)) != kSendOk) return status;
  interrupt_install("chunksend");

  if (!plat_net_start()) {
    fprintf(stderr, "chunksend: the socket library cannot be started\n");
    return kSendUnreachable;
  }

  // The whole reply goes to a temporary file first; it becomes the list (or
  // is split into the per-file lists) only once it has been checked.
  const std::string list_beside =
      opt.per_file ? std::string(opt.out) + "/.chunksend" : std::string(opt.out);
  // A version is stored under the store folder's lock, held shared from
  // before the connection until the version is in the catalogue: the store
  // is not replaced under it meanwhile.
  static StoreLock lock;
  if (opt.name && !store_lock(&lock, opt.store, false)) {
    fprintf(stderr, "chunksend: cannot lock the store folder %s: %s; nothing sent\n", opt.store,
            plat_error_text(plat_file_last_error()));
    return kSendListFailed;
  }
  uint64_t store_before = 0;
  bool store_known = opt.store && file_size(opt.store_file.c_str(), &store_before);
  if (opt.store && !store_known) {
    fprintf(stderr, "chunksend: cannot read the size of the store %s: %s; no growth figures\n",
            opt.store_file.c_str(), plat_error_text(plat_file_last_error()));
  }
  static StdinStream stream;
  if (!total_known && !stream_begin(&stream, opt.piece_size)) {
    fprintf(stderr, "chunksend: nothing sent\n");
    return kSendFailed;
  }
  SendConfig cfg{opt.host, opt.port, opt.timeout_s, opt.stop,
                 !opt.quiet && (opt.force_progress || plat_stderr_is_terminal()),
                 opt.force_progress, total, list_beside.c_str(),
                 store_known ? padded_chunk_size(store_before) >> kChunkAlignShift : UINT64_MAX,
                 total_known ? nullptr : &stream};
  static SendSession t;
  if ((status = send_run(&t, cfg, &inputs, g_send_buf, g_recv_buf)) != kSendOk) return status;
  if (opt.per_file) {
    std::vector<const std::string*> names;
    for (size_t k : t.announced) names.push_back(&inputs[k].list_name);
    if (!list_commit_split(&t.list, names, t.split.counts, g_send_buf, kSendBufferSize)) {
      return kSendListFailed;
    }
  } else if (!list_commit(&t.list, opt.out)) {
    return kSendListFailed;
  }
  if (opt.name) {
    status = publish_version(opt, inputs, t, store_known, store_before, old, replacing);
    store_unlock(&lock);
    if (status != kSendOk) return status;
  }

  SendSummary m{};
  // The pieces of standard input are one input.
  for (size_t k = 0; k < t.announced.size(); k++) {
    if (k == 0 || t.announced[k] != t.announced[k - 1]) m.files++;
  }
  for (uint64_t length : t.split.lengths) m.bytes += length;
  m.records = t.split.total_records;
  uint64_t store_after = 0;
  m.store_known = store_known && file_size(opt.store_file.c_str(), &store_after) &&
                  store_after >= store_before;
  m.grew = m.store_known ? store_after - store_before : 0;
  m.new_bytes = m.store_known ? t.new_bytes : 0;
  m.seconds = double(plat_monotonic_ms() - t.started_ms) / 1000.0;
  if (opt.json) summary_print(m, true);
  if (!opt.quiet) summary_print(m, false);
  return t.in.skipped > 0 ? kSendSkipped : kSendOk;
}
