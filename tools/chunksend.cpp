// chunksend: stores files in a running chunkstore and keeps the server's
// answer as a record list, the input of chunkcat and chunkpack. Its usage
// and exit statuses are written once, in kUsage below (what --help prints);
// README's reference is checked against it by tests/e2e/test_docs.py.
//
// All files go over one connection as "file" commands. The socket is
// non-blocking and served by one loop that sends and receives as the socket
// allows: the server stops reading while its output buffer is full, so a
// client that only sent would wait on it for ever.
//
// A server busy with another client accepts the connection and closes it at
// once, without a record; a server that is still rebuilding its index
// refuses the connection. Both are retried until --timeout has passed.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/interrupt.h"
#include "client/output_file.h"
#include "client/progress.h"
#include "common/bytes.h"
#include "common/command.h"
#include "common/record.h"
#include "common/usage.h"
#include "platform/plat.h"
#include "tools/reply_split.h"

namespace {

enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitConnect = 2,
  kExitTransfer = 3,
  kExitList = 4,
  kExitSkipped = 5,
};

constexpr size_t kSendBufferSize = 1 << 20;
constexpr size_t kRecvBufferSize = 1 << 16;
constexpr unsigned kWaitSliceMs = 250;
constexpr unsigned kRetryMs = 250;
constexpr const char* kListSuffix = ".list";

const char kUsage[] =
    "usage: chunksend [options] -o LIST FILE...\n"
    "\n"
    "Sends each FILE to a running chunkstore as a \"file\" command, all over one\n"
    "connection, and writes the records the server answers to LIST: the record\n"
    "list that chunkcat restores from and chunkpack reads. The reply is checked:\n"
    "each file's records must cover exactly its length.\n"
    "\n"
    "options:\n"
    "  -o LIST        the record list of all files, in the order given\n"
    "  --per-file     one list per file instead; -o then names an existing\n"
    "                 directory, and FILE's list is DIR/NAME.list, NAME being\n"
    "                 FILE's last path component (which must differ per file)\n"
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
    "                 much of the data was stored already\n"
    "  --json         print the summary as one JSON object on standard output\n"
    "  --progress     show progress on stderr also when it is not a terminal\n"
    "  -q             no progress line and no summary on stderr\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "\n"
    "exit statuses: 0 done; 1 usage; 2 server unreachable (refused or busy for\n"
    "--timeout seconds, or an unknown host); 3 transfer failed\n"
    "(reply incomplete or malformed, connection lost or stalled, a file shrank);\n"
    "4 a list cannot be written; 5 some files cannot be opened (named on stderr,\n"
    "not sent; the others are stored and listed); 130/143 interrupted\n"
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
  unsigned timeout_s = 60;
  std::vector<const char*> files;
};

struct Input {
  const char* path;
  std::string list_name;  // --per-file: where its list goes
  uint64_t size;          // when planned, for the progress total
};

// The whole transfer: what goes out, what comes back.
struct Transfer {
  PlatSocket sock = kPlatNoSocket;
  const Options* opt = nullptr;
  std::vector<Input>* inputs = nullptr;

  // Outgoing bytes wait in send_buf[send_pos, send_end).
  uint8_t* send_buf = nullptr;
  size_t send_pos = 0, send_end = 0;
  size_t next_input = 0;     // the next file to open
  PlatFile current = kPlatNoFile;
  size_t current_index = 0;  // of the file being read
  uint64_t current_left = 0;  // its bytes not yet read
  uint64_t current_length = 0;
  bool all_queued = false;   // every command is in the buffer (or went out)
  bool send_done = false;    // sending side closed, or "quit" sent
  bool send_broke = false;   // a send failed: the server went away
  int send_error = 0;
  uint64_t bytes_queued = 0;  // every byte of every command
  uint64_t bytes_sent = 0;

  // Incoming: whole records go to the list, a partial one waits in front.
  uint8_t* recv_buf = nullptr;
  size_t recv_have = 0;
  bool reply_ended = false;
  int recv_error = 0;
  uint64_t reply_bytes = 0;
  // The reply goes to a temporary file of our own, created once the server
  // has taken the transfer (its first reply bytes): a run turned away as
  // busy creates, and so removes, nothing.
  const char* list_beside = nullptr;  // the temporary name is made from it
  PlatFile list = kPlatNoFile;
  std::string list_part;
  int list_watch = -1;
  bool list_failed = false;
  int list_error = 0;

