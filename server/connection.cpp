#include "server/connection.h"

#include <cstring>

#include "common/log.h"

PlatAddr4 g_listener_addr;
PlatAddr4 g_last_peer_addr;

namespace {

// A client whose machine vanished (power loss, a pulled cable) leaves a
// connection that never reports anything and would hold the only client
// place forever. Keepalive probes find such a peer gone after about a
// minute and a half of silence; its receive then fails like any other.
constexpr unsigned kKeepaliveIdleSeconds = 60;
constexpr unsigned kKeepaliveIntervalSeconds = 10;
constexpr unsigned kKeepaliveProbes = 3;

long plat_recv(void*, PlatSocket s, uint8_t* buf, size_t n) {
  long r = plat_sock_recv(s, buf, n);
  if (r >= 0) return r;
  return plat_sock_error_is_would_block(plat_sock_last_error()) ? kSockWouldBlock : kSockFailed;
}

long plat_send(void*, PlatSocket s, const uint8_t* buf, size_t n, bool more) {
  long r = more ? plat_sock_send_more(s, buf, n) : plat_sock_send(s, buf, n);
  if (r >= 0) return r;
  return plat_sock_error_is_would_block(plat_sock_last_error()) ? kSockWouldBlock : kSockFailed;
}

void plat_push(void*, PlatSocket s) { (void)plat_sock_push(s); }

void connection_body(Coroutine* co) {
  Connection* c = reinterpret_cast<Connection*>(co);
  c->handler(c);
}

void accept_step(ConnectionTable* table, Connection* c) {
  PlatAddr4 peer;
  PlatSocket s = plat_sock_accept(c->socket, &peer);
  if (s == kPlatNoSocket || int32_t(s) < 0) return;  // nothing pending
  g_last_peer_addr = peer;
  char here[16], there[16];
  plat_addr_text(g_listener_addr.ip, here);
  plat_addr_text(g_last_peer_addr.ip, there);
  log_line("%3i: %s:%i -> %s:%i\n", int(s), here, int(g_listener_addr.port), there,
           int(g_last_peer_addr.port));
  (void)plat_sock_set_nonblocking(s);  // not examined, by design
  if (s == 0) return;
  if (table->count >= 2) {
    // One client at a time: a second one is closed at once.
    (void)plat_sock_shutdown_both(s);
    (void)plat_sock_close(s);
    log_line("closing %i\n", int(s));
  } else {
    Connection* r = table->entries[table->count++];
    // Without keepalive the connection still works; only a vanished peer
    // would go unnoticed.
    (void)plat_sock_set_keepalive(s, kKeepaliveIdleSeconds, kKeepaliveIntervalSeconds,
                                  kKeepaliveProbes);
    // The records that complete a file are often a small last send; held
    // back for the acknowledgement of the previous one, a client that waits
    // for them before it sends its next file would wait for its own delayed
    // acknowledgement (some 40 ms on Linux) after every file.
    (void)plat_sock_set_nodelay(s);
    connection_start_client(r, s, plat_socket_io(), c->child_handler);
  }
  c->activity = 1;
}

// Whether the event the coroutine's yield code waits for has happened, so
// that a resume lets it make progress. Judged by the buffers, not by what
// this cycle's receive did: input that came while the coroutine waited for
// something else, or that filled the input buffer so that nothing more is
// received, is there all the same.
bool can_progress(const Connection* c) {
  switch (c->co.yield_code) {
    case kCoWaitInput:
      return c->in_cur < c->in_end || c->closed;  // bytes buffered, or the end
    case kCoWaitOutput:
      return false;  // the send that makes room turns it into kCoOutputMoved
    case kCoWaitHeld:
      return !group_commit_full(&c->pass.commit, &c->pass.store);  // moved on
    case kCoReturned:
    case kCoDone:
    case kCoStopServer:
    case kCoStoreFailed:
      return false;  // finished, or the server stops
    default:
      return true;  // not started, or output moved
  }
}

// Whether more records follow within a cycle or two, so that what is sent
// now may wait in a part-filled segment for them: the pass is inside a
// file and its input keeps coming. Each segment the client receives wakes
// it (and costs both sides a system call or two on a virtual machine), and
// a stream of unique data makes a few records per cycle: sent at once,
// each cycle's records would be a segment of their own. A pass waiting
// for input that did not come, a file's last records, and output held for
// kMaxOutputHoldMs go out at once, and so does everything once the socket
// takes less than it is given (its buffer is full: holding back a part
// segment then gains nothing, and what is held may be what the peer needs
// before it reads on).
bool more_output_follows(const Connection* c, long received) {
  if (!c->pass.active || c->closed || c->send_short) return false;
  if (c->co.yield_code == kCoWaitInput && received <= 0) return false;
  if (c->output_held && c->pass.commit.clock() - c->output_held_ms >= kMaxOutputHoldMs) return false;
  return c->co.yield_code == kCoWaitInput || c->co.yield_code == kCoWaitOutput ||
         c->co.yield_code == kCoWaitHeld;
}

void client_step(Connection* c) {
  // Receive.
  long r = 0;
  size_t room = size_t(c->in_limit - c->in_end);
  if (room > 0) {
    r = c->io.recv(c->io.ctx, c->socket, c->in_end, room);
    if (r > 0) {
      c->in_end += r;
      c->activity = 1;
    } else if (r == 0 || r == kSockFailed) {
      c->closed = 1;
    }
  }

  // Resume the coroutine when it can make progress.
  if (c->handler && !c->peer_gone && can_progress(c)) {
    coro_resume(&c->co);
    c->activity = 1;
  }

  // Compact the input: unread bytes move to the start of the buffer.
  if (c->in_cur > c->in_start) {
    size_t n = size_t(c->in_end - c->in_cur);
    if (n > 0) memmove(c->in_start, c->in_cur, n);
    c->in_cur = c->in_start;
    c->in_end = c->in_start + n;
  }

  // Records held for a sync of the store file: when to sync and when they
  // move into the output buffer is decided here (server/group_commit.h).
  GroupCommit* held = &c->pass.commit;
  if ((group_commit_holds(held) || store_file_sync_in_flight(&c->pass.store)) && !c->peer_gone &&
      c->co.yield_code != kCoStoreFailed) {
    const int32_t code = c->co.yield_code;
    uint8_t* const before = c->out_cur;
    const GroupCommitCycle cycle = {code == kCoWaitInput, r > 0, c->pass.active != 0,
                                    code == kCoWaitHeld,
                                    code == kCoReturned || code == kCoStopServer};
    if (!group_commit_pump(held, &c->pass.store, cycle, &c->out_cur, c->out_end)) {
      c->co.yield_code = kCoStoreFailed;  // never resumed: the server exits
    }
    if (c->out_cur != before) c->activity = 1;
  }

  // A store that could not be written or synced: the records waiting may
  // name chunks that are not on the disk, so none of them leaves.
  if (c->co.yield_code == kCoStoreFailed) {
    c->out_cur = c->out_start;
    group_commit_clear(held);
  }

  // Send what waits, one send per cycle; a partial send keeps the rest in
  // order at the front of the buffer.
  size_t n = size_t(c->out_cur - c->out_start);
  const bool more = n > 0 && more_output_follows(c, r);
  if (n > 0 && !c->peer_gone) {
    long s = c->io.send(c->io.ctx, c->socket, c->out_start, n, more);
    c->send_short = s < long(n);
    if (s > 0) {
      c->activity = 1;
      if (!more) {
        c->output_held = 0;
  c->send_short = 0;  // this send took everything held with it
      } else if (!c->output_held) {
        c->output_held = 1;
        c->output_held_ms = c->pass.commit.clock();
      }
      if (size_t(s) < n) {
        memmove(c->out_start, c->out_start + s, n - size_t(s));
        c->out_cur = c->out_start + (n - size_t(s));
      } else {
        c->out_cur = c->out_start;
      }
      if (c->co.yield_code == kCoWaitOutput) c->co.yield_code = kCoOutputMoved;
    } else if (s == kSockFailed) {
      // The peer is gone: nothing waiting can ever be delivered, and a
      // coroutine waiting for output room would wait forever. Drop the
      // output and have the connection closed.
      c->peer_gone = 1;
      c->out_cur = c->out_start;
      group_commit_clear(&c->pass.commit);
      c->activity = 1;
    }
  } else if (c->output_held && !c->peer_gone && !more_output_follows(c, r)) {
    // Nothing new to send, and nothing more coming soon: what is held goes.
    c->io.push(c->io.ctx, c->socket);
    c->output_held = 0;
  }

  // A handler that has ended, or lost its peer, leaves no chunk waiting in
  // the append buffer (with syncing on, chunks wait there for the next
  // sync): the next client and the next start find them in the file.
  const int32_t end_code = c->co.yield_code;
  if ((end_code == kCoReturned || end_code == kCoStopServer || c->peer_gone) &&
      !store_file_flush(&c->pass.store)) {
    c->co.yield_code = kCoStoreFailed;
    c->out_cur = c->out_start;
    group_commit_clear(held);
  }

  // A finished handler's records are all sent before the connection closes;
  // a client that half-closed after its last file reads them to the end.
  if (c->co.yield_code == kCoReturned &&
      ((c->out_cur == c->out_start && !group_commit_holds(held)) || c->peer_gone)) {
    c->co.yield_code = kCoDone;
  }
}

}  // namespace

