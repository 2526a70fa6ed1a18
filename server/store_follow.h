// The server's hold on its store folder: "$dump" opened and its index
// rebuilt at start-up, the folder's lock held shared while a client is
// connected (common/store_lock.h), and a switch to a new store followed.
//
// A prune replaces "$dump" and the catalogue while it holds the lock
// exclusive, so only between clients. When the next client comes, the
// server finds that "$dump" is no longer the file it has open, and opens
// the new one and rebuilds its index from it before it serves the client:
// it never appends to a file that is no longer the store. A pull into a
// mirror folder appends to "$dump" under the same exclusive lock: a store
// that grew between clients is read again the same way, so that the index
// knows the chunks the pull brought.
#pragma once
#include <cstdint>

#include "common/store_lock.h"
#include "platform/plat.h"
#include "server/connection.h"

struct StoreHold {
  PlatFile store = kPlatNoFile;
  uint8_t* table = nullptr;  // the index table, kIndexTableBytes
  Connection* client = nullptr;
  bool sync_off = false;
  StoreLock lock;
  bool client_in = false;    // a client is connected and the lock held
  uint64_t known_size = 0;   // the size of "$dump" when the server last wrote it
};

// Start-up: finishes a switch a prune left half done, opens or creates
// "$dump", rebuilds the index into table and prepares the client's pass.
// Returns 0, or the status to exit with after a message (2: "$dump" cannot
// be opened; 3: it cannot be read back or synced).
int store_hold_open(StoreHold* h, uint8_t* table, Connection* client, bool sync_off);

// A client was accepted: takes the lock shared (waiting while a prune
// switches stores) and follows a switch. Returns 0, or 3 after a message
// when the new store cannot be opened or read.
int store_hold_client_in(StoreHold* h);
// The client's connection was closed: the lock is released.
void store_hold_client_out(StoreHold* h);