  std::vector<size_t> announced;  // input index of each file sent
  size_t skipped = 0;
  bool read_broke = false;
  ReplySplit split;

  // Records of chunks the store did not hold before: their ChunkOffset is
  // at or past the store's size when the transfer began (store_before, in
  // 64-byte units), and above every new one before them (a chunk stored
  // twice in one transfer is new only the first time).
  uint64_t store_before_units = UINT64_MAX;  // not known without --store
  uint64_t highest_new = 0;
  uint64_t new_bytes = 0;      // real bytes of new chunks

  bool retrying = false;       // an earlier attempt already said what it skipped
  uint64_t started_ms = 0;
  uint64_t last_move_ms = 0;
  Progress progress;
};

bool parse_unsigned(const char* s, unsigned long max, unsigned long* out) {
  if (*s == 0) return false;
  char* end = nullptr;
  unsigned long v = strtoul(s, &end, 10);
  if (*end != 0 || v > max || s[0] == '-') return false;
  *out = v;
  return true;
}

int usage_error(const char* what, const char* arg) {
  fprintf(stderr, "chunksend: %s%s%s\n(chunksend --help shows the usage)\n", what,
          arg ? ": " : "", arg ? arg : "");
  return kExitUsage;
}

// Returns kExitOk, or the status to exit with; "help" exits 0 at once.
int parse_options(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    usage_answer("chunksend", kUsage, a);
    if (strcmp(a, "-o") == 0) {
      if (!(o->out = value())) return usage_error("-o needs a path", nullptr);
    } else if (strcmp(a, "--per-file") == 0) {
      o->per_file = true;
    } else if (strcmp(a, "--host") == 0) {
      if (!(o->host = value())) return usage_error("--host needs a name", nullptr);
    } else if (strcmp(a, "--port") == 0) {
      const char* v = value();
      unsigned long n = 0;
      if (!v || !parse_unsigned(v, 65535, &n) || n == 0) {
        return usage_error("--port needs a number from 1 to 65535", v);
      }
      o->port = uint16_t(n);
    } else if (strcmp(a, "--timeout") == 0) {
      const char* v = value();
      unsigned long n = 0;
      if (!v || !parse_unsigned(v, 86400, &n) || n == 0) {
        return usage_error("--timeout needs seconds from 1 to 86400", v);
      }
      o->timeout_s = unsigned(n);
    } else if (strcmp(a, "--stop") == 0) {
      o->stop = true;
    } else if (strcmp(a, "-q") == 0) {
      o->quiet = true;
    } else if (strcmp(a, "--json") == 0) {
      o->json = true;
    } else if (strcmp(a, "--progress") == 0) {
      o->force_progress = true;
    } else if (strcmp(a, "--store") == 0) {
      if (!(o->store = value())) return usage_error("--store needs a path", nullptr);
    } else if (strcmp(a, "--") == 0) {
      for (i++; i < argc; i++) o->files.push_back(argv[i]);
    } else if (a[0] == '-' && a[1] != 0) {
      return usage_error("unknown option", a);
    } else {
      o->files.push_back(a);
    }
  }
  if (!o->out) return usage_error("no list named (-o LIST)", nullptr);
  if (o->files.empty()) return usage_error("no file to send", nullptr);
  return kExitOk;
}

const char* base_name(const char* path) {
  const char* b = path;
  for (const char* p = path; *p; p++) {
    if (*p == '/' || *p == '\\') b = p + 1;
  }
  return b;
}

// --per-file: DIR/NAME.list for every file; names must not collide.
int plan_list_names(const Options& o, std::vector<Input>* inputs) {
  std::string dir = o.out;
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  for (size_t i = 0; i < inputs->size(); i++) {
    Input& in = (*inputs)[i];
    const char* base = base_name(in.path);
    if (*base == 0) return usage_error("no file name in", in.path);
    in.list_name = dir + base + kListSuffix;
    for (size_t k = 0; k < i; k++) {
      if ((*inputs)[k].list_name == in.list_name) {
        fprintf(stderr, "chunksend: %s and %s would both be listed in %s\n",
                (*inputs)[k].path, in.path, in.list_name.c_str());
        return kExitUsage;
      }
    }
  }
  return kExitOk;
}

