// What the backends provide to the platform code that both share.
#pragma once

// Records "disk full" as the last file error: a write that moved 0 bytes.
void plat_file_note_disk_full();
