// The service manager's notification protocol and its stop signal, POSIX.
#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/plat_service.h"

int plat_service_notify(const char* message, int* err) {
  const char* name = getenv("NOTIFY_SOCKET");
  if (name == nullptr || name[0] == '\0') return 0;
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const size_t len = strlen(name);
  // A path must end with its terminating zero inside sun_path; an abstract
  // name ('@' standing for the leading zero byte) has none.
  if (len >= sizeof addr.sun_path || (name[0] != '/' && name[0] != '@')) {
    *err = EINVAL;
    return -1;
  }
  memcpy(addr.sun_path, name, len);
  socklen_t addr_len = socklen_t(offsetof(sockaddr_un, sun_path) + len);
  if (name[0] == '@') {
    addr.sun_path[0] = '\0';
  } else {
    addr_len++;
  }
  const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *err = errno;
    return -1;
  }
  const ssize_t sent = sendto(s, message, strlen(message), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&addr), addr_len);
  const int send_err = errno;
  (void)close(s);
  if (sent < 0 || size_t(sent) != strlen(message)) {
    *err = sent < 0 ? send_err : EMSGSIZE;
    return -1;
  }
  return 1;
}

namespace {
volatile sig_atomic_t g_stop_requested = 0;

void on_stop_signal(int) { g_stop_requested = 1; }
}  // namespace

void plat_catch_stop_request() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a poll() waiting for the sockets returns at once.
  (void)sigaction(SIGTERM, &sa, nullptr);
}

bool plat_stop_requested() { return g_stop_requested != 0; }
