#include "client/send_session.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/command.h"
#include "common/record.h"

namespace {

constexpr unsigned kWaitSliceMs = 250;
constexpr unsigned kRetryMs = 250;

// Ends an open progress line before a message.
const char* line_break(SendSession* t) {
  progress_break(&t->progress);
  return "";
}

// ---- Sending ----------------------------------------------------------------

void queue_command(SendSession* t, uint32_t tag, uint64_t length) {
  size_t n = command_header_encode(t->send_buf + t->send_end, tag, length);
  t->send_end += n;
  t->bytes_queued += n;
}

// Refills the empty send buffer with the next commands and file bytes.
// Returns false when a file could not be read to its end.
bool fill_send_buffer(SendSession* t) {
  t->send_pos = t->send_end = 0;
  while (!t->all_queued && t->send_end + kCommandHeaderSize <= kSendBufferSize) {
    InputQueue* q = &t->in;
    if (q->current == kPlatNoFile) {
      if (!inputs_open_next(q)) {
        if (t->cfg->stop) queue_command(t, kTagQuit, 0);
        t->all_queued = true;
        break;
      }
      // Announced before its command can reach the server, so the records
      // it causes always find it.
      reply_split_announce(&t->split, (*q->inputs)[q->current_index].path, q->current_length);
      t->announced.push_back(q->current_index);
      queue_command(t, kTagFile, q->current_length);
    }
    size_t room = kSendBufferSize - t->send_end;
    // A command header can fill the buffer to its end: the file's bytes
    // then go in the next fill. (A read of 0 bytes means a shorter file.)
    if (room == 0) break;
    const bool bytes_left = q->current_left > 0;
    size_t got = inputs_read(q, t->send_buf + t->send_end, room);
    if (bytes_left && got == 0) {
      t->read_broke = true;
      return false;
    }
    t->send_end += got;
    t->bytes_queued += uint64_t(got);
  }
  return true;
}

// Sends what the socket takes. Returns false when the transfer must stop.
bool send_step(SendSession* t) {
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
    if (!t->cfg->stop) (void)plat_sock_shutdown_send(t->sock);  // the end of our commands
    t->send_done = true;
  }
  return true;
}

// ---- Receiving --------------------------------------------------------------

void receive_step(SendSession* t) {
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
    ChunkRecord rec = decode_chunk_record(t->recv_buf + i);
    (void)reply_split_push(&t->split, rec.real_length);
    if (rec.offset >= t->cfg->store_before_units && rec.offset > t->highest_new) {
      t->highest_new = rec.offset;
      t->new_bytes += rec.real_length;
    }
  }
  (void)list_put(&t->list, t->recv_buf, whole);  // a failure ends the loop
  memmove(t->recv_buf, t->recv_buf + whole, have - whole);
  t->recv_have = have - whole;
}

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

int resolve_server(const SendConfig& o, PlatAddr4* addr) {
  if (!plat_resolve4(o.host, addr)) {
    fprintf(stderr, "chunksend: cannot resolve %s\n", o.host);
    return kSendUnreachable;
  }
  addr->port = o.port;
  return kSendOk;
}

// Connects; a refused connection (a server still rebuilding its index does
// not listen yet) is retried until the deadline.
int connect_to(const SendConfig& o, const PlatAddr4& addr, uint64_t deadline_ms, PlatSocket* out) {
  char text[16];
  plat_addr_text(addr.ip, text);
  bool said = false;
  for (;;) {
    int err = 0;
    ConnectResult r = connect_once(addr, out, &err);
    if (r == kConnected) return kSendOk;
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
    return kSendUnreachable;
  }
}

// Runs the send/receive loop until the server has closed the connection.
// Returns false when the transfer must be abandoned at once.
bool run_loop(SendSession* t) {
  const uint64_t timeout_ms = uint64_t(t->cfg->timeout_s) * 1000;
  while (!t->reply_ended) {
    // The wait ends when the socket is ready either way (or at the end of
    // the slice); both steps then try without blocking, and a step whose
    // side was not ready finds nothing to do.
    PlatSockWait w{t->sock, 1, t->send_done ? 0 : 1};
    plat_sock_wait(&w, 1, kWaitSliceMs);
    receive_step(t);
    if (!t->send_done && !send_step(t)) return false;
    if (t->list.failed) return false;
    progress_show(&t->progress, t->bytes_sent, inputs_current_name(&t->in));
    if (plat_monotonic_ms() - t->last_move_ms > timeout_ms) {
      fprintf(stderr, "%schunksend: nothing moved for %u s; giving up\n", line_break(t),
              t->cfg->timeout_s);
      return false;
    }
  }
  return true;
}

