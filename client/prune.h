// Pruning a store folder: keeping only some of its versions.
//
// The new store holds exactly the chunks of the versions kept, byte for
// byte the store a fresh server would hold after being sent their files in
// order, oldest first (client/store_copy.h: every chunk cut again and
// checked); their lists are rewritten for it. Store and catalogue are built
// whole in the staging folder ".prune" of the store folder, then switched
// in (common/store_switch.h) while the store folder's lock is held
// exclusive: no client connected, no version half stored. Versions stored
// while the prune built the new store are carried into it before the
// switch. A running server opens the new store at its next client.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr char kPruneStagingName[] = ".prune";
constexpr char kPruneLockName[] = "$prune";

struct PruneRequest {
  std::string dir;                      // the store folder
  std::vector<std::string> keep;        // --keep NAME
  int64_t keep_last = -1;               // --keep-last N
  std::string keep_since;               // --keep-newer-than DATE (stored at or after)
  bool quiet = false;
};

struct PruneReport {
  uint64_t versions_before = 0;
  uint64_t kept = 0;
  uint64_t carried = 0;     // stored while the prune ran, carried into the new store
  uint64_t dropped = 0;
  uint64_t store_before = 0;
  uint64_t store_after = 0;
  bool switched = false;
};

enum PruneStatus : int {
  kPruneOk = 0,
  kPruneUsage = 1,       // no such version, no store folder, nothing chosen
  kPruneWriteFailed = 2, // the new store or a list cannot be written (or the index allocated)
  kPruneBadData = 3,     // a version is damaged or a record cannot be copied
  kPruneChanged = 4,     // the catalogue changed in a way that cannot be carried, or another prune runs
};

// Whether DATE is "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SSZ".
bool prune_date_ok(const char* date);

// The report: one JSON object on standard output with json, a line on
// stderr unless quiet.
void prune_print(const PruneReport& r, bool json, bool quiet);

// Runs the prune; messages on stderr. Nothing is switched unless it
// returns kPruneOk with report->switched.
int prune_run(const PruneRequest& req, PruneReport* report);

// The versions kept out of all (oldest first): every NAME of keep (false,
// with *missing, when one is not there), the last keep_last, and those
// stored at or after keep_since ("YYYY-MM-DD" or the full stored form).
struct VersionInfo;
bool prune_choose(const std::vector<VersionInfo>& all, const PruneRequest& req,
                  std::vector<bool>* kept, std::string* missing);
