// chunksend: stores files in a running chunkstore and keeps the server's
// answer as a record list, the input of chunkcat and chunkpack.
//
//   chunksend [options] -o LIST FILE...
//
// All files go over one connection as "file" commands. The socket is
// non-blocking and served by one loop that sends and receives as the socket
// allows: the server stops reading while its output buffer is full, so a
// client that only sent would wait on it for ever.
//
// Exit statuses:
//   0  every file was stored, every record arrived and checked, the list(s)
//      are written
//   1  usage error (nothing is sent)
//   2  the server cannot be reached
//   3  the transfer failed: the reply is incomplete or malformed, the
//      connection broke or stalled, or a file could not be read to its end
//      after its command went out; no list is written
//   4  a list cannot be written; no list is left under its final name
//   5  one or more files cannot be opened: each is named on stderr and
//      nothing was sent for it; the others are stored and listed
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/command.h"
#include "common/record.h"
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
constexpr uint64_t kProgressDelayMs = 1000;
constexpr const char* kListSuffix = ".list";
constexpr const char* kPartSuffix = ".part";

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
    "  --timeout SEC  give up when nothing moves for SEC seconds (default 60)\n"
    "  -q             no progress line on stderr\n"
    "  -h, --help     this text\n"
    "\n"
    "exit statuses: 0 done; 1 usage; 2 server unreachable; 3 transfer failed\n"
    "(reply incomplete or malformed, connection lost or stalled, a file shrank);\n"
    "4 a list cannot be written; 5 some files cannot be opened (named on stderr,\n"
    "not sent; the others are stored and listed). Lists are written under a\n"
    "temporary name and renamed at the end, so a failed run leaves none.\n";

struct Options {
  const char* out = nullptr;
  const char* host = "127.0.0.1";
  uint16_t port = kServerPort;
  bool per_file = false;
  bool stop = false;
  bool quiet = false;
  unsigned timeout_s = 60;
  std::vector<const char*> files;
};

struct Input {
  const char* path;
  std::string list_name;  // --per-file: where its list goes
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
  PlatFile list = kPlatNoFile;
  std::string list_part;
  bool list_failed = false;
  int list_error = 0;

  std::vector<size_t> announced;  // input index of each file sent
  size_t skipped = 0;
  bool read_broke = false;
  ReplySplit split;