// ---- Progress ---------------------------------------------------------------

void show_progress(Transfer* t) {
  const char* name = t->current != kPlatNoFile ? (*t->inputs)[t->current_index].path : "";
  progress_show(&t->progress, t->bytes_sent, name);
}

// Ends an open progress line before a message.
const char* line_break(Transfer* t) {
  progress_break(&t->progress);
  return "";
}

// ---- Sending ----------------------------------------------------------------

void queue_header(Transfer* t, uint32_t tag, bool with_length, uint64_t length) {
  uint8_t* p = t->send_buf + t->send_end;
  store_be32(p, tag);
  size_t n = 4;
  if (with_length) {
    store_be64(p + 4, length);
    n = kCommandHeaderSize;
  }
  t->send_end += n;
  t->bytes_queued += n;
}

// Opens the next file that can be opened; those that cannot are named and
// skipped. Returns false when no file is left.
bool open_next_file(Transfer* t) {
  std::vector<Input>& inputs = *t->inputs;
  while (t->next_input < inputs.size()) {
    size_t i = t->next_input++;
    PlatFile f = plat_file_open_read(inputs[i].path);
    uint64_t size = 0;
    if (f != kPlatNoFile && plat_file_seek(f, 0, kSeekEnd, &size) == 0 &&
        plat_file_seek(f, 0, kSeekBegin, nullptr) == 0) {
      t->current = f;
      t->current_index = i;
      t->current_left = t->current_length = size;
      return true;
    }
    int err = plat_file_last_error();
    if (f != kPlatNoFile) (void)plat_file_close(f);
    if (!t->retrying) {
      fprintf(stderr, "%schunksend: cannot read %s: %s; not sent\n", line_break(t),
              inputs[i].path, plat_error_text(err));
    }
    t->skipped++;
  }
  return false;
}

// Refills the empty send buffer with the next commands and file bytes.
// Returns false when a file could not be read to its end.
bool fill_send_buffer(Transfer* t) {
  t->send_pos = t->send_end = 0;
  while (!t->all_queued && t->send_end + kCommandHeaderSize <= kSendBufferSize) {
    if (t->current == kPlatNoFile) {
      if (!open_next_file(t)) {
        if (t->opt->stop) queue_header(t, kTagQuit, false, 0);
        t->all_queued = true;
        break;
      }
      // Announced before its command can reach the server, so the records
      // it causes always find it.
      reply_split_announce(&t->split, (*t->inputs)[t->current_index].path, t->current_length);
      t->announced.push_back(t->current_index);
      queue_header(t, kTagFile, true, t->current_length);
    }
    size_t room = kSendBufferSize - t->send_end;
    // A command header can fill the buffer to its end: the file's bytes
    // then go in the next fill. (A read of 0 bytes means a shorter file.)
    if (room == 0) break;
    if (t->current_left > 0) {
      size_t want = t->current_left < room ? size_t(t->current_left) : room;
      long got = plat_file_read(t->current, t->send_buf + t->send_end, want);
      if (got <= 0) {
        int err = got < 0 ? plat_file_last_error() : 0;
        fprintf(stderr, "%schunksend: %s: read failed after %" PRIu64 " of %" PRIu64 " bytes (%s)\n",
                line_break(t), (*t->inputs)[t->current_index].path,
                t->current_length - t->current_left, t->current_length,
                err ? plat_error_text(err) : "the file got shorter");
        t->read_broke = true;
        return false;
      }
      t->send_end += size_t(got);
      t->bytes_queued += uint64_t(got);
      t->current_left -= uint64_t(got);
    }
    if (t->current_left == 0) {
      (void)plat_file_close(t->current);  // read-only: nothing to lose
      t->current = kPlatNoFile;
    }
  }
  return true;
}

