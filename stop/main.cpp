// chunkstop: asks the chunk store server on this machine to exit by sending
// it the "quit" command. It prints the address it talks to and always exits
// with status 0; only the server's disappearance tells that it worked.
#include <cstdint>
#include <cstdio>

#include "common/command.h"
#include "common/log.h"
#include "common/usage.h"
#include "platform/plat.h"

namespace {

const char kServerHost[] = "127.0.0.1";

const char kUsage[] =
    "usage: chunkstop\n"
    "\n"
    "Asks the chunkstore server on this machine (127.0.0.1, port 8888) to exit\n"
    "by sending it \"quit\". Prints the address on standard output and says on\n"
    "stderr whether the server stopped. A server busy with another client\n"
    "closes the connection without reading the command and keeps running.\n"
    "Arguments other than these are ignored:\n"
    "\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "exit status: always 0.\n";

constexpr unsigned kGoneWaitMs = 3000;

// Whether the server's listening port became free: a probe socket can be
// bound to it once the server has exited. Nothing connects, so a server
// that is still running sees nothing.
bool server_went_away() {
  uint64_t start = plat_monotonic_ms();
  for (;;) {
    PlatSocket probe = plat_tcp_socket();
    if (probe == kPlatNoSocket) return false;
    (void)plat_sock_set_reuse(probe);  // a stopped server's connections linger
    PlatAddr4 any{0, kServerPort};
    bool free = plat_sock_bind(probe, any) == 0;
    (void)plat_sock_close(probe);
    if (free) return true;
    if (plat_monotonic_ms() - start > kGoneWaitMs) return false;
    plat_sleep_ms(20);
  }
}

}  // namespace

int main(int argc, char** argv) {
  usage_answer_any("chunkstop", kUsage, argc, argv);
  plat_stdout_binary();
  if (!plat_net_start()) return 0;

  PlatSocket s = plat_tcp_socket();
  PlatAddr4 server;
  // Without a socket or an address there is nobody to tell; end quietly.
  if (s == kPlatNoSocket || !plat_resolve4(kServerHost, &server)) return 0;
  server.port = kServerPort;

  char text[16];
  plat_addr_text(server.ip, text);
  log_line("=%s\n", text);

  if (plat_sock_connect(s, server) != 0) {
    fprintf(stderr, "chunkstop: no server is listening on %s:%u\n", text, unsigned(kServerPort));
    return 0;
  }

  // "quit" is its tag alone; the buffer then receives the one byte read back.
  uint8_t buf[kCommandHeaderSize] = {0};
  const size_t n = command_header_encode(buf, kTagQuit, 0);
  (void)plat_sock_send(s, buf, n);  // not examined, by design
  // Blocks until the server closes the connection on its way out.
  (void)plat_sock_recv(s, buf, 1);  // not examined, by design
  if (server_went_away()) {
    fprintf(stderr, "chunkstop: server at %s:%u stopped\n", text, unsigned(kServerPort));
  } else {
    fprintf(stderr,
            "chunkstop: the server at %s:%u closed the connection without taking the "
            "command; it is busy with another client and still running\n",
            text, unsigned(kServerPort));
  }
  return 0;
}
