// chunksend's work once its options are taken: the inputs measured, the
// lists (or the version, with --name) planned and checked before anything
// is sent, the files sent over one connection (client/send_session.h), the
// lists put in place and the summary (client/send_summary.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/send_session.h"
#include "common/command.h"

struct SendOptions {
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

// Whether a file argument is standard input ("-").
bool send_is_stdin(const char* file);

// Sends the files; returns the status to exit with, after messages.
int send_command(SendOptions& o);