// Sends what the socket takes. Returns false when the transfer must stop.
bool send_step(Transfer* t) {
  if (t->send_pos == t->send_end && !t->all_queued) {
    if (!fill_send_buffer(t)) return false;
  }
  if (t->send_pos < t->send_end) {
    long n = plat_sock_send(t->sock, t->send_buf + t->send_pos, t->send_end - t->send_pos);
    if (n > 0) {
      t->send_pos += size_t(n);
      t->bytes_sent += uint64_t(n);
      t->last_move_ms = plat_monotonic_ms();
    } else if (n < 0 && !plat_sock_error_is_would_block(plat_sock_last_error())) {
      // The server closed or reset the connection; what it sent before
      // may still be read.
      t->send_broke = true;
      t->send_error = plat_sock_last_error();
      t->send_done = true;
      return true;
    }
  }
  if (t->all_queued && t->send_pos == t->send_end) {
    if (!t->opt->stop) (void)plat_sock_shutdown_send(t->sock);  // the end of our commands
    t->send_done = true;
  }
  return true;
}

// ---- Receiving --------------------------------------------------------------

void open_list(Transfer* t) {
  t->list = output_create_temp(t->list_beside, &t->list_part);
  if (t->list == kPlatNoFile) {
    t->list_failed = true;
    t->list_error = plat_file_last_error();
    return;
  }
  t->list_watch = interrupt_watch(t->list_part.c_str());  // ours: removed on an interrupt
}

// Closes the reply's temporary file (if one was made) and removes it.
void drop_list(Transfer* t) {
  if (t->list == kPlatNoFile) return;
  (void)plat_file_close(t->list);
  t->list = kPlatNoFile;
  (void)plat_file_remove(t->list_part.c_str());
  interrupt_unwatch(t->list_watch);
}

void receive_step(Transfer* t) {
  long n = plat_sock_recv(t->sock, t->recv_buf + t->recv_have, kRecvBufferSize);
  if (n == 0) {
    t->reply_ended = true;
    return;
  }
  if (n < 0) {
    int err = plat_sock_last_error();
    if (plat_sock_error_is_would_block(err)) return;
    t->recv_error = err;  // a reset: nothing more will come
    t->reply_ended = true;
    return;
  }
  t->last_move_ms = plat_monotonic_ms();
  t->reply_bytes += uint64_t(n);
  if (t->list == kPlatNoFile && !t->list_failed) open_list(t);
  size_t have = t->recv_have + size_t(n);
  size_t whole = have - have % kChunkRecordSize;
  for (size_t i = 0; i < whole; i += kChunkRecordSize) {
    ChunkRecord rec = decode_chunk_record(t->recv_buf + i);
    (void)reply_split_push(&t->split, rec.real_length);
    if (rec.offset >= t->store_before_units && rec.offset > t->highest_new) {
      t->highest_new = rec.offset;
      t->new_bytes += rec.real_length;
    }
  }
  if (!t->list_failed && whole > 0 && plat_file_write_all(t->list, t->recv_buf, whole) != 0) {
    t->list_failed = true;
    t->list_error = plat_file_last_error();
  }
  memmove(t->recv_buf, t->recv_buf + whole, have - whole);
  t->recv_have = have - whole;
}

// ---- Lists ------------------------------------------------------------------

int list_error(const std::string& name, int err) {
  fprintf(stderr, "chunksend: cannot write the list %s: %s\n", name.c_str(),
          err ? plat_error_text(err) : "short write");
  return kExitList;
}

// --per-file: copies each file's records out of the whole reply into its
// own list. Returns kExitOk or kExitList.
int write_per_file_lists(Transfer* t) {
  PlatFile whole = plat_file_open_read(t->list_part.c_str());
  if (whole == kPlatNoFile) return list_error(t->list_part, plat_file_last_error());
  std::vector<std::string> done;
  int status = kExitOk;
  for (size_t k = 0; k < t->announced.size() && status == kExitOk; k++) {
    const std::string& name = (*t->inputs)[t->announced[k]].list_name;
    std::string part;
    PlatFile f = output_create_temp(name.c_str(), &part);
    if (f == kPlatNoFile) {
      status = list_error(part.empty() ? name : part, plat_file_last_error());
      break;
    }
    int watch = interrupt_watch(part.c_str());
    uint64_t left = t->split.counts[k] * kChunkRecordSize;
    while (left > 0) {
      size_t n = left < kSendBufferSize ? size_t(left) : kSendBufferSize;
      long got = plat_file_read_full(whole, t->send_buf, n);
      if (got != long(n)) {
        status = list_error(t->list_part, got < 0 ? plat_file_last_error() : 0);
        break;
      }
      if (plat_file_write_all(f, t->send_buf, n) != 0) {
        status = list_error(part, plat_file_last_error());
        break;
      }
      left -= n;
    }
    if (plat_file_close(f) != 0 && status == kExitOk) {
      status = list_error(part, plat_file_last_error());
    }
    if (status == kExitOk && plat_file_rename(part.c_str(), name.c_str()) != 0) {
      status = list_error(name, plat_file_last_error());
    }
    if (status != kExitOk) (void)plat_file_remove(part.c_str());
    interrupt_unwatch(watch);
  }
  (void)plat_file_close(whole);
  (void)plat_file_remove(t->list_part.c_str());
  interrupt_unwatch(t->list_watch);
  return status;
}

