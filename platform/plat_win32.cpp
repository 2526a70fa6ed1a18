// Win32 backend of the platform layer: Windows Sockets 1.1, Win32 files,
// VirtualAlloc, Sleep and the C runtime's console modes.
#include <winsock2.h>
#include <windows.h>
#include <mstcpip.h>
#include <intrin.h>

#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "platform/plat.h"
#include "platform/plat_internal.h"

namespace {

// Sockets are SOCKET (UINT_PTR) inside Windows and PlatSocket (intptr_t)
// outside; INVALID_SOCKET and kPlatNoSocket stand for each other.
SOCKET to_socket(PlatSocket s) {
  return s == kPlatNoSocket ? INVALID_SOCKET : SOCKET(s);
}

PlatSocket from_socket(SOCKET s) {
  return s == INVALID_SOCKET ? kPlatNoSocket : PlatSocket(s);
}

HANDLE to_handle(PlatFile f) { return reinterpret_cast<HANDLE>(f); }

sockaddr_in to_sockaddr(const PlatAddr4& a) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(a.port);
  sa.sin_addr.s_addr = htonl(a.ip);
  return sa;
}

// WSAGetLastError of the last failing socket call. Kept here, like errno on
// POSIX, so that a later successful call cannot hide it.
int g_sock_error = 0;

int sock_result(int r) {
  if (r == SOCKET_ERROR) g_sock_error = WSAGetLastError();
  return r;
}

// Winsock counts buffer lengths in int, and a long is 32 bits on Windows.
int clamp_len(size_t n) { return n > size_t(INT_MAX) ? INT_MAX : int(n); }

}  // namespace

bool plat_net_start() {
  WSADATA wsa;
  return WSAStartup(0x0101, &wsa) == 0;
}

PlatSocket plat_tcp_socket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) g_sock_error = WSAGetLastError();
  return from_socket(s);
}

int plat_sock_set_nonblocking(PlatSocket s) {
  u_long on = 1;
  return sock_result(ioctlsocket(to_socket(s), FIONBIO, &on));
}

int plat_sock_set_reuse(PlatSocket /*s*/) {
  // SO_REUSEADDR on Windows lets a second listener take a port that a live
  // one holds; the TIME_WAIT problem it solves on POSIX does not exist here.
  return 0;
}

int plat_sock_set_keepalive(PlatSocket s, unsigned idle_s, unsigned interval_s, unsigned count) {
  (void)count;  // Windows sends 10 probes; the count cannot be set per socket
  BOOL on = TRUE;
  if (sock_result(setsockopt(to_socket(s), SOL_SOCKET, SO_KEEPALIVE,
                             reinterpret_cast<const char*>(&on), sizeof on)) != 0) {
    return -1;
  }
  // The times, in milliseconds, go through SIO_KEEPALIVE_VALS.
  tcp_keepalive vals;
  vals.onoff = 1;
  vals.keepalivetime = u_long(idle_s) * 1000;
  vals.keepaliveinterval = u_long(interval_s) * 1000;
  DWORD returned = 0;
  return sock_result(WSAIoctl(to_socket(s), SIO_KEEPALIVE_VALS, &vals, sizeof vals, nullptr, 0,
                              &returned, nullptr, nullptr));
}

int plat_sock_set_nodelay(PlatSocket s) {
  BOOL on = TRUE;
  return sock_result(setsockopt(to_socket(s), IPPROTO_TCP, TCP_NODELAY,
                                reinterpret_cast<const char*>(&on), sizeof on));
}