void connection_reset_buffers(Connection* c) {
  c->in_cur = c->in_start = c->in_end = c->in_buf;
  c->in_limit = c->in_buf + kConnBufferSize;
  c->closed = 0;
  c->peer_gone = 0;
  c->output_held = 0;
  c->out_cur = c->out_start = c->out_buf;
  c->out_end = c->out_buf + kConnBufferSize;
}

void connection_start_client(Connection* r, PlatSocket s, SocketIo io, ConnHandler handler) {
  r->socket = s;
  r->io = io;
  r->kind = kConnClient;
  connection_reset_buffers(r);
  group_commit_clear(&r->pass.commit);  // nothing of an earlier client's
  r->pass.active = 0;  // a pass of a client that vanished is never resumed
  coro_init(&r->co, connection_body, kCoReturned);  // fresh coroutine
  r->child_handler = nullptr;
  r->handler = handler;
}

SocketIo plat_socket_io() { return SocketIo{plat_recv, plat_send, plat_push, nullptr}; }

void connection_make_listener(Connection* c, PlatSocket s, ConnHandler child) {
  c->kind = kConnListener;
  c->socket = s;
  c->io = plat_socket_io();
  c->handler = nullptr;
  c->child_handler = child;
  c->co.yield_code = 0;
  connection_reset_buffers(c);
}

void connection_prepare_pass(Connection* c, PlatFile store, uint8_t* index_table) {
  pass_prepare_store_mode(&c->pass, store, index_table);
  pass_attach_socket_io(&c->pass, c);
}

int pump(ConnectionTable* table, Connection* c) {
  c->activity = 0;
  if (c->kind == kConnListener) {
    accept_step(table, c);
  } else {
    client_step(c);
  }
  if (c->peer_gone) return 0;
  int32_t code = c->co.yield_code;
  return (code == kCoDone || code == kCoStopServer || code == kCoStoreFailed) ? 0 : 1;
}