// ---- The transfer -------------------------------------------------------------

enum ConnectResult : int { kConnected = 0, kRefused = 1, kUnreachable = 2 };

ConnectResult connect_once(const PlatAddr4& addr, PlatSocket* out, int* err) {
  PlatSocket s = plat_tcp_socket();
  if (s == kPlatNoSocket || plat_sock_connect(s, addr) != 0) {
    *err = plat_sock_last_error();
    if (s != kPlatNoSocket) (void)plat_sock_close(s);
    return plat_sock_error_is_refused(*err) ? kRefused : kUnreachable;
  }
  if (plat_sock_set_nonblocking(s) != 0) {
    *err = plat_sock_last_error();
    fprintf(stderr, "chunksend: cannot make the socket non-blocking: %s\n", plat_error_text(*err));
    (void)plat_sock_close(s);
    return kUnreachable;
  }
  *out = s;
  return kConnected;
}

int resolve_server(const Options& o, PlatAddr4* addr) {
  if (!plat_resolve4(o.host, addr)) {
    fprintf(stderr, "chunksend: cannot resolve %s\n", o.host);
    return kExitConnect;
  }
  addr->port = o.port;
  return kExitOk;
}

// Connects; a refused connection (a server still rebuilding its index does
// not listen yet) is retried until the deadline.
int connect_to(const Options& o, const PlatAddr4& addr, uint64_t deadline_ms, PlatSocket* out) {
  char text[16];
  plat_addr_text(addr.ip, text);
  bool said = false;
  for (;;) {
    int err = 0;
    ConnectResult r = connect_once(addr, out, &err);
    if (r == kConnected) return kExitOk;
    if (r == kRefused && plat_monotonic_ms() + kRetryMs < deadline_ms) {
      if (!said) {
        fprintf(stderr, "chunksend: %s:%u is not listening (still starting?); retrying for up "
                "to %u s\n", text, unsigned(o.port), o.timeout_s);
        said = true;
      }
      plat_sleep_ms(kRetryMs);
      continue;
    }
    fprintf(stderr, "chunksend: cannot connect to %s:%u: %s%s\n", text, unsigned(o.port),
            plat_error_text(err), said ? " (gave up waiting)" : "");
    return kExitConnect;
  }
}

// Runs the send/receive loop until the server has closed the connection.
// Returns false when the transfer must be abandoned at once.
bool run_loop(Transfer* t) {
  const uint64_t timeout_ms = uint64_t(t->opt->timeout_s) * 1000;
  while (!t->reply_ended) {
    // The wait ends when the socket is ready either way (or at the end of
    // the slice); both steps then try without blocking, and a step whose
    // side was not ready finds nothing to do.
    PlatSockWait w{t->sock, 1, t->send_done ? 0 : 1};
    plat_sock_wait(&w, 1, kWaitSliceMs);
    receive_step(t);
    if (!t->send_done && !send_step(t)) return false;
    if (t->list_failed) return false;
    show_progress(t);
    if (plat_monotonic_ms() - t->last_move_ms > timeout_ms) {
      fprintf(stderr, "%schunksend: nothing moved for %u s; giving up\n", line_break(t),
              t->opt->timeout_s);
      return false;
    }
  }
  return true;
}

// The server accepted and closed the connection without a single record
// although a file went out: it is serving another client (it takes one at
// a time and closes any other at once).
bool turned_away(const Transfer* t) {
  return !t->announced.empty() && t->reply_bytes == 0 && !t->read_broke && !t->list_failed;
}

