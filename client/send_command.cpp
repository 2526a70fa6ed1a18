#include "client/send_command.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "client/catalog.h"
#include "client/list_writer.h"
#include "client/send_inputs.h"
#include "client/send_summary.h"
#include "common/interrupt.h"
#include "common/output_check.h"
#include "common/record.h"
#include "common/store_lock.h"
#include "platform/plat.h"

bool send_is_stdin(const char* f) { return strcmp(f, "-") == 0; }

namespace {

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
int check_list_targets(const SendOptions& o, const std::vector<SendInput>& inputs) {
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
int plan_version(SendOptions* o, VersionInfo* old, bool* replacing) {
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
int publish_version(const SendOptions& o, const std::vector<SendInput>& inputs,
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

int send_command(SendOptions& opt) {
  int status = kSendOk;
  std::vector<SendInput> inputs;
  uint64_t total = 0;
  bool total_known = true;
  for (const char* f : opt.files) {
    SendInput in{f, std::string(), 0, send_is_stdin(f)};
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