// The server accepted and closed the connection without a single record
// although a file went out: it is serving another client (it takes one at
// a time and closes any other at once).
bool turned_away(const SendSession* t) {
  return !t->announced.empty() && t->reply_bytes == 0 && !t->read_broke && !t->list.failed;
}

// After a transfer that broke off: which files are stored for sure (every
// record of theirs came, and the server sends a record only once its chunk
// is written), which may be stored in part, and where the sending stopped.
void say_what_is_known(const SendSession* t) {
  const std::vector<SendInput>& inputs = *t->in.inputs;
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
bool check_reply(SendSession* t) {
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
  if (!ok && t->cfg->stop) {
    fprintf(stderr,
            "chunksend: with --stop the server exits after one attempt to send what it "
            "holds; send again without --stop to get the whole list (the chunks are stored "
            "already)\n");
  }
  return ok;
}


}  // namespace

int send_run(SendSession* s, const SendConfig& cfg, const std::vector<SendInput>* inputs,
             uint8_t* send_buf, uint8_t* recv_buf) {
  const uint64_t deadline_ms = plat_monotonic_ms() + uint64_t(cfg.timeout_s) * 1000;
  PlatAddr4 addr;
  int status = resolve_server(cfg, &addr);
  if (status != kSendOk) return status;
  bool said_busy = false, finished = false;
  PlatSocket next_sock = kPlatNoSocket;  // connected already, for the next attempt
  for (int attempt = 0;; attempt++) {
    *s = SendSession();  // a retry starts from the first file
    s->cfg = &cfg;
    s->send_buf = send_buf;
    s->recv_buf = recv_buf;
    inputs_begin(&s->in, inputs, attempt > 0, &s->progress);
    list_begin(&s->list, cfg.list_beside);

    if (next_sock != kPlatNoSocket) {
      s->sock = next_sock;
      next_sock = kPlatNoSocket;
    } else if ((status = connect_to(cfg, addr, deadline_ms, &s->sock)) != kSendOk) {
      return status;
    }
    s->started_ms = s->last_move_ms = plat_monotonic_ms();
    progress_start(&s->progress, "chunksend", cfg.progress, cfg.force_progress, cfg.total);
    finished = run_loop(s);
    (void)plat_sock_close(s->sock);
    inputs_close(&s->in);
    if (finished && turned_away(s)) {
      // The connection ended without a record. A server busy with another
      // client closes a new one at once and stores nothing from it; one
      // that stopped while it took our files no longer listens. A new
      // connection tells the two apart.
      line_break(s);
      const bool last_try = plat_monotonic_ms() + kRetryMs >= deadline_ms;
      if (!last_try) plat_sleep_ms(kRetryMs);
      int err = 0;
      if (connect_once(addr, &next_sock, &err) != kConnected) {
        fprintf(stderr, "chunksend: the server closed the connection without a record and "
                "no longer takes connections (%s): it stopped while it took the files\n",
                plat_error_text(err));
        say_what_is_known(s);
        fprintf(stderr, "chunksend: no list written\n");
        return kSendFailed;
      }
      if (last_try) {
        (void)plat_sock_close(next_sock);
        fprintf(stderr, "chunksend: the server closed the connection without a record%s; it is "
                "busy with another client. Nothing was stored; no list written\n",
                said_busy ? " every time" : "");
        return kSendUnreachable;
      }
      // It still takes connections: busy. Start again from the first file.
      if (!said_busy) {
        fprintf(stderr, "chunksend: the server is busy with another client; waiting for up "
                "to %u s\n", cfg.timeout_s);
        said_busy = true;
      }
      continue;
    }
    break;
  }

  if (finished && reply_split_finish(&s->split)) {
    progress_finish(&s->progress, s->bytes_sent, "done");
  }
  bool ok = finished && check_reply(s);
  if (s->list.failed) {
    list_report_failure(&s->list);
    return kSendListFailed;
  }
  if (!ok) {
    list_drop(&s->list);
    fprintf(stderr, "chunksend: no list written\n");
    return kSendFailed;
  }
  if (s->announced.empty()) {
    list_drop(&s->list);
    fprintf(stderr, "chunksend: no file could be sent; no list written\n");
    return kSendSkipped;
  }
  return kSendOk;
}
