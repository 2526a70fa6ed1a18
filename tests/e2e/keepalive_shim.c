/* Loaded with LD_PRELOAD into a chunkstore under test: passes every
 * setsockopt call on, but replaces the keepalive times the server asks for
 * with the ones in $CHUNK_KEEPALIVE_TEST_TIMES ("IDLE,INTERVAL" seconds), so
 * that a test sees a vanished peer detected in seconds rather than in a
 * minute and a half. The values the server asked for are appended to the
 * file $CHUNK_KEEPALIVE_TEST_LOG, one "name=value" line each, so that the
 * test can check them too. The server itself reads no environment. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

typedef int (*setsockopt_fn)(int, int, int, const void*, socklen_t);

static void log_value(const char* name, const void* value, socklen_t len) {
  const char* path = getenv("CHUNK_KEEPALIVE_TEST_LOG");
  if (!path || len != sizeof(int)) return;
  FILE* f = fopen(path, "a");
  if (!f) return;
  fprintf(f, "%s=%d\n", name, *(const int*)value);
  fclose(f);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  static setsockopt_fn next;
  if (!next) next = (setsockopt_fn)dlsym(RTLD_NEXT, "setsockopt");
  int idle = 0, interval = 0, replaced;
  const char* times = getenv("CHUNK_KEEPALIVE_TEST_TIMES");
  if (level == SOL_SOCKET && name == SO_KEEPALIVE) log_value("keepalive", value, len);
  if (level == IPPROTO_TCP && name == TCP_KEEPCNT) log_value("count", value, len);
  if (level == IPPROTO_TCP && (name == TCP_KEEPIDLE || name == TCP_KEEPINTVL)) {
    log_value(name == TCP_KEEPIDLE ? "idle" : "interval", value, len);
    if (times && sscanf(times, "%d,%d", &idle, &interval) == 2) {
      replaced = name == TCP_KEEPIDLE ? idle : interval;
      return next(fd, level, name, &replaced, sizeof replaced);
    }
  }
  return next(fd, level, name, value, len);
}
