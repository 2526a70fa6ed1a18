// The answers every program gives to -h/--help and --version: the usage
// text on standard output, or one version line; then the program exits 0
// without doing anything else (no connection, no file opened or created).
#pragma once

// The project's version, given by the build (CMake's project version).
constexpr const char kChunkVersion[] = CHUNK_VERSION;

// When arg is -h/--help or --version, prints the usage text or
// "PROGRAM VERSION" and exits 0; otherwise returns.
void usage_answer(const char* program, const char* usage, const char* arg);

// The same for every argument, for programs that otherwise ignore their
// arguments (chunkstore, chunkstop): the first query among them is answered.
void usage_answer_any(const char* program, const char* usage, int argc, char** argv);
