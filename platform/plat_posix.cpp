// POSIX backend of the platform layer (Linux).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#ifdef CHUNK_HAVE_LIBURING
#include <liburing.h>
#endif

#include "platform/plat.h"
#include "platform/plat_internal.h"

namespace {

// Calls f again while a signal cuts it short (EINTR).
template <class F>
auto again_on_eintr(F f) {
  auto r = f();
  while (r < 0 && errno == EINTR) r = f();
  return r;
}

sockaddr_in to_sockaddr(const PlatAddr4& a) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(a.port);
  sa.sin_addr.s_addr = htonl(a.ip);
  return sa;
}

int g_sock_error = 0;  // errno of the last failing socket call

long sock_result(long r) {
  if (r < 0) g_sock_error = errno;
  return r;
}

}  // namespace

bool plat_net_start() {
  // A send to a peer that has gone must come back as EPIPE, not kill us.
  signal(SIGPIPE, SIG_IGN);
  // A write beyond a file-size limit (ulimit -f) must fail with EFBIG, so
  // that the caller reports it and exits with its own status, instead of
  // the process being killed without a word.
  signal(SIGXFSZ, SIG_IGN);
  // Started with standard streams closed, the store or a socket would get
  // descriptor 0 to 2, and a socket value of 0 means "no socket" to the
  // server. Keep them taken.
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) < 0) (void)open("/dev/null", O_RDWR);
  }
  return true;
}

PlatSocket plat_tcp_socket() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) {
    g_sock_error = errno;
    return kPlatNoSocket;
  }
  return s;
}

int plat_sock_set_nonblocking(PlatSocket s) {
  int flags = fcntl(int(s), F_GETFL, 0);
  if (flags < 0) return int(sock_result(-1));
  return int(sock_result(fcntl(int(s), F_SETFL, flags | O_NONBLOCK)));
}

