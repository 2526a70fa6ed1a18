#include "common/store_lock.h"

#include <cstring>
#include <string>

bool store_lock(StoreLock* l, const char* folder, bool exclusive, const char* waiting) {
  std::string path = folder && *folder ? std::string(folder) + "/" + kStoreLockName
                                       : std::string(kStoreLockName);
  l->file = plat_file_open_always_rw(path.c_str());
  if (l->file == kPlatNoFile) return false;
  int got = plat_file_try_lock(l->file, exclusive);
  if (got == 1) {
    if (waiting != nullptr) (void)plat_file_write(plat_stderr_file(), waiting, strlen(waiting));
    got = plat_file_lock(l->file, exclusive);
  }
  if (got != 0) {
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