int plat_sock_bind(PlatSocket s, const PlatAddr4& addr) {
  sockaddr_in sa = to_sockaddr(addr);
  return sock_result(bind(to_socket(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa));
}

int plat_sock_listen(PlatSocket s, int backlog) {
  // Passed through as given: Windows Sockets takes a negative backlog as
  // "as many as the system allows".
  return sock_result(listen(to_socket(s), backlog));
}

PlatSocket plat_sock_accept(PlatSocket s, PlatAddr4* peer) {
  sockaddr_in sa;
  int len = sizeof sa;
  SOCKET c = accept(to_socket(s), reinterpret_cast<sockaddr*>(&sa), &len);
  if (c == INVALID_SOCKET) {
    g_sock_error = WSAGetLastError();
    return kPlatNoSocket;
  }
  peer->ip = ntohl(sa.sin_addr.s_addr);
  peer->port = ntohs(sa.sin_port);
  return from_socket(c);
}

int plat_sock_connect(PlatSocket s, const PlatAddr4& addr) {
  sockaddr_in sa = to_sockaddr(addr);
  return sock_result(connect(to_socket(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa));
}

long plat_sock_recv(PlatSocket s, void* buf, size_t n) {
  return sock_result(recv(to_socket(s), static_cast<char*>(buf), clamp_len(n), 0));
}

long plat_sock_send(PlatSocket s, const void* buf, size_t n) {
  return sock_result(send(to_socket(s), static_cast<const char*>(buf), clamp_len(n), 0));
}

// No sync of a file runs here while the caller goes on: each is done at once.
int plat_file_sync_start(PlatFile f, uint64_t covers) {
  int r;
  if (plat_file_sync_start_by_hook(f, covers, &r)) return r;
  return plat_file_sync(f) == 0 ? 0 : -1;
}

int plat_file_sync_poll(bool wait) {
  int r;
  if (plat_file_sync_poll_by_hook(wait, &r)) return r;
  return 1;
}

// Winsock has no hint of more to come: every send goes out as it is.
long plat_sock_send_more(PlatSocket s, const void* buf, size_t n) { return plat_sock_send(s, buf, n); }

int plat_sock_push(PlatSocket) { return 0; }

int plat_sock_shutdown_both(PlatSocket s) {
  return sock_result(shutdown(to_socket(s), SD_BOTH));
}

int plat_sock_shutdown_send(PlatSocket s) {
  return sock_result(shutdown(to_socket(s), SD_SEND));
}

int plat_sock_close(PlatSocket s) { return sock_result(closesocket(to_socket(s))); }

int plat_sock_last_error() { return g_sock_error; }

bool plat_sock_error_is_would_block(int err) { return err == WSAEWOULDBLOCK; }

bool plat_sock_error_is_addr_in_use(int err) { return err == WSAEADDRINUSE; }

bool plat_sock_error_is_refused(int err) { return err == WSAECONNREFUSED; }

void plat_sock_wait(const PlatSockWait* items, size_t n, unsigned timeout_ms) {
  fd_set readable, writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  bool any = false;
  for (size_t i = 0; i < n && i < FD_SETSIZE; i++) {
    if (items[i].want_read) FD_SET(to_socket(items[i].s), &readable);
    if (items[i].want_write) FD_SET(to_socket(items[i].s), &writable);
    any = any || items[i].want_read || items[i].want_write;
  }
  // select with three empty sets fails at once instead of waiting.
  timeval tv;
  tv.tv_sec = long(timeout_ms / 1000);
  tv.tv_usec = long(timeout_ms % 1000) * 1000;
  if (!any || select(0, &readable, &writable, nullptr, &tv) == SOCKET_ERROR) Sleep(timeout_ms);
}

bool plat_resolve4(const char* host, PlatAddr4* out) {
  const hostent* h = gethostbyname(host);
  if (h == nullptr) {
    g_sock_error = WSAGetLastError();
    return false;
  }
  if (h->h_addrtype != AF_INET || h->h_length != 4 || h->h_addr_list[0] == nullptr) {
    return false;
  }
  in_addr a;
  memcpy(&a, h->h_addr_list[0], sizeof a);
  out->ip = ntohl(a.s_addr);
  out->port = 0;
  return true;
}

void plat_addr_text(uint32_t ip, char* out) {
  in_addr a;
  a.s_addr = htonl(ip);
  // inet_ntoa's text lives in a per-thread buffer until the next call; the
  // longest form, 255.255.255.255, fits the 16 bytes with its terminator.
  const char* t = inet_ntoa(a);
  snprintf(out, 16, "%s", t ? t : "");
}

// ---- Files -----------------------------------------------------------------

namespace {

// Others may read, write and delete a file while we hold it: chunkpack reads
// the store while the server appends to it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int g_file_error = 0;  // GetLastError of the last failing file call

PlatFile open_file(const char* path, DWORD access, DWORD disposition) {
  HANDLE h = CreateFileA(path, access, kShareAll, nullptr, disposition, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) {
    g_file_error = int(GetLastError());
    return kPlatNoFile;
  }
  return reinterpret_cast<PlatFile>(h);
}

// ReadFile and WriteFile count in DWORD, and the result must fit a 32-bit long.
DWORD clamp_io(size_t n) { return n > size_t(LONG_MAX) ? DWORD(LONG_MAX) : DWORD(n); }

}  // namespace

PlatFile plat_file_open_always_rw(const char* path) {
  return open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
}

PlatFile plat_file_open_read(const char* path) {
  return open_file(path, GENERIC_READ, OPEN_EXISTING);
}

PlatFile plat_file_create_write(const char* path) {
  return open_file(path, GENERIC_WRITE, CREATE_ALWAYS);
}

PlatFile plat_file_create_new(const char* path) {
  return open_file(path, GENERIC_WRITE, CREATE_NEW);
}

int plat_file_close(PlatFile f) {
  if (!CloseHandle(to_handle(f))) {
    g_file_error = int(GetLastError());
    return -1;
  }
  return 0;
}

int plat_file_sync(PlatFile f) {
  int hooked;
  if (plat_file_sync_by_hook(f, &hooked)) return hooked;
  if (!FlushFileBuffers(to_handle(f))) {
    g_file_error = int(GetLastError());
    return -1;
  }
  return 0;
}

// Windows has no call that starts a file's writeback without waiting for
// it; FlushFileBuffers does all of it.
void plat_file_start_writeback(PlatFile, uint64_t, uint64_t) {}

// Windows offers no folder sync that a program can count on (a folder
// handle cannot be flushed like a file's); NTFS journals the rename itself.
int plat_folder_sync(const char*) { return 0; }

int plat_file_seek(PlatFile f, int64_t distance, PlatSeekFrom from, uint64_t* new_pos) {
  DWORD method = from == kSeekBegin ? FILE_BEGIN : from == kSeekCurrent ? FILE_CURRENT : FILE_END;
  LONG high = LONG(distance >> 32);
  // A low half of 0xFFFFFFFF is a valid result, so only the error code tells
  // a failure; clear it first.
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(to_handle(f), LONG(uint32_t(distance)), &high, method);
  if (low == INVALID_SET_FILE_POINTER) {
    DWORD err = GetLastError();
    if (err != NO_ERROR) {
      g_file_error = int(err);
      return -1;
    }
  }
  if (new_pos) *new_pos = (uint64_t(uint32_t(high)) << 32) | low;
  return 0;
}

bool plat_file_length(PlatFile f, uint64_t* length) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(to_handle(f), &size)) {
    g_file_error = int(GetLastError());
    return false;
  }
  *length = uint64_t(size.QuadPart);
  return true;
}

