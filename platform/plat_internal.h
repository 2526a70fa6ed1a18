// What the backends provide to the platform code that both share.
#pragma once

// Records "disk full" as the last file error: a write that moved 0 bytes.
void plat_file_note_disk_full();
// Records "name too long" as the last file error.
void plat_file_note_name_too_long();
// Whether a file error says that the file to be created exists already.
bool plat_file_error_is_exists(int err);
