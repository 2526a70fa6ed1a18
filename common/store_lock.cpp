#include "common/store_lock.h"

#include <string>

bool store_lock(StoreLock* l, const char* folder, bool exclusive) {
  std::string path = folder && *folder ? std::string(folder) + "/" + kStoreLockName
                                       : std::string(kStoreLockName);
  l->file = plat_file_open_always_rw(path.c_str());
  if (l->file == kPlatNoFile) return false;
  if (plat_file_lock(l->file, exclusive) != 0) {
    (void)plat_file_close(l->file);  // a close that succeeds keeps the lock's error
    l->file = kPlatNoFile;
    return false;
  }
  return true;
}

void store_unlock(StoreLock* l) {
  if (l->file == kPlatNoFile) return;
  (void)plat_file_unlock(l->file);
  (void)plat_file_close(l->file);
  l->file = kPlatNoFile;
}
