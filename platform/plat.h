// The whole operating-system surface of the programs: sockets, files, one
// large zero-filled allocation, sleeping, clocks and console modes. One
// backend per OS implements it (plat_posix.cpp, plat_win32.cpp); nothing
// outside platform/ includes an OS header.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- Sockets ---------------------------------------------------------------

// Opaque socket handle. Its integer value is what the server's log lines show.
typedef intptr_t PlatSocket;
constexpr PlatSocket kPlatNoSocket = -1;

// An IPv4 address and port, both in host order.
struct PlatAddr4 {
  uint32_t ip;  // 127.0.0.1 is 0x7F000001
  uint16_t port;
};

// Starts the socket library (Windows Sockets 1.1). On POSIX it also makes a
// send to a vanished peer, and a write beyond a file-size limit, return an
// error instead of killing the process.
bool plat_net_start();

// socket(AF_INET, SOCK_STREAM, 0); kPlatNoSocket on failure.
PlatSocket plat_tcp_socket();
// Non-blocking mode on (FIONBIO 1). Returns 0 on success.
int plat_sock_set_nonblocking(PlatSocket s);
// Lets a listener be bound again right after the previous one closed, while
// a port held by a live listener still fails. No-op where that is the
// default. Returns 0 on success.
int plat_sock_set_reuse(PlatSocket s);
// Turns TCP keepalive on for a connected socket: after idle_s seconds
// without traffic the system probes the peer every interval_s seconds, and
// after `count` unanswered probes a receive on the socket fails as for any
// other broken connection. A peer that answers is never affected. Where a
// system fixes the probe count itself (Windows: 10), `count` is not used.
// Returns 0 on success.
int plat_sock_set_keepalive(PlatSocket s, unsigned idle_s, unsigned interval_s, unsigned count);
// Sends what a send hands over at once, instead of holding a small segment
// back until the peer acknowledges the previous one (Nagle's algorithm,
// TCP_NODELAY). Returns 0 on success.
int plat_sock_set_nodelay(PlatSocket s);
// bind to addr. Returns 0 on success, nonzero on failure.
int plat_sock_bind(PlatSocket s, const PlatAddr4& addr);
int plat_sock_listen(PlatSocket s, int backlog);
// accept; kPlatNoSocket when nothing is pending or on error. Fills *peer.
PlatSocket plat_sock_accept(PlatSocket s, PlatAddr4* peer);
// Blocking connect. Returns 0 on success.
int plat_sock_connect(PlatSocket s, const PlatAddr4& addr);
// recv/send with flags 0: bytes moved, 0 on orderly close (recv), -1 on error.
long plat_sock_recv(PlatSocket s, void* buf, size_t n);
long plat_sock_send(PlatSocket s, const void* buf, size_t n);
// A send that tells the system more bytes follow at once: it may hold a
// part-filled segment back for them (MSG_MORE) instead of sending it alone.
// Where the system has no such hint, a plain send.
long plat_sock_send_more(PlatSocket s, const void* buf, size_t n);
// Sends at once what earlier plat_sock_send_more calls held back. Returns 0
// on success (and where nothing is ever held back).
int plat_sock_push(PlatSocket s);
// shutdown(SD_BOTH) and shutdown of the sending side only.
int plat_sock_shutdown_both(PlatSocket s);
int plat_sock_shutdown_send(PlatSocket s);
int plat_sock_close(PlatSocket s);
// The last socket error (WSAGetLastError / errno), read right after the
// failing call.
int plat_sock_last_error();
bool plat_sock_error_is_would_block(int err);
// The error of a bind to a port that another socket holds, and of a connect
// to a port where nobody listens.
bool plat_sock_error_is_addr_in_use(int err);
bool plat_sock_error_is_refused(int err);
// Waits until one of the sockets is ready as asked (readable: data, a
// pending connection or the peer's close; writable: send room), or until
// timeout_ms have passed, whichever comes first. With nothing to wait for it
// just sleeps. A failed wait also just sleeps out its time.
struct PlatSockWait {
  PlatSocket s;
  int32_t want_read;
  int32_t want_write;
};
void plat_sock_wait(const PlatSockWait* items, size_t n, unsigned timeout_ms);
// Resolves a host name to its first IPv4 address (gethostbyname).
bool plat_resolve4(const char* host, PlatAddr4* out);
// Dotted-decimal text of an IPv4 address; out holds at least 16 bytes.
void plat_addr_text(uint32_t ip, char* out);

