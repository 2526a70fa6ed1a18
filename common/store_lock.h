// The lock of a store folder: the file "$lock" beside "$dump", never
// replaced. Whoever reads or adds to the store's contents while others may
// run holds it shared: the server while a client is connected, chunksend
// while it stores a version (from before it connects until the version is
// in the catalogue). Replacing the store (a prune's switch to a new "$dump"
// and catalogue) holds it exclusive, so that it happens only while no
// client is connected and no version is half stored.
#pragma once
#include "platform/plat.h"

constexpr char kStoreLockName[] = "$lock";

struct StoreLock {
  PlatFile file = kPlatNoFile;
};

// Opens (or creates) FOLDER/$lock and takes it, waiting until it is
// granted (and writing `waiting`, when not null, to stderr first if it has
// to wait); folder null or "" is the working folder. False, with the file
// error set, when it cannot be opened or locked.
bool store_lock(StoreLock* l, const char* folder, bool exclusive, const char* waiting = nullptr);
// Releases and closes it (safe when it is not held).
void store_unlock(StoreLock* l);