  uint64_t started_ms = 0;
  uint64_t last_move_ms = 0;
  uint64_t shown_ms = 0;
  bool progress_shown = false;
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
    if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      fputs(kUsage, stdout);
      exit(kExitOk);
    } else if (strcmp(a, "-o") == 0) {
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

void show_progress(Transfer* t, bool last) {
  uint64_t now = plat_monotonic_ms();
  if (!last && (now - t->started_ms < kProgressDelayMs || now - t->shown_ms < 250)) return;
  if (last && !t->progress_shown) return;
  t->shown_ms = now;
  t->progress_shown = true;
  double secs = double(now - t->started_ms) / 1000.0;
  double rate = secs > 0 ? double(t->bytes_sent) / 1e6 / secs : 0.0;
  fprintf(stderr, "\rchunksend: sent %.1f MB, acknowledged %.1f MB, %.1f MB/s   %s",
          double(t->bytes_sent) / 1e6, double(t->split.acknowledged) / 1e6, rate,
          last ? "\n" : "");
  fflush(stderr);
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
    fprintf(stderr, "%schunksend: cannot read %s: %s; not sent\n", t->progress_shown ? "\n" : "",
            inputs[i].path, plat_error_text(err));
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
    if (t->current_left > 0) {
      size_t want = t->current_left < room ? size_t(t->current_left) : room;
      long got = plat_file_read(t->current, t->send_buf + t->send_end, want);
      if (got <= 0) {
        int err = got < 0 ? plat_file_last_error() : 0;
        fprintf(stderr, "%schunksend: %s: read failed after %" PRIu64 " of %" PRIu64 " bytes (%s)\n",
                t->progress_shown ? "\n" : "", (*t->inputs)[t->current_index].path,
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
  size_t have = t->recv_have + size_t(n);
  size_t whole = have - have % kChunkRecordSize;
  for (size_t i = 0; i < whole; i += kChunkRecordSize) {
    (void)reply_split_push(&t->split, load_le16(t->recv_buf + i + kRecLength));
  }
  if (!t->list_failed && whole > 0 && plat_file_write_all(t->list, t->recv_buf, whole) != 0) {
    t->list_failed = true;
    t->list_error = plat_file_last_error();
  }
  memmove(t->recv_buf, t->recv_buf + whole, have - whole);
  t->recv_have = have - whole;
}

// ---- Lists ------------------------------------------------------------------

std::string part_name_of(const std::string& name) { return name + kPartSuffix; }

// Creates a temporary file, replacing one a broken earlier run left.
PlatFile create_part(const std::string& part) {
  PlatFile f = plat_file_create_new(part.c_str());
  if (f == kPlatNoFile) {
    (void)plat_file_remove(part.c_str());  // a stale one, if any
    f = plat_file_create_new(part.c_str());
  }
  return f;
}

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
    std::string part = part_name_of(name);
    PlatFile f = create_part(part);
    if (f == kPlatNoFile) {
      status = list_error(part, plat_file_last_error());
      break;
    }
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
  }
  (void)plat_file_close(whole);
  (void)plat_file_remove(t->list_part.c_str());
  return status;
}

// ---- The transfer -------------------------------------------------------------

int connect_to(const Options& o, PlatSocket* out) {
  PlatAddr4 addr;
  if (!plat_resolve4(o.host, &addr)) {
    fprintf(stderr, "chunksend: cannot resolve %s\n", o.host);
    return kExitConnect;
  }
  addr.port = o.port;
  PlatSocket s = plat_tcp_socket();
  // Large kernel buffers, set before the connection is made so that its
  // receive window can use them; the defaults work too.
  if (s != kPlatNoSocket) (void)plat_sock_set_buffers(s, size_t(4) << 20);
  if (s == kPlatNoSocket || plat_sock_connect(s, addr) != 0) {
    int err = plat_sock_last_error();
    char text[16];
    plat_addr_text(addr.ip, text);
    fprintf(stderr, "chunksend: cannot connect to %s:%u: %s\n", text, unsigned(o.port),
            plat_error_text(err));
    if (s != kPlatNoSocket) (void)plat_sock_close(s);
    return kExitConnect;
  }
  if (plat_sock_set_nonblocking(s) != 0) {
    fprintf(stderr, "chunksend: cannot make the socket non-blocking: %s\n",
            plat_error_text(plat_sock_last_error()));
    (void)plat_sock_close(s);
    return kExitConnect;
  }
  *out = s;
  return kExitOk;
}

// Runs the send/receive loop until the server has closed the connection.
// Returns false when the transfer must be abandoned at once.
bool run_loop(Transfer* t) {
  const bool progress = !t->opt->quiet && plat_stderr_is_terminal();
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
    if (progress) show_progress(t, false);
    if (plat_monotonic_ms() - t->last_move_ms > timeout_ms) {
      fprintf(stderr, "%schunksend: nothing moved for %u s; giving up\n",
              t->progress_shown ? "\n" : "", t->opt->timeout_s);
      return false;
    }
  }
  if (progress) show_progress(t, true);
  return true;
}

// Says what the reply lacks; returns true when it is whole.
bool check_reply(Transfer* t) {
  bool ok = true;
  if (t->send_broke || !t->send_done) {
    // Also what a client sees while another one is being served: the
    // server accepts and closes at once.
    fprintf(stderr,
            "chunksend: the server closed the connection before every file was sent "
            "(%" PRIu64 " bytes went out%s%s)%s\n",
            t->bytes_sent, t->send_broke ? "; " : "",
            t->send_broke ? plat_error_text(t->send_error) : "",
            t->reply_bytes == 0 ? "; is another client connected?" : "");
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
  if (!ok && t->opt->stop) {
    fprintf(stderr,
            "chunksend: with --stop the server exits after one attempt to send what it "
            "holds; send again without --stop to get the whole list (the chunks are stored "
            "already)\n");
  }
  return ok;
}

uint8_t g_send_buf[kSendBufferSize];
uint8_t g_recv_buf[kRecvBufferSize + kChunkRecordSize];

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int status = parse_options(argc, argv, &opt);
  if (status != kExitOk) return status;
  std::vector<Input> inputs;
  for (const char* f : opt.files) inputs.push_back(Input{f, std::string()});
  if (opt.per_file && (status = plan_list_names(opt, &inputs)) != kExitOk) return status;

  if (!plat_net_start()) {
    fprintf(stderr, "chunksend: the socket library cannot be started\n");
    return kExitConnect;
  }

  Transfer t;
  t.opt = &opt;
  t.inputs = &inputs;
  t.send_buf = g_send_buf;
  t.recv_buf = g_recv_buf;
  // The whole reply goes to a temporary file first; it becomes the list (or
  // is split into the per-file lists) only once it has been checked.
  t.list_part = opt.per_file ? std::string(opt.out) + "/.chunksend" + kPartSuffix
                             : part_name_of(opt.out);
  t.list = create_part(t.list_part);
  if (t.list == kPlatNoFile) return list_error(t.list_part, plat_file_last_error());

  status = connect_to(opt, &t.sock);
  if (status != kExitOk) {
    (void)plat_file_close(t.list);
    (void)plat_file_remove(t.list_part.c_str());
    return status;
  }
  t.started_ms = t.last_move_ms = plat_monotonic_ms();
  bool finished = run_loop(&t);
  (void)plat_sock_close(t.sock);
  if (t.current != kPlatNoFile) (void)plat_file_close(t.current);

  bool ok = finished && check_reply(&t);
  if (plat_file_close(t.list) != 0 && !t.list_failed) {
    t.list_failed = true;
    t.list_error = plat_file_last_error();
  }
  if (t.list_failed) {
    (void)plat_file_remove(t.list_part.c_str());
    return list_error(t.list_part, t.list_error);
  }
  if (!ok) {
    (void)plat_file_remove(t.list_part.c_str());
    fprintf(stderr, "chunksend: no list written\n");
    return kExitTransfer;
  }
  if (t.announced.empty()) {
    (void)plat_file_remove(t.list_part.c_str());
    fprintf(stderr, "chunksend: no file could be sent; no list written\n");
    return kExitSkipped;
  }
  if (opt.per_file) {
    status = write_per_file_lists(&t);
    if (status != kExitOk) return status;
  } else if (plat_file_rename(t.list_part.c_str(), opt.out) != 0) {
    status = list_error(opt.out, plat_file_last_error());
    (void)plat_file_remove(t.list_part.c_str());
    return status;
  }
  return t.skipped > 0 ? kExitSkipped : kExitOk;
}