bool plat_path_size(const char* path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  *size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

long plat_file_read(PlatFile f, void* buf, size_t n) {
  DWORD got = 0;
  if (!ReadFile(to_handle(f), buf, clamp_io(n), &got, nullptr)) {
    DWORD err = GetLastError();
    // The writing end of a pipe has closed: that is the end of the input.
    if (err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF) return 0;
    g_file_error = int(err);
    return -1;
  }
  return long(got);
}

long plat_file_write(PlatFile f, const void* buf, size_t n) {
  DWORD put = 0;
  if (!WriteFile(to_handle(f), buf, clamp_io(n), &put, nullptr)) {
    g_file_error = int(GetLastError());
    return -1;
  }
  return long(put);
}

void plat_file_note_disk_full() { g_file_error = ERROR_DISK_FULL; }

void plat_file_note_error(int err) { g_file_error = err; }

void plat_file_note_name_too_long() { g_file_error = ERROR_FILENAME_EXCED_RANGE; }

bool plat_file_error_is_exists(int err) {
  return err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
}

bool plat_path_is_special(const char* path) {
  DWORD attrs = GetFileAttributesA(path);
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  // Devices ("NUL", "CON", "\\.\...") and pipes are not disk files.
  HANDLE h = CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD type = GetFileType(h);
  CloseHandle(h);
  return type != FILE_TYPE_DISK;
}

bool plat_path_is_dir(const char* path) {
  DWORD attrs = GetFileAttributesA(path);
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

int plat_file_rename(const char* from, const char* to) {
  if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) {
    g_file_error = int(GetLastError());
    return -1;
  }
  return 0;
}

int plat_file_remove(const char* path) {
  if (!DeleteFileA(path)) {
    g_file_error = int(GetLastError());
    return -1;
  }
  return 0;
}

int plat_file_last_error() { return g_file_error; }

const char* plat_error_text(int err) {
  static char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           DWORD(err), 0, text, sizeof text, nullptr);
  // The system's texts end in ".\r\n"; a log line adds its own line end.
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) n--;
  if (n == 0) snprintf(text, sizeof text, "error %d", err);
  else text[n] = '\0';
  return text;
}

