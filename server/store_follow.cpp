#include "server/store_follow.h"

#include <cstdio>
#include <cstring>

#include "common/store_format.h"
#include "common/store_switch.h"
#include "server/store.h"

namespace {

uint64_t store_size(const StoreHold* h) {
  uint64_t size = 0;
  (void)plat_file_seek(h->store, 0, kSeekEnd, &size);  // appends go to the end anyway
  return size;
}

// Opens "$dump" and rebuilds the index from it into the zeroed table.
int open_and_rebuild(StoreHold* h) {
  h->store = plat_file_open_always_rw(kStoreFileName);
  if (h->store == kPlatNoFile) {
    fprintf(stderr, "chunkstore: cannot open or create the store file %s: %s\n", kStoreFileName,
            plat_error_text(plat_file_last_error()));
    return 2;
  }
  // Refill the index from what the store file holds; new chunks go at its end.
  StoreTail tail;
  if (!store_rebuild_index(h->store, h->table, &tail)) return kStoreFailedStatus;
  connection_prepare_pass(h->client, h->store, h->table);
  pass_set_tail(&h->client->pass, tail);
  // The chunks the rebuild found may be what a crash left unsynced: they are
  // on the disk before any record names them.
  if (!store_file_start(&h->client->pass.store, h->sync_off)) return kStoreFailedStatus;
  h->known_size = store_size(h);
  return 0;
}

// Whether "$dump" is still the file the server has open.
bool store_is_current(const StoreHold* h) {
  PlatFileId open_id, named_id;
  if (!plat_file_identity(h->store, &open_id)) return true;  // cannot tell: keep it
  return plat_path_identity(kStoreFileName, &named_id) && named_id == open_id;
}

}  // namespace

int store_hold_open(StoreHold* h, uint8_t* table, Connection* client, bool sync_off) {
  h->table = table;
  h->client = client;
  h->sync_off = sync_off;
  // A switch that a crash interrupted is finished before the store is opened.
  StoreLock lock;
  if (plat_path_kind(kSwitchMarkerName) != kPathMissing && store_lock(&lock, "", true)) {
    (void)store_switch_finish("chunkstore", "");
    store_unlock(&lock);
  }
  return open_and_rebuild(h);
}

int store_hold_client_in(StoreHold* h) {
  if (h->client_in) return 0;
  // Without the lock file (a read-only folder, say) the server still serves;
  // only a prune could then not tell that a client is connected.
  (void)store_lock(&h->lock, "", false, "chunkstore: waiting for a prune to switch the store\n");
  h->client_in = true;
  const bool current = store_is_current(h);
  if (current && store_size(h) <= h->known_size) return 0;
  if (current) {
    fprintf(stderr, "chunkstore: \"%s\" grew between clients (a mirror's pull): rebuilding the "
            "index\n", kStoreFileName);
  } else {
    fprintf(stderr, "chunkstore: \"%s\" was replaced (a prune): opening it and rebuilding the "
            "index\n", kStoreFileName);
  }
  // A sync of the old file still on its way completes before the file goes:
  // its completion must not count for the new one.
  (void)store_file_sync_poll(&h->client->pass.store, true);
  (void)plat_file_close(h->store);
  memset(h->table, 0, kIndexTableBytes);
  return open_and_rebuild(h) == 0 ? 0 : kStoreFailedStatus;
}

void store_hold_client_out(StoreHold* h) {
  if (!h->client_in) return;
  // The connection left nothing in the append buffer (connection.cpp): this
  // is the size that later appends by others grow.
  h->known_size = store_size(h);
  store_unlock(&h->lock);
  h->client_in = false;
}