// After a transfer that broke off: which files are stored for sure (every
// record of theirs came, and the server sends a record only once its chunk
// is written), which may be stored in part, and where the sending stopped.
void say_what_is_known(const Transfer* t) {
  const std::vector<Input>& inputs = *t->inputs;
  const size_t files = t->announced.size();
  // The file whose command held the last byte that went out.
  size_t k = 0;
  uint64_t left = t->bytes_sent, of_file = 0;
  for (; k < files; k++) {
    uint64_t command = kCommandHeaderSize + t->split.lengths[k];
    if (left < command) {
      of_file = left > kCommandHeaderSize ? left - kCommandHeaderSize : 0;
      break;
    }
    left -= command;
  }
  size_t complete = t->split.file + (t->split.covered_whole ? 1 : 0);
  if (complete > files) complete = files;
  if (k < files) {
    fprintf(stderr, "chunksend: the connection was lost after %" PRIu64 " of the %" PRIu64
            " bytes of %s (file %zu of %zu) had gone out\n", of_file, t->split.lengths[k],
            inputs[t->announced[k]].path, k + 1, files);
  } else {
    k = files - 1;  // every command went out; the reply broke off
  }
  if (complete > 0) {
    fprintf(stderr, "chunksend: every record of the first %zu file%s came: %s chunks are "
            "stored\n", complete, complete == 1 ? "" : "s", complete == 1 ? "its" : "their");
  }
  if (complete <= k) {
    if (complete == k) {
      fprintf(stderr, "chunksend: part of %s may be stored; send it again for its list\n",
              inputs[t->announced[k]].path);
    } else {
      fprintf(stderr, "chunksend: %s to %s may be stored, in part; send them again for "
              "their list\n", inputs[t->announced[complete]].path, inputs[t->announced[k]].path);
    }
  }
}

// Says what the reply lacks; returns true when it is whole.
bool check_reply(Transfer* t) {
  bool ok = true;
  line_break(t);
  if (t->send_broke || !t->send_done) {
    fprintf(stderr,
            "chunksend: the server closed the connection before every file was sent "
            "(%" PRIu64 " bytes went out%s%s)\n",
            t->bytes_sent, t->send_broke ? "; " : "",
            t->send_broke ? plat_error_text(t->send_error) : "");
    ok = false;
  }
  if (t->recv_error != 0) {
    fprintf(stderr, "chunksend: the connection failed after %" PRIu64 " reply bytes: %s\n",
            t->reply_bytes, plat_error_text(t->recv_error));
    ok = false;
  }
  if (t->recv_have != 0) {
    fprintf(stderr, "chunksend: the reply ends inside a record: %zu of its %zu bytes came\n",
            t->recv_have, kChunkRecordSize);
    ok = false;
  }
  if (!reply_split_finish(&t->split)) {
    fprintf(stderr, "chunksend: %s (%" PRIu64 " records, %" PRIu64 " bytes, in the reply)\n",
            t->split.error, t->split.total_records, t->reply_bytes);
    ok = false;
  }
  if (!ok) say_what_is_known(t);
  if (!ok && t->opt->stop) {
    fprintf(stderr,
            "chunksend: with --stop the server exits after one attempt to send what it "
            "holds; send again without --stop to get the whole list (the chunks are stored "
            "already)\n");
  }
  return ok;
}

bool file_size(const char* path, uint64_t* size) {
  PlatFile f = plat_file_open_read(path);
  if (f == kPlatNoFile) return false;
  bool ok = plat_file_seek(f, 0, kSeekEnd, size) == 0;
  (void)plat_file_close(f);
  return ok;
}

// Before anything is sent: every list can be put where it is to go.
int check_list_targets(const Options& o, const std::vector<Input>& inputs) {
  auto refuse = [](const char* path, const char* why) {
    fprintf(stderr, "chunksend: cannot write the list %s: %s; nothing sent\n", path, why);
    return int(kExitList);
  };
  if (o.per_file) {
    if (!plat_path_is_dir(o.out)) return refuse(o.out, "--per-file needs an existing directory");
    for (const Input& in : inputs) {
      const char* name = in.list_name.c_str();
      if (plat_path_is_dir(name)) return refuse(name, "it is a directory");
      if (plat_path_is_special(name)) return refuse(name, "it is not a plain file");
    }
    return kExitOk;
  }
  if (plat_path_is_dir(o.out)) return refuse(o.out, "it is a directory");
  // The list is renamed into place at the end; that would replace a
  // device, a FIFO or a symbolic link with a plain file.
  if (plat_path_is_special(o.out)) return refuse(o.out, "it is not a plain file");
  return kExitOk;
}

