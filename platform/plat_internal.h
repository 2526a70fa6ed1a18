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
// Records err as the last file error.
void plat_file_note_error(int err);