PlatFile plat_stdin_file() { return reinterpret_cast<PlatFile>(GetStdHandle(STD_INPUT_HANDLE)); }

PlatFile plat_stdout_file() { return reinterpret_cast<PlatFile>(GetStdHandle(STD_OUTPUT_HANDLE)); }

PlatFile plat_stderr_file() { return reinterpret_cast<PlatFile>(GetStdHandle(STD_ERROR_HANDLE)); }

void plat_stdout_binary() { (void)_setmode(_fileno(stdout), _O_BINARY); }

bool plat_stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

void plat_broken_pipe_fails_writes() {}  // a write to a closed pipe fails with ERROR_NO_DATA

// ---- Process ---------------------------------------------------------------

uint32_t plat_process_id() { return uint32_t(GetCurrentProcessId()); }

namespace {
DWORD WINAPI run_thread(LPVOID arg) {
  PlatThread* t = static_cast<PlatThread*>(arg);
  t->work(t->ctx);
  return 0;
}
}  // namespace

bool plat_thread_start(PlatThread* t, void (*work)(void* ctx), void* ctx) {
  t->work = work;
  t->ctx = ctx;
  HANDLE h = CreateThread(nullptr, 0, run_thread, t, 0, nullptr);
  if (h == nullptr) return false;
  t->handle = uintptr_t(h);
  return true;
}

void plat_thread_join(PlatThread* t) {
  HANDLE h = reinterpret_cast<HANDLE>(t->handle);
  (void)WaitForSingleObject(h, INFINITE);
  (void)CloseHandle(h);
}

bool plat_limit_file_size(uint64_t /*bytes*/) { return false; }

namespace {
void (*g_interrupt_cleanup)(int) = nullptr;

// Runs on a thread the system starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
  int status = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 130 : 143;
  if (g_interrupt_cleanup) g_interrupt_cleanup(status);
  ExitProcess(UINT(status));
  return TRUE;
}
}  // namespace

void plat_on_interrupt(void (*cleanup)(int status)) {
  g_interrupt_cleanup = cleanup;
  (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

// ---- Memory, time ----------------------------------------------------------

void* plat_big_alloc_zeroed(size_t n) {
  // Committed pages come zero-filled; Windows backs them only when touched.
  return VirtualAlloc(nullptr, n, MEM_COMMIT, PAGE_READWRITE);
}

void plat_big_free(void* p, size_t) {
  if (p != nullptr) (void)VirtualFree(p, 0, MEM_RELEASE);
}

bool plat_big_populate(void* p, size_t n) {
  (void)p;
  (void)n;
  return false;
}

void plat_copy(void* dst, const void* src, size_t n) {
#if defined(__x86_64__) || defined(__i386__)
  __movsb(static_cast<unsigned char*>(dst), static_cast<const unsigned char*>(src), n);
#else
  memcpy(dst, src, n);
#endif
}

void plat_sleep_ms(unsigned ms) { Sleep(ms); }

uint64_t plat_monotonic_ms() { return GetTickCount64(); }
