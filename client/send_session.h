// chunksend's transfer: one connection that carries every file as a "file"
// command and brings back the records, checked against the files.
//
// The socket is non-blocking and served by one loop that sends and receives
// as the socket allows: the server stops reading while its output buffer is
// full, so a client that only sent would wait on it for ever. A server busy
// with another client accepts the connection and closes it at once, without
// a record; a server that is still rebuilding its index refuses the
// connection. Both are retried until the timeout has passed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "client/list_writer.h"
#include "client/progress.h"
#include "client/reply_split.h"
#include "client/send_inputs.h"
#include "platform/plat.h"

// chunksend's exit statuses.
enum SendStatus : int {
  kSendOk = 0,
  kSendUsage = 1,
  kSendUnreachable = 2,  // refused, busy or unknown for the whole timeout
  kSendFailed = 3,       // the transfer failed; no list written
  kSendListFailed = 4,   // a list cannot be written
  kSendSkipped = 5,      // some files could not be opened
};

constexpr size_t kSendBufferSize = 1 << 20;
constexpr size_t kRecvBufferSize = 1 << 16;

struct SendConfig {
  const char* host;
  uint16_t port;
  unsigned timeout_s;
  bool stop;            // "quit" after the last file instead of a half-close
  bool progress;        // draw the progress line
  bool force_progress;  // from the start, also when stderr is no terminal
  uint64_t total;       // bytes of all files, for the progress line
  const char* list_beside;  // the reply's temporary file is made beside it
  // The store's size when the transfer began, in 64-byte units: records at
  // or past it name new chunks. UINT64_MAX when it is not known.
  uint64_t store_before_units;
};

// One attempt at the transfer: what goes out, what comes back.
struct SendSession {
  PlatSocket sock = kPlatNoSocket;
  const SendConfig* cfg = nullptr;
  InputQueue in{};

  // Outgoing bytes wait in send_buf[send_pos, send_end).
  uint8_t* send_buf = nullptr;
  size_t send_pos = 0, send_end = 0;
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
  ListWriter list{};

  std::vector<size_t> announced;  // input index of each file sent
  bool read_broke = false;
  ReplySplit split;

  // Records of chunks the store did not hold before: their ChunkOffset is
  // at or past store_before_units, and above every new one before them (a
  // chunk stored twice in one transfer is new only the first time).
  uint64_t highest_new = 0;
  uint64_t new_bytes = 0;      // real bytes of new chunks

  uint64_t started_ms = 0;
  uint64_t last_move_ms = 0;
  Progress progress{};
};

// Runs the transfer until the reply is whole and checked, retrying while
// the server refuses or is busy. Returns kSendOk with the reply waiting in
// s->list (list_commit or list_commit_split), or the status to exit with,
// after messages on stderr and with nothing left behind. send_buf holds
// kSendBufferSize bytes, recv_buf kRecvBufferSize + kChunkRecordSize.
int send_run(SendSession* s, const SendConfig& cfg, const std::vector<SendInput>* inputs,
             uint8_t* send_buf, uint8_t* recv_buf);