int plat_sock_set_reuse(PlatSocket s) {
  // Linux SO_REUSEADDR still refuses a port that a live listener holds; it
  // only skips the TIME_WAIT of connections a previous server left behind.
  int one = 1;
  return int(sock_result(
      setsockopt(int(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one)));
}

int plat_sock_set_keepalive(PlatSocket s, unsigned idle_s, unsigned interval_s, unsigned count) {
  int on = 1, idle = int(idle_s), intvl = int(interval_s), cnt = int(count);
  if (sock_result(setsockopt(int(s), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on)) != 0) return -1;
  if (sock_result(setsockopt(int(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle)) != 0 ||
      sock_result(setsockopt(int(s), IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl)) != 0 ||
      sock_result(setsockopt(int(s), IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt)) != 0) {
    return -1;
  }
  return 0;
}

int plat_sock_set_nodelay(PlatSocket s) {
  int on = 1;
  return int(sock_result(setsockopt(int(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on)));
}

int plat_sock_bind(PlatSocket s, const PlatAddr4& addr) {
  sockaddr_in sa = to_sockaddr(addr);
  return int(sock_result(bind(int(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa)));
}

int plat_sock_listen(PlatSocket s, int backlog) {
  // A negative backlog asks for the system's maximum.
  if (backlog < 0) backlog = SOMAXCONN;
  return int(sock_result(listen(int(s), backlog)));
}

PlatSocket plat_sock_accept(PlatSocket s, PlatAddr4* peer) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  int c = accept(int(s), reinterpret_cast<sockaddr*>(&sa), &len);
  if (c < 0) {
    g_sock_error = errno;
    return kPlatNoSocket;
  }
  peer->ip = ntohl(sa.sin_addr.s_addr);
  peer->port = ntohs(sa.sin_port);
  return c;
}

int plat_sock_connect(PlatSocket s, const PlatAddr4& addr) {
  sockaddr_in sa = to_sockaddr(addr);
  const int r = again_on_eintr(
      [&] { return connect(int(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa); });
  return int(sock_result(r));
}

long plat_sock_recv(PlatSocket s, void* buf, size_t n) {
  const long r = again_on_eintr([&] { return recv(int(s), buf, n, 0); });
  return sock_result(r);
}

long plat_sock_send(PlatSocket s, const void* buf, size_t n) {
  const long r = again_on_eintr([&] { return send(int(s), buf, n, MSG_NOSIGNAL); });
  return sock_result(r);
}

long plat_sock_send_more(PlatSocket s, const void* buf, size_t n) {
#ifdef MSG_MORE
  const long r = again_on_eintr([&] { return send(int(s), buf, n, MSG_NOSIGNAL | MSG_MORE); });
  return sock_result(r);
#else
  return plat_sock_send(s, buf, n);
#endif
}

int plat_sock_push(PlatSocket s) {
  // Turning TCP_NODELAY on (again) sends the segments held back at once.
  return plat_sock_set_nodelay(s);
}

int plat_sock_shutdown_both(PlatSocket s) {
  return int(sock_result(shutdown(int(s), SHUT_RDWR)));
}

int plat_sock_shutdown_send(PlatSocket s) {
  return int(sock_result(shutdown(int(s), SHUT_WR)));
}

int plat_sock_close(PlatSocket s) { return int(sock_result(close(int(s)))); }

int plat_sock_last_error() { return g_sock_error; }

bool plat_sock_error_is_would_block(int err) {
  return err == EWOULDBLOCK || err == EAGAIN;
}

bool plat_sock_error_is_addr_in_use(int err) { return err == EADDRINUSE; }

bool plat_sock_error_is_refused(int err) { return err == ECONNREFUSED; }

void plat_sock_wait(const PlatSockWait* items, size_t n, unsigned timeout_ms) {
  pollfd fds[8];
  nfds_t k = 0;
  for (size_t i = 0; i < n && k < 8; i++) {
    short ev = short((items[i].want_read ? POLLIN : 0) | (items[i].want_write ? POLLOUT : 0));
    if (ev == 0) continue;
    fds[k].fd = int(items[i].s);
    fds[k].events = ev;
    fds[k].revents = 0;
    k++;
  }
  if (k == 0 || poll(fds, k, int(timeout_ms)) < 0) plat_sleep_ms(timeout_ms);
}

bool plat_resolve4(const char* host, PlatAddr4* out) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return false;
  const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
  out->ip = ntohl(sa->sin_addr.s_addr);
  out->port = 0;
  freeaddrinfo(res);
  return true;
}

void plat_addr_text(uint32_t ip, char* out) {
  snprintf(out, 16, "%u.%u.%u.%u", unsigned(ip >> 24), unsigned((ip >> 16) & 255),
           unsigned((ip >> 8) & 255), unsigned(ip & 255));
}

// ---- Files -----------------------------------------------------------------

namespace {
int g_file_error = 0;

PlatFile file_result(int fd) {
  if (fd < 0) {
    g_file_error = errno;
    return kPlatNoFile;
  }
  return fd;
}

// open() succeeds on a directory with O_RDONLY; a store or list must be a
// regular file (or at least not a directory).
PlatFile refuse_directory(PlatFile f) {
  if (f == kPlatNoFile) return f;
  struct stat st;
  if (fstat(int(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    close(int(f));
    g_file_error = EISDIR;
    return kPlatNoFile;
  }
  return f;
}
}  // namespace

PlatFile plat_file_open_always_rw(const char* path) {
  return refuse_directory(file_result(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644)));
}

PlatFile plat_file_open_read(const char* path) {
  return refuse_directory(file_result(open(path, O_RDONLY | O_CLOEXEC)));
}

PlatFile plat_file_create_write(const char* path) {
  return file_result(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

PlatFile plat_file_create_new(const char* path) {
  return file_result(open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
}

int plat_file_close(PlatFile f) {
  if (close(int(f)) != 0) {
    g_file_error = errno;
    return -1;
  }
  return 0;
}

int plat_file_sync(PlatFile f) {
  int hooked;
  if (plat_file_sync_by_hook(f, &hooked)) return hooked;
  if (fdatasync(int(f)) != 0) {
    g_file_error = errno;
    return -1;
  }
  return 0;
}

namespace {

#ifdef CHUNK_HAVE_LIBURING
// The ring for syncs in flight: set up at the first one; where the kernel
// refuses (too old, or io_uring turned off), syncs block as before.
struct SyncRing {
  bool tried;
  bool ready;
  bool in_flight;
  io_uring ring;
};
SyncRing g_sync_ring;

bool sync_ring_ready() {
  if (!g_sync_ring.tried) {
    g_sync_ring.tried = true;
    g_sync_ring.ready = io_uring_queue_init(2, &g_sync_ring.ring, 0) == 0;
  }
  return g_sync_ring.ready;
}
#endif

}  // namespace

int plat_file_sync_start(PlatFile f, uint64_t covers) {
  int r;
  if (plat_file_sync_start_by_hook(f, covers, &r)) return r;
#ifdef CHUNK_HAVE_LIBURING
  if (!g_sync_ring.in_flight && sync_ring_ready()) {
    io_uring_sqe* sqe = io_uring_get_sqe(&g_sync_ring.ring);
    if (sqe != nullptr) {
      io_uring_prep_fsync(sqe, int(f), IORING_FSYNC_DATASYNC);
      io_uring_sqe_set_data64(sqe, covers);
      if (io_uring_submit(&g_sync_ring.ring) == 1) {
        g_sync_ring.in_flight = true;
        return 1;
      }
    }
  }
#else
  (void)covers;
#endif
  return plat_file_sync(f) == 0 ? 0 : -1;
}

int plat_file_sync_poll(bool wait) {
  int r;
  if (plat_file_sync_poll_by_hook(wait, &r)) return r;
#ifdef CHUNK_HAVE_LIBURING
  if (!g_sync_ring.in_flight) return 1;
  io_uring_cqe* cqe = nullptr;
  // Completions are taken with io_uring_peek_batch_cqe (a call into the
  // library, which a test's preloaded library watches), after waiting for
  // one when asked to.
  if (io_uring_peek_batch_cqe(&g_sync_ring.ring, &cqe, 1) == 0) {
    if (!wait) return 0;
    int w;
    do {
      w = io_uring_wait_cqe(&g_sync_ring.ring, &cqe);
    } while (w == -EINTR);
    if (w != 0 || io_uring_peek_batch_cqe(&g_sync_ring.ring, &cqe, 1) == 0) {
      g_file_error = w != 0 ? -w : EIO;
      return -1;  // the ring itself failed: the sync cannot be known done
    }
  }
  const int res = cqe->res;
  io_uring_cqe_seen(&g_sync_ring.ring, cqe);
  g_sync_ring.in_flight = false;
  if (res < 0) {
    g_file_error = -res;
    return -1;
  }
  return 1;
#else
  (void)wait;
  return 1;
#endif
}

void plat_file_start_writeback(PlatFile f, uint64_t offset, uint64_t n) {
#ifdef SYNC_FILE_RANGE_WRITE
  (void)sync_file_range(int(f), off64_t(offset), off64_t(n), SYNC_FILE_RANGE_WRITE);  // a hint
#else
  (void)f;
  (void)offset;
  (void)n;
#endif
}

int plat_folder_sync(const char* path) {
  // The folder is the path up to its last slash ("." without one).
  const char* slash = strrchr(path, '/');
  char folder[4096];
  if (slash == nullptr) {
    strcpy(folder, ".");
  } else if (slash == path) {
    strcpy(folder, "/");
  } else {
    size_t n = size_t(slash - path);
    if (n >= sizeof folder) {
      g_file_error = ENAMETOOLONG;
      return -1;
    }
    memcpy(folder, path, n);
    folder[n] = '\0';
  }
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    g_file_error = errno;
    return -1;
  }
  int r = fsync(fd);
  if (r != 0) g_file_error = errno;
  (void)close(fd);
  return r == 0 ? 0 : -1;
}

int plat_file_seek(PlatFile f, int64_t distance, PlatSeekFrom from, uint64_t* new_pos) {
  int whence = from == kSeekBegin ? SEEK_SET : from == kSeekCurrent ? SEEK_CUR : SEEK_END;
  off_t r = lseek(int(f), off_t(distance), whence);
  if (r < 0) {
    g_file_error = errno;
    return -1;
  }
  if (new_pos) *new_pos = uint64_t(r);
  return 0;
}

bool plat_file_length(PlatFile f, uint64_t* length) {
  struct stat st;
  if (fstat(int(f), &st) != 0) {
    g_file_error = errno;
    return false;
  }
  if (st.st_size > 0) {
    *length = uint64_t(st.st_size);
    return true;
  }
  // An empty file, or one whose length only a read finds (the seek fails).
  return plat_file_seek(f, 0, kSeekEnd, length) == 0 && plat_file_seek(f, 0, kSeekBegin, nullptr) == 0;
}

bool plat_path_size(const char* path, uint64_t* size) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = uint64_t(st.st_size);
  return true;
}

long plat_file_read(PlatFile f, void* buf, size_t n) {
  const ssize_t r = again_on_eintr([&] { return read(int(f), buf, n); });
  if (r < 0) g_file_error = errno;
  return long(r);
}

long plat_file_write(PlatFile f, const void* buf, size_t n) {
  const ssize_t r = again_on_eintr([&] { return write(int(f), buf, n); });
  if (r < 0) g_file_error = errno;
  return long(r);
}

void plat_file_note_disk_full() { g_file_error = ENOSPC; }

void plat_file_note_error(int err) { g_file_error = err; }

void plat_file_note_name_too_long() { g_file_error = ENAMETOOLONG; }

bool plat_file_error_is_exists(int err) { return err == EEXIST; }

bool plat_path_is_special(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  return !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool plat_path_is_dir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_file_rename(const char* from, const char* to) {
  if (rename(from, to) != 0) {
    g_file_error = errno;
    return -1;
  }
  return 0;
}

int plat_file_remove(const char* path) {
  if (unlink(path) != 0) {
    g_file_error = errno;
    return -1;
  }
  return 0;
}

int plat_file_last_error() { return g_file_error; }

const char* plat_error_text(int err) { return strerror(err); }

PlatFile plat_stdin_file() { return STDIN_FILENO; }

PlatFile plat_stdout_file() { return STDOUT_FILENO; }

PlatFile plat_stderr_file() { return STDERR_FILENO; }

void plat_stdout_binary() {}  // POSIX streams never translate newlines

bool plat_stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

void plat_broken_pipe_fails_writes() { signal(SIGPIPE, SIG_IGN); }

// ---- Process ---------------------------------------------------------------

uint32_t plat_process_id() { return uint32_t(getpid()); }

namespace {
void* run_thread(void* arg) {
  PlatThread* t = static_cast<PlatThread*>(arg);
  t->work(t->ctx);
  return nullptr;
}
}  // namespace

bool plat_thread_start(PlatThread* t, void (*work)(void* ctx), void* ctx) {
  t->work = work;
  t->ctx = ctx;
  pthread_t id;
  if (pthread_create(&id, nullptr, run_thread, t) != 0) return false;
  t->handle = uintptr_t(id);
  return true;
}

void plat_thread_join(PlatThread* t) { (void)pthread_join(pthread_t(t->handle), nullptr); }

bool plat_limit_file_size(uint64_t bytes) {
  // Beyond the limit a write fails with EFBIG once SIGXFSZ is ignored.
  signal(SIGXFSZ, SIG_IGN);
  rlimit lim;
  if (getrlimit(RLIMIT_FSIZE, &lim) != 0) return false;
  lim.rlim_cur = bytes < uint64_t(lim.rlim_max) ? rlim_t(bytes) : lim.rlim_max;
  return setrlimit(RLIMIT_FSIZE, &lim) == 0;
}

namespace {
void (*g_interrupt_cleanup)(int) = nullptr;

void on_signal(int sig) {
  int status = sig == SIGINT ? 130 : 143;
  if (g_interrupt_cleanup) g_interrupt_cleanup(status);
  _exit(status);
}
}  // namespace

void plat_on_interrupt(void (*cleanup)(int status)) {
  g_interrupt_cleanup = cleanup;
  // A write beyond a file-size limit fails with EFBIG, so that the tool
  // reports it and removes its unfinished output, instead of being killed.
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // One cleanup at a time: the other signal waits until the process ends.
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  (void)sigaction(SIGINT, &sa, nullptr);
  (void)sigaction(SIGTERM, &sa, nullptr);
}

// ---- Memory, time ----------------------------------------------------------

void* plat_big_alloc_zeroed(size_t n) {
  void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // The index is touched at random places: with 4 KiB pages every new key
  // costs a page fault until the whole table has been touched once. Huge
  // pages cut that to one fault per 2 MiB. Advice only; failure is harmless.
  (void)madvise(p, n, MADV_HUGEPAGE);
#endif
  return p;
}

void plat_big_free(void* p, size_t n) {
  if (p != nullptr) (void)munmap(p, n);
}

bool plat_big_populate(void* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
  return madvise(p, n, MADV_POPULATE_WRITE) == 0;
#else
  (void)p;
  (void)n;
  return false;
#endif
}

void plat_copy(void* dst, const void* src, size_t n) { memcpy(dst, src, n); }

void plat_sleep_ms(unsigned ms) {
  timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = long(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

uint64_t plat_monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}