// ---- Files -----------------------------------------------------------------

typedef intptr_t PlatFile;
constexpr PlatFile kPlatNoFile = -1;

enum PlatSeekFrom : int { kSeekBegin = 0, kSeekCurrent = 1, kSeekEnd = 2 };

// The length of a file just opened (its position stays at the start): one
// call where the system keeps the length, a seek to the end and back where
// it says 0 (false, with the file error set, for a file without a length,
// such as those in /proc).
bool plat_file_length(PlatFile f, uint64_t* length);
// The size of the regular file at path (false for anything else).
bool plat_path_size(const char* path, uint64_t* size);

// Read+write, opened or created empty (OPEN_ALWAYS), shared with others.
PlatFile plat_file_open_always_rw(const char* path);
// Read-only, must exist (OPEN_EXISTING), shared with others.
PlatFile plat_file_open_read(const char* path);
// Write-only, created or truncated (CREATE_ALWAYS), shared with others.
PlatFile plat_file_create_write(const char* path);
// Write-only, created only if it does not exist yet (for temporary files
// that are renamed into place).
PlatFile plat_file_create_new(const char* path);
// Whether a file error says that the file to be created exists already.
bool plat_file_error_is_exists(int err);
int plat_file_close(PlatFile f);
// Makes what was written to f durable (its data, and the size that reaches
// it): fdatasync, FlushFileBuffers. Returns 0 on success; a failure means
// the writes before it may be lost.
int plat_file_sync(PlatFile f);
// Starts writing bytes [offset, offset + n) of f to the disk without waiting
// for them (Linux: sync_file_range with SYNC_FILE_RANGE_WRITE), so that a
// later plat_file_sync finds little left to do. Does nothing where the
// system has no such call (Windows); never fails: the sync still decides.
void plat_file_start_writeback(PlatFile f, uint64_t offset, uint64_t n);
// Makes the folder that holds `path` durable, so that a file just renamed
// into it keeps its name after a power loss (POSIX: open the folder and
// fsync it). Returns 0 on success, and 0 where the system keeps a rename
// without it (Windows).
int plat_folder_sync(const char* path);
// For tests: while a hook is set (null: none), plat_file_sync(f) calls
// hook(ctx, f) instead of the system and fails when it returns an error code
// (which becomes the last file error), so that a test can count the syncs,
// see what each covered, and make one fail, on every system.
void plat_set_file_sync_hook(int (*hook)(void* ctx, PlatFile f), void* ctx);
// A sync that completes while the caller goes on (Linux: an fdatasync on
// the kernel's I/O ring, where liburing was there at build time and the
// kernel allows it). It covers what was written to f before the call;
// `covers` (the file's size then) travels with it and is what a completion
// reports to anything watching (tests/e2e/sync_log_shim.c). Returns 1 when
// it is in flight, 0 when it was done at once (no such facility: the
// blocking plat_file_sync, and then also under a test's hook), -1 when it
// failed (the last file error says why). One sync in flight at a time.
int plat_file_sync_start(PlatFile f, uint64_t covers);
// Whether the sync in flight has completed: 1 done (or none in flight), 0
// still in flight (never with `wait`, which waits for it), -1 it failed.
int plat_file_sync_poll(bool wait);
// For simulations: while set (null: none), plat_file_sync_start and
// plat_file_sync_poll call these instead (same results), so that a test
// can keep a sync in flight for as long as it likes.
void plat_set_file_sync_start_hook(int (*start)(void* ctx, PlatFile f, uint64_t covers),
                                   int (*poll)(void* ctx, bool wait), void* ctx);
