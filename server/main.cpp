// chunkstore: the chunk store server. What it does, its arguments and its
// exit statuses are written once, in kUsage below (what --help prints);
// docs/reference.md is checked against it by tests/e2e/test_docs.py.
//
// Its options: --no-sync leaves the store unsynced (a benchmark's baseline,
// or a user who accepts the risk); --listen takes one local address (as a
// service behind an SSH tunnel does). Every other argument is ignored.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/command.h"
#include "common/log.h"
#include "common/record.h"
#include "common/usage.h"
#include "platform/plat_service.h"
#include "server/connection.h"
#include "chunk/index_fill.h"
#include "server/listen_option.h"
#include "server/protocol.h"
#include "server/store.h"
#include "server/store_follow.h"

namespace {

const char kUsage[] =
    "usage: chunkstore [--listen ADDRESS] [--no-sync]\n"
    "\n"
    "The chunk store server. Keeps its store in \"$dump\" in the working\n"
    "directory (created empty when missing), rebuilds its index from it, then\n"
    "listens on TCP port 8888 and serves one client at a time until a client\n"
    "sends \"quit\" (chunkstop does). Progress lines go to standard output;\n"
    "problems are explained on stderr. A record is sent only once the chunk\n"
    "it names is synced to the disk, so a power loss cannot take back what a\n"
    "client was told is stored. Arguments other than these are ignored:\n"
    "\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "  --listen ADDRESS  listen on this one IPv4 address (as 127.0.0.1) instead\n"
    "               of every address of the machine\n"
    "  --no-sync    never sync the store file: faster, but a power loss or a\n"
    "               system crash may lose chunks whose records were sent\n"
    "\n"
    "Once it listens it says so on stderr, once: \"chunkstore: listening on\n"
    "ADDRESS:8888\". Started by a service manager that gives it NOTIFY_SOCKET,\n"
    "it then reports itself ready there. SIGTERM ends it at the end of the poll\n"
    "cycle it is in, with status 0: every record sent names a chunk already\n"
    "synced, and a client being served loses its connection.\n"
    "\n"
    "exit statuses: 0 stopped by \"quit\" or SIGTERM (or the socket library\n"
    "could not be started); 1 port 8888 cannot be opened, or --listen is not\n"
    "followed by an IPv4 address; 2 \"$dump\" cannot be opened or\n"
    "created; 3 the index table cannot be allocated, \"$dump\" cannot be read\n"
    "back at start-up, or the store file cannot be written or synced.\n";

Connection g_listener;
Connection g_client;
ConnectionTable g_table;
StoreHold g_hold;

int open_listener(uint32_t ip, PlatSocket* out) {
  PlatSocket s = plat_tcp_socket();
  (void)plat_sock_set_nonblocking(s);  // not examined, by design
  (void)plat_sock_set_reuse(s);        // restart right after a stop
  g_listener_addr.ip = ip;             // INADDR_ANY unless --listen
  g_listener_addr.port = kServerPort;
  int err = 0;
  int failed = plat_sock_bind(s, g_listener_addr);
  if (failed == 0) failed = plat_sock_listen(s, -1);
  if (failed != 0) {
    // Report the error of the bind or listen, not one left by the clean-up.
    err = plat_sock_last_error();
    (void)plat_sock_shutdown_both(s);
    (void)plat_sock_close(s);
    log_line("closing %i\n", int(s));
    s = -1;
    log_line("failed to open port %i, errno=%i\n", int(s), err);
    if (plat_sock_error_is_addr_in_use(err)) {
      fprintf(stderr, "chunkstore: port %u is in use: is another chunkstore running?\n",
              unsigned(kServerPort));
    } else if (ip != 0) {
      char text[16];
      plat_addr_text(ip, text);
      fprintf(stderr, "chunkstore: cannot listen on %s:%u: %s\n", text, unsigned(kServerPort),
              plat_error_text(err));
    } else {
      fprintf(stderr, "chunkstore: cannot listen on port %u: %s\n", unsigned(kServerPort),
              plat_error_text(err));
    }
    return 1;
  }
  if (int32_t(s) <= 0) {
    log_line("failed to open port %i, errno=%i\n", int(s), plat_sock_last_error());
    return 1;
  }
  *out = s;
  return 0;
}

// A cycle in which nothing happened waits up to 10 ms, and less when a
// socket becomes ready for what its connection waits for: the listener for
// a client, a client for input room being filled or output being drained.
void idle_wait() {
  PlatSockWait w[2];
  size_t n = 0;
  for (uint32_t i = 0; i < g_table.count && n < 2; i++) {
    const Connection* c = g_table.entries[i];
    w[n].s = c->socket;
    w[n].want_read = c->kind == kConnListener || (!c->closed && c->in_end < c->in_limit);
    w[n].want_write = c->kind == kConnClient && c->out_cur > c->out_start;
    n++;
  }
  plat_sock_wait(w, n, 10);
}

// Once it takes clients: the one stderr line with its address, and the
// service manager (if one started it) learns that it is ready.
void announce_listening(uint32_t ip) {
  char text[16];
  plat_addr_text(ip, text);
  fprintf(stderr, "chunkstore: listening on %s:%u\n", text, unsigned(kServerPort));
  char message[96];
  snprintf(message, sizeof message, "READY=1\nSTATUS=listening on %s:%u\nMAINPID=%u\n", text,
           unsigned(kServerPort), unsigned(plat_process_id()));
  int err = 0;
  if (plat_service_notify(message, &err) < 0) {
    fprintf(stderr, "chunkstore: cannot tell the service manager (NOTIFY_SOCKET) it is ready: %s\n",
            plat_error_text(err));
  }
}

// SIGTERM: the cycle is over, so what the pump could send has gone out; the
// records still waiting name synced chunks that no client was told about.
int stop_on_request() {
  int err = 0;
  (void)plat_service_notify("STOPPING=1\n", &err);
  fprintf(stderr, "chunkstore: stopped by SIGTERM\n");
  return 0;
}

int poll_loop() {
  log_hold_lines(true);  // written before the loop waits (log_flush below)
  for (;;) {
    if (plat_stop_requested()) return stop_on_request();
    int activity = 0;
    for (uint32_t i = 0; i < g_table.count;) {
      Connection* c = g_table.entries[i];
      int keep = pump(&g_table, c);
      activity |= c->activity;
      // A client just accepted is served from the store that is "$dump" now.
      if (g_table.count == 2 && !g_hold.client_in && store_hold_client_in(&g_hold) != 0) {
        return kStoreFailedStatus;
      }
      if (keep) {
        i++;
        continue;
      }
      if (c == &g_client) store_hold_client_out(&g_hold);
      // The store file cannot be written (the message is out): straight out,
      // without a word more on the connection or in the log.
      if (c->co.yield_code == kCoStoreFailed) return kStoreFailedStatus;
      log_flush();  // a client that sees the close finds every line before it
      (void)plat_sock_shutdown_both(c->socket);
      (void)plat_sock_close(c->socket);
      log_line("closing %i\n", int(c->socket));
      g_table.count--;
      for (uint32_t k = i; k < g_table.count; k++) g_table.entries[k] = g_table.entries[k + 1];
      g_table.entries[g_table.count] = c;
      if (c->co.yield_code == kCoStopServer) return 0;
    }
    if (!activity) {
      log_flush();  // the lines of the busy cycles, before the loop waits
      idle_wait();
    }
    if (g_table.count == 0) return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  usage_answer_any("chunkstore", kUsage, argc, argv);
  const ListenChoice listen = listen_choice(argc, argv);
  if (listen.option == ListenOption::kMissing || listen.option == ListenOption::kBad) {
    fprintf(stderr, "chunkstore: --listen needs an IPv4 address such as 127.0.0.1%s%s\n",
            listen.given ? ", not " : "", listen.given ? listen.given : "");
    return 1;
  }
  bool sync_off = false;
  for (int i = 1; i < argc; i++) sync_off |= strcmp(argv[i], "--no-sync") == 0;
  if (!plat_net_start()) return 0;

  uint8_t* table = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
  if (table == nullptr) {
    fprintf(stderr, "chunkstore: cannot allocate the %zu-byte chunk index table\n",
            size_t(kIndexTableBytes));
    return 3;
  }
  // Fault the whole table in before the rebuild and the listen: the first
  // clients of a fresh server then do not pay a page fault per new 2 MiB of
  // table. The faults cost the same either way; start-up is where they are
  // waited for least (first_touch_bench measures both, see bench/README.md).
  (void)plat_big_populate(table, kIndexTableBytes);

  // "$dump" opened, the index rebuilt from it, the client's pass prepared.
  int status = store_hold_open(&g_hold, table, &g_client, sync_off);
  if (status != 0) return status;
  PlatFile store = g_hold.store;
  if (sync_off) fprintf(stderr, "chunkstore: --no-sync: the store file is never synced\n");

  // Past the point where the index starts to forget chunks: said once, on
  // stderr (standard output stays the log).
  uint64_t store_bytes = 0;
  if (plat_file_seek(store, 0, kSeekCurrent, &store_bytes) == 0) {
    const uint64_t entries = index_fill_at_start(store_bytes, table);
    if (index_fill_warns(entries)) {
      char text[320];
      fprintf(stderr, "chunkstore: %s\n", index_fill_warning(text, sizeof text, entries));
    }
  }

  log_line("port=%i\n", int(kServerPort));
  plat_catch_stop_request();
  PlatSocket s;
  if (open_listener(listen.ip, &s) != 0) return 1;

  g_table.entries[0] = &g_listener;
  g_table.entries[1] = &g_client;
  g_table.count = 1;
  connection_make_listener(&g_listener, s, client_handler);
  announce_listening(listen.ip);
  return poll_loop();
}
