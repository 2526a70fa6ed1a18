// What a tool undoes when the user interrupts it (Ctrl-C, SIGINT) or
// it is asked to end (SIGTERM): the temporary files it is writing are
// removed, an open progress line is ended with a newline, and the process
// exits with 130 or 143.
#pragma once

// Installs the handler; tool names the program in the message it prints.
void interrupt_install(const char* tool);

// Adds path to the files removed on an interrupt. Returns a slot for
// interrupt_unwatch, or -1 when the path cannot be kept (too long, or too
// many at once); such a file is then left behind by an interrupt.
int interrupt_watch(const char* path);
void interrupt_unwatch(int slot);

// Whether stderr holds a progress line without its newline.
void interrupt_note_line_open(bool open);