// Moves the position (64-bit); stores the new position. Returns 0 on success.
int plat_file_seek(PlatFile f, int64_t distance, PlatSeekFrom from,
                   uint64_t* new_pos);
// Bytes read (0 at the end), or -1 on error. One read call, may be short.
long plat_file_read(PlatFile f, void* buf, size_t n);
// Bytes written, or -1 on error. One write call, may be short.
long plat_file_write(PlatFile f, const void* buf, size_t n);
// Writes all n bytes, retrying short writes. Returns 0 on success, else -1.
int plat_file_write_all(PlatFile f, const void* buf, size_t n);
// Reads until n bytes or the end. Returns the count read, or -1 on error.
long plat_file_read_full(PlatFile f, void* buf, size_t n);
// True when path names something that exists and is not a plain file: a
// device, a FIFO, a symbolic link (or another reparse point). Output meant
// for such a path is written to it directly: renaming a finished temporary
// file over it would replace the device or the link with a plain file.
bool plat_path_is_special(const char* path);
// True when path names a directory.
bool plat_path_is_dir(const char* path);
// Renames, replacing the target if it exists. Returns 0 on success.
int plat_file_rename(const char* from, const char* to);
int plat_file_remove(const char* path);
// The last file error (GetLastError / errno).
int plat_file_last_error();
// Text for an error code from plat_file_last_error or plat_sock_last_error.
const char* plat_error_text(int err);

// Standard streams as files. Reads of standard input go through the
// handle, untranslated (no newline conversion on Windows either).
PlatFile plat_stdin_file();
PlatFile plat_stdout_file();
PlatFile plat_stderr_file();
// Switches standard output to binary mode (no newline translation).
void plat_stdout_binary();
bool plat_stderr_is_terminal();
// From now on a write to a pipe whose reader has gone fails like any other
// write (EPIPE) instead of ending the process with SIGPIPE, so that a tool
// writing to `| head` can say so and exit with its own status. (Windows
// never signals: the write fails with ERROR_NO_DATA.)
void plat_broken_pipe_fails_writes();

// ---- Paths and file identity ----------------------------------------------
// (plat_paths_posix.cpp, plat_paths_win32.cpp)

// What makes a file the same file however its path is spelled (through
// symbolic and hard links, "./", "//"): the device and inode on POSIX, the
// volume serial number and file index on Windows.
struct PlatFileId {
  uint64_t volume;
  uint64_t index;
};
inline bool operator==(const PlatFileId& a, const PlatFileId& b) {
  return a.volume == b.volume && a.index == b.index;
}

// The identity of what path names, following links. False (with the file
// error set) when nothing is there or it cannot be examined.
bool plat_path_identity(const char* path, PlatFileId* id);

enum PlatPathKind : int {
  kPathMissing = 0,
  kPathRegular,
  kPathDirectory,
  kPathCharDevice,
  kPathBlockDevice,
  kPathFifo,
  kPathSocket,
  kPathOther,
};
// What path names, following links (kPathMissing, with the file error set,
// when it cannot be examined).
PlatPathKind plat_path_kind(const char* path);

// The folder that holds path: everything before its last separator, "." when
// it has none, the root for a file in the root. Fits in cap bytes (false
// when it does not).
bool plat_path_folder(const char* path, char* out, size_t cap);
// The start of path's last component (after its last separator).
const char* plat_path_name(const char* path);

// The longest file name, in bytes, that the folder of path takes.
size_t plat_name_max(const char* path);

// Whether a new file can be made in the folder of path: it exists, is a
// folder, and (where the system tells) may be written. False with the file
// error set otherwise.
bool plat_folder_accepts_files(const char* path);

