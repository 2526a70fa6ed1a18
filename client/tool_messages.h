// The failure messages the tools share, each written once: the same fault
// reads the same in chunkcat, chunkcopy, chunkunpack and chunkversions.
#pragma once
#include <cstdint>

#include "client/list_reader.h"
#include "client/store_window.h"
#include "common/output_file.h"

// A list that could not be read to its end (step is kListReadFailed), or
// that ends inside a record: "TOOL: reading LIST failed after record N:
// ERROR" or "TOOL: LIST ends inside a record: K stray bytes after record N".
void say_list_fault(const char* tool, const char* list, const ListReader& l, ListStep step);

// "TOOL: writing TARGET failed: ERROR", and "; not written: OUT" when out
// is not null (an output under a temporary name that is now gone).
void say_write_failed(const char* tool, const OutputFile& o, const char* out);

// "TOOL: cannot create TARGET: ERROR".
void say_cannot_create(const char* tool, const OutputFile& o);

// Opens the store file path (named `what` when it cannot be opened) in the
// window w over buf, and, with need_header, checks that it is a store.
// False after a message: "cannot open the WHAT PATH", "cannot find the size
// of PATH" or "PATH is not a chunk store".
bool tool_open_store(const char* tool, const char* what, const char* path, StoreWindow* w,
                     uint8_t* buf, bool need_header);