struct Summary {
  size_t files;
  uint64_t bytes;       // of the files sent
  uint64_t records;
  bool store_known;     // --store was given and could be read both times
  uint64_t grew;        // store bytes appended
  uint64_t new_bytes;   // real bytes of chunks that were new
  double seconds;
};

void print_summary(const Summary& m, bool json) {
  double mbps = m.seconds > 0 ? double(m.bytes) / 1e6 / m.seconds : 0.0;
  double stored = m.bytes > 0 ? 100.0 * double(m.bytes - m.new_bytes) / double(m.bytes) : 0.0;
  // A few new bytes among many must not read as "all stored already".
  if (m.new_bytes > 0 && stored > 99.99) stored = 99.99;
  if (json) {
    printf("{\"files\": %zu, \"bytes_sent\": %" PRIu64 ", \"records\": %" PRIu64 ", ", m.files,
           m.bytes, m.records);
    if (m.store_known) {
      printf("\"store_grew_by\": %" PRIu64 ", \"already_stored_percent\": %.2f, ", m.grew,
             stored);
    } else {
      printf("\"store_grew_by\": null, \"already_stored_percent\": null, ");
    }
    printf("\"seconds\": %.3f, \"mb_per_s\": %.1f}\n", m.seconds, mbps);
    fflush(stdout);
    return;
  }
  fprintf(stderr, "chunksend: %zu file%s, %" PRIu64 " bytes sent, %" PRIu64 " records; ",
          m.files, m.files == 1 ? "" : "s", m.bytes, m.records);
  if (m.store_known) {
    fprintf(stderr, "store grew by %" PRIu64 " bytes, %.2f%% of the data was stored already; ",
            m.grew, stored);
  } else {
    fprintf(stderr, "store growth unknown (--store STORE tells); ");
  }
  fprintf(stderr, "%.2f s, %.1f MB/s\n", m.seconds, mbps);
}