// The identities of the files that the process listening on TCP port
// `port` of this machine holds open (at most cap of them go to ids; the
// count found is returned), and its process id in *pid. 0 where no such
// process is found, cannot be examined, or the system offers no way to tell
// (Windows).
size_t plat_listener_open_files(uint16_t port, PlatFileId* ids, size_t cap, uint32_t* pid);

// The identity of an open file (it may have been renamed or removed since).
bool plat_file_identity(PlatFile f, PlatFileId* id);

// Removes an empty folder. Returns 0, or -1 with the file error set.
int plat_dir_remove(const char* path);

// Calls each(ctx, name) for every entry of the folder dir but "." and
// "..", in no particular order. Returns 0, or -1 with the file error set
// when the folder cannot be read.
int plat_dir_list(const char* dir, void (*each)(void* ctx, const char* name), void* ctx);
// Creates the folder path; 0 also when a folder of that name exists. -1,
// with the file error set, when it cannot be made.
int plat_make_dir(const char* path);

// Locks a whole open file for this process: shared (several holders) or
// exclusive, waiting until it is granted. Released by plat_file_unlock or
// when the file is closed (also when the process ends). flock on POSIX,
// LockFileEx on Windows. Returns 0 on success.
int plat_file_lock(PlatFile f, bool exclusive);
// The same without waiting: 0 taken, 1 held by another, -1 failed.
int plat_file_try_lock(PlatFile f, bool exclusive);
int plat_file_unlock(PlatFile f);

// ---- Process ---------------------------------------------------------------

// The process id, for names of scratch files that must not collide.
uint32_t plat_process_id();
// Makes every later write that would grow a file beyond `bytes` fail (a
// short write, then an error) instead of ending the process. For tests of
// failing writes; false where the system has no such limit (Windows).
bool plat_limit_file_size(uint64_t bytes);

// From now on an interrupt (Ctrl-C, SIGINT) ends the process with status
// 130 and a request to end (SIGTERM; on Windows closing the console, log-off
// or shut-down) with 143, after calling cleanup(status). cleanup runs inside
// a signal handler (POSIX) or on a thread of its own (Windows) while the
// program may be anywhere, so it may only remove files and write to
// plat_stderr_file(). A write beyond a file-size limit (ulimit -f) then
// fails like any failed write instead of ending the process.
void plat_on_interrupt(void (*cleanup)(int status));

// A second thread for work that runs beside the caller's (a digest of the
// bytes the caller goes on to cut). plat_thread_start returns false where no
// thread can be had, having started nothing: the caller then does the work
// itself. Every started thread is joined.
struct PlatThread {
  void (*work)(void* ctx);
  void* ctx;
  uintptr_t handle;
};
bool plat_thread_start(PlatThread* t, void (*work)(void* ctx), void* ctx);
void plat_thread_join(PlatThread* t);

// ---- Memory, time ----------------------------------------------------------

// One large allocation, zero-filled, committed read/write; null on failure.
// The server never frees its one. On Linux an anonymous mapping, so untouched
// pages cost nothing.
void* plat_big_alloc_zeroed(size_t n);
// Gives back an allocation of plat_big_alloc_zeroed (p may be null).
void plat_big_free(void* p, size_t n);
// Faults every page of a plat_big_alloc_zeroed block in now (Linux:
// MADV_POPULATE_WRITE), so that the first writes into it later cost no page
// faults. Returns false where the system cannot (older kernels, Windows,
// where committed memory is already backed); the block works either way.
bool plat_big_populate(void* p, size_t n);
// Copies n bytes (the regions do not overlap), for the large copies of the
// hot path: a chunk into its buffer, chunks into the append buffer. memcpy
// on Linux; on Windows the processor's string copy (rep movsb), as the
// C runtime's memcpy there (msvcrt, or Wine's) copies a chunk of a few
// kilobytes in up to twice the time.
void plat_copy(void* dst, const void* src, size_t n);
void plat_sleep_ms(unsigned ms);
// A monotonic clock in milliseconds.
uint64_t plat_monotonic_ms();
