/* Loaded with LD_PRELOAD into a chunkstore under test: passes every
 * fdatasync and fsync on and, when one of the store file "$dump" has
 * completed, appends the file's size at that moment to the file
 * $CHUNK_SYNC_TEST_LOG as one "synced SIZE" line. What a power loss may
 * leave of the append-only store is at least the size of its last line.
 * The line is written before the call returns, so before the server can
 * send a record the sync was for. The server itself reads no environment.
 *
 * A server built with liburing syncs the store on the kernel's I/O ring
 * and takes each completion with io_uring_peek_batch_cqe: a completed sync
 * there is logged with the size it covers, which the server passes along
 * with it (the store's only ring). A sync submitted there is logged as
 * "started SIZE" first, so the log shows when one was in flight. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*sync_fn)(int);

static int is_store(int fd) {
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return 0;
  target[n] = '\0';
  const char* base = strrchr(target, '/');
  return base && strcmp(base + 1, "$dump") == 0;
}

static void log_event(const char* what, long long size) {
  const char* path = getenv("CHUNK_SYNC_TEST_LOG");
  if (!path) return;
  char line[64];
  int n = snprintf(line, sizeof line, "%s %lld\n", what, size);
  int log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (log < 0) return;
  (void)!write(log, line, (size_t)n); /* one write: whole lines only */
  close(log);
}

static void log_size(int fd) {
  struct stat st;
  if (!is_store(fd) || fstat(fd, &st) != 0) return;
  log_event("synced", (long long)st.st_size);
}

static int logged(const char* name, int fd) {
  sync_fn next = (sync_fn)dlsym(RTLD_NEXT, name);
  int r = next(fd);
  if (r == 0) log_size(fd);
  return r;
}

int fdatasync(int fd) { return logged("fdatasync", fd); }
int fsync(int fd) { return logged("fsync", fd); }

#if defined(__has_include)
#if __has_include(<liburing.h>)
#include <liburing.h>

typedef unsigned (*peek_fn)(struct io_uring*, struct io_uring_cqe**, unsigned);

unsigned io_uring_peek_batch_cqe(struct io_uring* ring, struct io_uring_cqe** cqes,
                                 unsigned count) {
  peek_fn next = (peek_fn)dlsym(RTLD_NEXT, "io_uring_peek_batch_cqe");
  unsigned n = next(ring, cqes, count);
  for (unsigned i = 0; i < n; i++) {
    if (cqes[i]->res == 0) log_event("synced", (long long)cqes[i]->user_data);
  }
  return n;
}

typedef int (*submit_fn)(struct io_uring*);

int io_uring_submit(struct io_uring* ring) {
  submit_fn next = (submit_fn)dlsym(RTLD_NEXT, "io_uring_submit");
  /* The entry the server prepared last, before the kernel takes it. */
  struct io_uring_sqe* sqe = &ring->sq.sqes[(ring->sq.sqe_tail - 1) & ring->sq.ring_mask];
  if (ring->sq.sqe_tail != ring->sq.sqe_head && sqe->opcode == IORING_OP_FSYNC) {
    log_event("started", (long long)sqe->user_data);
  }
  return next(ring);
}
#endif
#endif
