// chunkstop: asks the chunk store server on this machine to exit by sending
// it the "quit" command. It prints the address it talks to and always exits
// with status 0; only the server's disappearance tells that it worked.
#include <cstdio>

#include "common/bytes.h"
#include "common/command.h"
#include "common/log.h"
#include "platform/plat.h"

namespace {

const char kServerHost[] = "127.0.0.1";

}  // namespace

int main() {
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

  if (plat_sock_connect(s, server) != 0) return 0;

  // The tag, then a spare byte that receives the one byte read back.
  unsigned char buf[kTagSize + 1] = {0};
  store_be32(buf, kTagQuit);
  (void)plat_sock_send(s, buf, kTagSize);  // not examined, by design
  // Blocks until the server closes the connection on its way out.
  (void)plat_sock_recv(s, buf, 1);  // not examined, by design
  return 0;
}
