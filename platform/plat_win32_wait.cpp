// Win32 backend of plat_sock_wait, beside plat_win32.cpp: select() over the
// one socket (Windows Sockets 1.1 has no poll).
#include <winsock2.h>

#include "platform/plat.h"

int plat_sock_wait(PlatSocket s, int want, unsigned timeout_ms) {
  fd_set rd, wr, ex;
  FD_ZERO(&rd);
  FD_ZERO(&wr);
  FD_ZERO(&ex);
  SOCKET h = SOCKET(s);
  if (want & kPlatWaitRead) FD_SET(h, &rd);
  if (want & kPlatWaitWrite) FD_SET(h, &wr);
  FD_SET(h, &ex);  // a failed non-blocking operation shows up here
  timeval tv;
  tv.tv_sec = long(timeout_ms / 1000);
  tv.tv_usec = long(timeout_ms % 1000) * 1000;
  // The first argument is ignored by Windows Sockets. A failure leaves its
  // code for plat_sock_last_error (WSAGetLastError).
  int r = select(0, &rd, &wr, &ex, &tv);
  if (r == SOCKET_ERROR) return -1;
  if (r == 0) return 0;
  int ready = 0;
  if (FD_ISSET(h, &rd)) ready |= kPlatWaitRead;
  if (FD_ISSET(h, &wr)) ready |= kPlatWaitWrite;
  if (FD_ISSET(h, &ex)) ready |= kPlatWaitRead | kPlatWaitWrite;
  return ready & want;
}
