#include "server/store.h"

// Until chunking exists, a "file" command's content is only consumed.
void store_pass(PassContext* p, uint64_t length) {
  PassIo* io = &p->io;
  while (length > 0) {
    uint64_t avail = uint64_t(*io->in_end - *io->in_cur);
    if (avail > 0) {
      uint64_t n = avail < length ? avail : length;
      *io->in_cur += n;
      length -= n;
    } else if (*io->end_of_input) {
      return;
    } else {
      coro_yield(io->co, io->wait_input_code);
    }
  }
}

int store_rebuild_index(PlatFile store, uint8_t* index_table) {
  (void)index_table;
  (void)plat_file_seek(store, 0, kSeekEnd, nullptr);
  return 0;
}

void pass_prepare_store_mode(PassContext* p, PlatFile store, uint8_t* index_table) {
  (void)index_table;
  p->store = store;
}
