// What chunkversions does with a store folder's catalogue
// (client/catalog.h): every version listed, the store and every version
// checked, and what deduplication saved. Each prints its report, as text or
// as one JSON object on standard output, and returns the status to exit
// with (VersionsStatus).
#pragma once

enum VersionsStatus : int {
  kVersionsOk = 0,
  kVersionsUsage = 1,     // not a store folder, its catalogue or store cannot be read
  kVersionsNotClean = 3,  // a version or the store is bad, or a description is damaged
};

struct VersionsOptions {
  const char* dir = nullptr;  // the store folder
  bool json = false;
  int progress = -1;          // -1: when stderr is a terminal
};

int versions_list(const VersionsOptions& o);
int versions_check(const VersionsOptions& o);
int versions_stats(const VersionsOptions& o);
