// chunkstop: asks the chunk store server on this machine to exit by sending
// it the "quit" command. Its usage and what it ends with are written once, in
// kUsage below (what --help prints). Without --wait only the server's
// disappearance tells that the command worked; with it (as a service
// manager's stop command uses it) the status tells.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/command.h"
#include "common/log.h"
#include "common/usage.h"
#include "platform/plat.h"

namespace {

const char kServerHost[] = "127.0.0.1";

const char kUsage[] =
    "usage: chunkstop [--wait SEC]\n"
    "\n"
    "Asks the chunkstore server on this machine (127.0.0.1, port 8888) to exit\n"
    "by sending it \"quit\". Prints the address on standard output and says on\n"
    "stderr whether the server stopped. A server busy with another client\n"
    "closes the connection without reading the command and keeps running.\n"
    "Arguments other than these are ignored:\n"
    "\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "  --wait SEC   wait until the server has exited: a server busy with\n"
    "               another client is asked again until it takes the command\n"
    "               or SEC seconds (1 to 86400) have passed; the status then\n"
    "               tells what happened\n"
    "\n"
    "exit statuses: 0 the server has stopped, and without --wait always;\n"
    "1 --wait is not followed by a number of seconds from 1 to 86400; 2 (with\n"
    "--wait) the server was busy with another client for SEC seconds and still\n"
    "runs; 3 (with --wait) no server is listening.\n";

constexpr unsigned kGoneWaitMs = 3000;
constexpr unsigned kRetryMs = 100;
constexpr int kStatusUsage = 1;
constexpr int kStatusBusy = 2;
constexpr int kStatusNotThere = 3;

// Whether the server's listening port became free within wait_ms: a probe
// socket can be bound to it once the server has exited. Nothing connects,
// so a server that is still running sees nothing.
bool server_went_away(unsigned wait_ms) {
  uint64_t start = plat_monotonic_ms();
  for (;;) {
    PlatSocket probe = plat_tcp_socket();
    if (probe == kPlatNoSocket) return false;
    (void)plat_sock_set_reuse(probe);  // a stopped server's connections linger
    PlatAddr4 any{0, kServerPort};
    bool free = plat_sock_bind(probe, any) == 0;
    (void)plat_sock_close(probe);
    if (free) return true;
    if (plat_monotonic_ms() - start > wait_ms) return false;
    plat_sleep_ms(20);
  }
}

// Connects and sends "quit"; false when no server takes the connection.
// Returns once the server has closed the connection: on its way out, or at
// once when it is busy with another client.
bool send_quit(const PlatAddr4& server) {
  PlatSocket s = plat_tcp_socket();
  if (s == kPlatNoSocket) return false;
  if (plat_sock_connect(s, server) != 0) {
    (void)plat_sock_close(s);
    return false;
  }
  // "quit" is its tag alone; the buffer then receives the one byte read back.
  uint8_t buf[kCommandHeaderSize] = {0};
  const size_t n = command_header_encode(buf, kTagQuit, 0);
  (void)plat_sock_send(s, buf, n);  // not examined, by design
  // Blocks until the server closes the connection on its way out.
  (void)plat_sock_recv(s, buf, 1);  // not examined, by design
  (void)plat_sock_close(s);
  return true;
}

// --wait: asks until the server takes the command (its port is released) or
// wait_s seconds have passed.
int stop_and_wait(const PlatAddr4& server, const char* text, unsigned wait_s) {
  const uint64_t deadline = plat_monotonic_ms() + uint64_t(wait_s) * 1000;
  bool reached = false;
  for (;;) {
    const bool took = send_quit(server);
    if (!took && !reached) {
      fprintf(stderr, "chunkstop: no server is listening on %s:%u\n", text, unsigned(kServerPort));
      return kStatusNotThere;
    }
    reached = true;
    // A server that took the command releases its port a moment later; one
    // that refuses connections now has exited or is about to.
    const uint64_t now = plat_monotonic_ms();
    const unsigned left = now < deadline ? unsigned(deadline - now) : 0;
    if (server_went_away(took ? (left < kRetryMs ? left : kRetryMs) : left)) {
      fprintf(stderr, "chunkstop: server at %s:%u stopped\n", text, unsigned(kServerPort));
      return 0;
    }
    if (plat_monotonic_ms() >= deadline) break;
  }
  fprintf(stderr,
          "chunkstop: the server at %s:%u was busy with another client for %u s and did not "
          "take the command; it is still running\n",
          text, unsigned(kServerPort), wait_s);
  return kStatusBusy;
}

// The value of --wait, 0 when not given, -1 when it is not a number of
// seconds from 1 to 86400.
long wait_option(int argc, char** argv) {
  long wait_s = 0;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--wait") != 0) continue;
    if (i + 1 >= argc) return -1;
    char* end = nullptr;
    wait_s = strtol(argv[++i], &end, 10);
    if (end == argv[i] || *end != '\0' || wait_s < 1 || wait_s > 86400) return -1;
  }
  return wait_s;
}

}  // namespace

int main(int argc, char** argv) {
  usage_answer_any("chunkstop", kUsage, argc, argv);
  const long wait_s = wait_option(argc, argv);
  if (wait_s < 0) {
    fprintf(stderr, "chunkstop: --wait needs a number of seconds from 1 to 86400\n");
    return kStatusUsage;
  }
  plat_stdout_binary();
  if (!plat_net_start()) return 0;

  PlatAddr4 server;
  // Without an address there is nobody to tell; end quietly.
  if (!plat_resolve4(kServerHost, &server)) return 0;
  server.port = kServerPort;

  char text[16];
  plat_addr_text(server.ip, text);
  log_line("=%s\n", text);
  if (wait_s > 0) return stop_and_wait(server, text, unsigned(wait_s));

  if (!send_quit(server)) {
    fprintf(stderr, "chunkstop: no server is listening on %s:%u\n", text, unsigned(kServerPort));
    return 0;
  }
  if (server_went_away(kGoneWaitMs)) {
    fprintf(stderr, "chunkstop: server at %s:%u stopped\n", text, unsigned(kServerPort));
  } else {
    fprintf(stderr,
            "chunkstop: the server at %s:%u closed the connection without taking the "
            "command; it is busy with another client and still running\n",
            text, unsigned(kServerPort));
  }
  return 0;
}
