// What the backends provide to the platform code that both share.
#pragma once

#include "platform/plat.h"

// Records "disk full" as the last file error: a write that moved 0 bytes.
void plat_file_note_disk_full();
// Records "name too long" as the last file error.
void plat_file_note_name_too_long();
// True when a test's hook stands in for the system's sync; *result is then
// plat_file_sync's result (the hook's error recorded as the file error).
bool plat_file_sync_by_hook(PlatFile f, int* result);
// The same for plat_file_sync_start and plat_file_sync_poll: true when a
// test's hooks stand in (a blocking sync hook alone makes every start
// complete at once).
bool plat_file_sync_start_by_hook(PlatFile f, uint64_t covers, int* result);
bool plat_file_sync_poll_by_hook(bool wait, int* result);
// Records err as the last file error.
void plat_file_note_error(int err);
