// What a program run as a system service needs from the operating system:
// telling the service manager that it is ready (or stopping), and learning
// that the manager asked it to stop. Kept apart from plat.h, which the
// programs use for their work itself.
#pragma once
#include <cstddef>

// Sends `message` (such as "READY=1\nSTATUS=...") as one datagram to the
// service manager's notification socket, named by the environment variable
// NOTIFY_SOCKET: a path, or an abstract socket name when it starts with '@'.
// Returns 1 when it was sent, 0 when the variable is not set (nothing to do),
// -1 when it is set but the datagram cannot be sent; then *err holds the
// system's error code (for plat_error_text).
int plat_service_notify(const char* message, int* err);

// From now on the stop signal of a service manager (SIGTERM) no longer ends
// the process at once: it only sets a flag that plat_stop_requested()
// returns, so the program can stop at a point of its choosing. Where there
// is no such signal (Windows) nothing changes.
void plat_catch_stop_request();
bool plat_stop_requested();
