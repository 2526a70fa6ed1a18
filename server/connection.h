// A Connection joins one socket (the listener, or one accepted client) to a
// socket-driven Coroutine and to the input and output buffers through which
// the coroutine and the socket exchange bytes. The pump serves one
// Connection once per poll cycle.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/coroutine.h"
#include "platform/plat.h"
#include "server/store.h"

constexpr size_t kConnBufferSize = 32768;
// A writer begins a 21-byte record only while the output cursor is below
// the output end and tests for fullness afterwards, so a record reaches at
// most 20 bytes beyond the end; the storage holds this much beyond it.
constexpr size_t kOutputReserve = 32;

enum ConnKind : int32_t { kConnListener = 1, kConnClient = 2 };

// The pump's socket calls. A receive returns the bytes it delivered, 0
// once the peer has closed, or kSockWouldBlock / kSockFailed; a send returns
// the bytes it took, or one of the same two codes. A send with `more` set
// may have its bytes held back (a part-filled segment waits for the next
// send) until a send without it, or a push, sends everything held. Every
// client the server accepts uses the platform's sockets (plat_socket_io());
// the pump simulation test gives a Connection a scripted socket instead, so
// that what it drives is the server's own pump, handler and pass.
constexpr long kSockWouldBlock = -1;
constexpr long kSockFailed = -2;
struct SocketIo {
  long (*recv)(void* ctx, PlatSocket s, uint8_t* buf, size_t n);
  long (*send)(void* ctx, PlatSocket s, const uint8_t* buf, size_t n, bool more);
  void (*push)(void* ctx, PlatSocket s);
  void* ctx;
};

// Output sent with `more` is pushed out at the latest this long after the
// first byte held: a client that trickles its input still sees its records.
constexpr uint64_t kMaxOutputHoldMs = 20;
SocketIo plat_socket_io();

struct Connection;
typedef void (*ConnHandler)(Connection* c);

struct Connection {
  Coroutine co;  // first: the coroutine body reaches the Connection from it
  int32_t kind;
  PlatSocket socket;
  SocketIo io;                // how the pump receives and sends on socket
  ConnHandler handler;        // body of this Connection's coroutine
  ConnHandler child_handler;  // listener only: handler of accepted clients
  // Invariant: in_start <= in_cur <= in_end <= in_limit. Between pump calls
  // the unread input starts at in_start.
  uint8_t* in_cur;
  uint8_t* in_start;
  uint8_t* in_end;
  uint8_t* in_limit;
  int32_t closed;    // the peer closed, or a receive failed
  int32_t activity;  // something happened in this poll cycle
  // Waiting output is [out_start, out_cur); out_end = out_start + 32768.
  uint8_t* out_cur;
  uint8_t* out_start;
  uint8_t* out_end;
  // The peer is gone (a send failed): the connection is to be closed
  // without resuming its coroutine again.
  int32_t peer_gone;
  // Output sent with `more` may still be held back by the system; since
  // when (the group commit's clock).
  int32_t output_held;
  uint64_t output_held_ms;
  int32_t send_short;  // the last send took less than it was given
  alignas(16) uint8_t in_buf[kConnBufferSize];
  alignas(16) uint8_t out_buf[kConnBufferSize + kOutputReserve];
  PassContext pass;  // state of the StorePass run for this client
};

// The address the listener is bound to, and the peer of the latest accept.
extern PlatAddr4 g_listener_addr;
extern PlatAddr4 g_last_peer_addr;

// Sets the buffer fields of c up empty and clears its flags.
void connection_reset_buffers(Connection* c);

// Makes r the client Connection of socket s, as an accept does: buffers
// empty, flags clear, and a fresh coroutine that runs handler.
void connection_start_client(Connection* r, PlatSocket s, SocketIo io, ConnHandler handler);

// Makes c the listener on socket s, giving child to every accepted client.
void connection_make_listener(Connection* c, PlatSocket s, ConnHandler child);

struct ConnectionTable {
  Connection* entries[2];  // entries [0, count) are live, in serving order
  uint32_t count;
};

// One poll-cycle step on c: accept on the listener; receive, resume, compact
// and send on a client. Returns nonzero to keep c, 0 to have it closed (or,
// with yield code kCoStoreFailed, to have the server exit at once).
int pump(ConnectionTable* table, Connection* c);

// Sets the client record's pass context up once, at start-up: store mode on
// the store file, the shared index table, and input and output through the
// record's own buffers.
void connection_prepare_pass(Connection* c, PlatFile store, uint8_t* index_table);