uint8_t g_send_buf[kSendBufferSize];
uint8_t g_recv_buf[kRecvBufferSize + kChunkRecordSize];

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int status = parse_options(argc, argv, &opt);
  if (status != kExitOk) return status;
  std::vector<Input> inputs;
  uint64_t total = 0;
  for (const char* f : opt.files) {
    Input in{f, std::string(), 0};
    if (file_size(f, &in.size)) total += in.size;
    inputs.push_back(in);
  }
  if (opt.per_file && (status = plan_list_names(opt, &inputs)) != kExitOk) return status;
  if ((status = check_list_targets(opt, inputs)) != kExitOk) return status;
  interrupt_install("chunksend");

  if (!plat_net_start()) {
    fprintf(stderr, "chunksend: the socket library cannot be started\n");
    return kExitConnect;
  }

  // The whole reply goes to a temporary file first; it becomes the list (or
  // is split into the per-file lists) only once it has been checked.
  const std::string list_beside =
      opt.per_file ? std::string(opt.out) + "/.chunksend" : std::string(opt.out);
  const uint64_t started_ms = plat_monotonic_ms();
  const uint64_t deadline_ms = started_ms + uint64_t(opt.timeout_s) * 1000;
  const bool progress = !opt.quiet && (opt.force_progress || plat_stderr_is_terminal());
  uint64_t store_before = 0;
  bool store_known = opt.store && file_size(opt.store, &store_before);
  if (opt.store && !store_known) {
    fprintf(stderr, "chunksend: cannot read the size of the store %s: %s; no growth figures\n",
            opt.store, plat_error_text(plat_file_last_error()));
  }

  PlatAddr4 addr;
  if ((status = resolve_server(opt, &addr)) != kExitOk) return status;
  static Transfer t;
  bool said_busy = false, finished = false;
  PlatSocket next_sock = kPlatNoSocket;  // connected already, for the next attempt
  for (int attempt = 0;; attempt++) {
    t = Transfer();  // a retry starts from the first file
    t.opt = &opt;
    t.inputs = &inputs;
    t.send_buf = g_send_buf;
    t.recv_buf = g_recv_buf;
    t.retrying = attempt > 0;
    t.list_beside = list_beside.c_str();
    if (store_known) t.store_before_units = (store_before + kChunkAlign - 1) >> kChunkAlignShift;

    if (next_sock != kPlatNoSocket) {
      t.sock = next_sock;
      next_sock = kPlatNoSocket;
    } else if ((status = connect_to(opt, addr, deadline_ms, &t.sock)) != kExitOk) {
      return status;
    }
    t.started_ms = t.last_move_ms = plat_monotonic_ms();
    progress_start(&t.progress, "chunksend", progress, opt.force_progress, total);
    finished = run_loop(&t);
    (void)plat_sock_close(t.sock);
    if (t.current != kPlatNoFile) (void)plat_file_close(t.current);
    if (finished && turned_away(&t)) {
      // The connection ended without a record. A server busy with another
      // client closes a new one at once and stores nothing from it; one
      // that stopped while it took our files no longer listens. A new
      // connection tells the two apart.
      line_break(&t);
      const bool last_try = plat_monotonic_ms() + kRetryMs >= deadline_ms;
      if (!last_try) plat_sleep_ms(kRetryMs);
      int err = 0;
      if (connect_once(addr, &next_sock, &err) != kConnected) {
        fprintf(stderr, "chunksend: the server closed the connection without a record and "
                "no longer takes connections (%s): it stopped while it took the files\n",
                plat_error_text(err));
        say_what_is_known(&t);
        fprintf(stderr, "chunksend: no list written\n");
        return kExitTransfer;
      }
      if (last_try) {
        (void)plat_sock_close(next_sock);
        fprintf(stderr, "chunksend: the server closed the connection without a record%s; it is "
                "busy with another client. Nothing was stored; no list written\n",
                said_busy ? " every time" : "");
        return kExitConnect;
      }
      // It still takes connections: busy. Start again from the first file.
      if (!said_busy) {
        fprintf(stderr, "chunksend: the server is busy with another client; waiting for up "
                "to %u s\n", opt.timeout_s);
        said_busy = true;
      }
      continue;
    }
    break;
  }

  if (finished && reply_split_finish(&t.split)) progress_finish(&t.progress, t.bytes_sent, "done");
  bool ok = finished && check_reply(&t);
  if (t.list_failed) {
    drop_list(&t);
    return list_error(t.list_part.empty() ? list_beside : t.list_part, t.list_error);
  }
  if (!ok) {
    drop_list(&t);
    fprintf(stderr, "chunksend: no list written\n");
    return kExitTransfer;
  }
  if (t.announced.empty()) {
    drop_list(&t);
    fprintf(stderr, "chunksend: no file could be sent; no list written\n");
    return kExitSkipped;
  }
  // Every file sent has its records, so the reply's file exists.
  if (plat_file_close(t.list) != 0) {
    int err = plat_file_last_error();
    t.list = kPlatNoFile;
    (void)plat_file_remove(t.list_part.c_str());
    interrupt_unwatch(t.list_watch);
    return list_error(t.list_part, err);
  }
  t.list = kPlatNoFile;
  if (opt.per_file) {
    status = write_per_file_lists(&t);
    if (status != kExitOk) return status;
  } else if (plat_file_rename(t.list_part.c_str(), opt.out) != 0) {
    status = list_error(opt.out, plat_file_last_error());
    (void)plat_file_remove(t.list_part.c_str());
    interrupt_unwatch(t.list_watch);
    return status;
  } else {
    interrupt_unwatch(t.list_watch);
  }

  Summary m{};
  m.files = t.announced.size();
  for (uint64_t length : t.split.lengths) m.bytes += length;
  m.records = t.split.total_records;
  uint64_t store_after = 0;
  m.store_known = store_known && file_size(opt.store, &store_after) && store_after >= store_before;
  m.grew = m.store_known ? store_after - store_before : 0;
  m.new_bytes = m.store_known ? t.new_bytes : 0;
  m.seconds = double(plat_monotonic_ms() - t.started_ms) / 1000.0;
  if (opt.json) print_summary(m, true);
  if (!opt.quiet) print_summary(m, false);
  return t.skipped > 0 ? kExitSkipped : kExitOk;
}
