// The catalogue of versions in a store folder.
//
// A store folder is the server's working folder: it holds the store file
// "$dump" and the folder "versions" beside it. A version is a record list,
// exactly as chunksend writes one, plus a small text file that describes it:
//
//   versions/NAME.list      the record list (any tool reads it as a plain file)
//   versions/NAME.version   what the version is, one "key value" per line:
//     format 1
//     name NAME
//     stored 2026-12-09T21:40:05Z      when it was complete (UTC)
//     input PATH                       one line per input sent, in order;
//                                      "input -" for standard input
//     bytes N                          the real bytes its records name
//     records N
//     new-bytes N                      what storing it added to "$dump"
//                                      ("-" when not known)
//     store-end N                      the size of "$dump" when it was stored:
//                                      every record lies below it
//     list FILE                        its list, in "versions" (NAME.list)
//     list-sha256 HEX                  SHA-256 of the list's bytes
//
// The .version file is written last (through the output module), so a
// version exists, complete and synced, exactly when its .version file does;
// a list without one is a leftover of a run that failed. A NAME is 1 to 100
// characters of A-Z a-z 0-9 . _ - + @, not starting with '.' or '-'.
// Versions are listed oldest first: by "stored", then "store-end", then name.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/plat.h"

constexpr char kCatalogFolder[] = "versions";
constexpr char kVersionSuffix[] = ".version";
constexpr char kListSuffix[] = ".list";

struct VersionInfo {
  std::string name;
  std::string stored;               // "YYYY-MM-DDTHH:MM:SSZ"
  std::vector<std::string> inputs;  // "-" for standard input
  uint64_t bytes = 0;
  uint64_t records = 0;
  bool new_bytes_known = false;
  uint64_t new_bytes = 0;
  uint64_t store_end = 0;
  std::string list;                 // file name inside "versions"
  std::string list_sha256;          // 64 lowercase hex digits
};

// A decimal number of 64 bits, digits only, as the descriptions write them.
bool catalog_parse_number(const std::string& s, uint64_t* out);

// Whether name may name a version.
bool version_name_ok(const char* name);

// DIR/$dump, DIR/versions, DIR/versions/FILE.
std::string catalog_store_path(const std::string& dir);
std::string catalog_folder_path(const std::string& dir);
std::string catalog_file_path(const std::string& dir, const std::string& file);

// The .version file's text, and back. Parsing fails (false, *why says what)
// on a missing key, a number that is not one, or an unknown format.
std::string version_info_text(const VersionInfo& v);
bool version_info_parse(const std::string& text, VersionInfo* v, std::string* why);

// Every version of the store folder, oldest first. A .version file that
// cannot be read or parsed is named in *damaged ("FILE: why") and left out.
// False (with *why) when the folder "versions" exists but cannot be read; a
// store folder without one has no versions.
bool catalog_read(const std::string& dir, std::vector<VersionInfo>* versions,
                  std::vector<std::string>* damaged, std::string* why);

// The current time as "stored" writes it, and any time given in seconds
// since 1970-01-01T00:00:00Z.
std::string catalog_now_utc();
std::string catalog_utc_text(int64_t seconds);

enum VersionLookup : int {
  kVersionFound = 0,
  kVersionMissing,  // no NAME.version
  kVersionDamaged,  // it cannot be read or parsed, or names another version
};

// The version NAME of the store folder; *why says what is wrong unless it
// is found.
VersionLookup catalog_find(const std::string& dir, const std::string& name, VersionInfo* v,
                           std::string* why);

// Creates the folder "versions" when it is missing. False, with *why, when
// it cannot be made.
bool catalog_make_folder(const std::string& dir, std::string* why);

// A name in "versions" for a new list of version NAME that no file has:
// NAME.list, else NAME.r2.list, NAME.r3.list, ...
std::string catalog_fresh_list(const std::string& dir, const std::string& name);

// The SHA-256 of the file at path (or of what is left to read of the open
// file f), as list-sha256 writes it. False, with *why, when it cannot be
// read.
bool catalog_file_sha256(const std::string& path, std::string* hex, std::string* why);
bool catalog_sha256_of(PlatFile f, std::string* hex, std::string* why);

enum VersionList : int {
  kListReady = 0,    // open, at its start, and its digest is the one kept
  kListNoVersion,    // no version of that name
  kListUnreadable,   // the list cannot be opened or read
  kListDamaged,      // its .version file is damaged, or the list's digest differs
};

// Opens the list of version NAME of the store folder dir and checks its
// SHA-256 against the .version file before anything uses it; *f is left
// open at the list's start when kListReady. *why says what is wrong
// otherwise.
VersionList catalog_open_list(const std::string& dir, const std::string& name, VersionInfo* v,
                              PlatFile* f, std::string* why);

// Writes DIR/versions/NAME.version through the output module: a temporary
// file, synced, renamed over what was there, its folder synced. False, with
// *why, when it cannot be written.
bool catalog_write_version(const std::string& dir, const VersionInfo& v, std::string* why);
