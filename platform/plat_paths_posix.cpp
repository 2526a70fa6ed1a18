// POSIX paths, file identities and whole-file locks (Linux).
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/plat.h"
#include "platform/plat_internal.h"

bool plat_path_identity(const char* path, PlatFileId* id) {
  struct stat st;
  if (stat(path, &st) != 0) {
    plat_file_note_error(errno);
    return false;
  }
  *id = PlatFileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
  return true;
}

PlatPathKind plat_path_kind(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    plat_file_note_error(errno);
    return kPathMissing;
  }
  if (S_ISREG(st.st_mode)) return kPathRegular;
  if (S_ISDIR(st.st_mode)) return kPathDirectory;
  if (S_ISCHR(st.st_mode)) return kPathCharDevice;
  if (S_ISBLK(st.st_mode)) return kPathBlockDevice;
  if (S_ISFIFO(st.st_mode)) return kPathFifo;
  if (S_ISSOCK(st.st_mode)) return kPathSocket;
  return kPathOther;
}

bool plat_path_folder(const char* path, char* out, size_t cap) {
  const char* slash = strrchr(path, '/');
  const char* folder = ".";
  size_t n = 1;
  if (slash == path) {
    folder = "/";
  } else if (slash != nullptr) {
    folder = path;
    n = size_t(slash - path);
  }
  if (n >= cap) {
    plat_file_note_name_too_long();
    return false;
  }
  memcpy(out, folder, n);
  out[n] = '\0';
  return true;
}

const char* plat_path_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

size_t plat_name_max(const char* path) {
  char folder[PATH_MAX];
  long n = -1;
  if (plat_path_folder(path, folder, sizeof folder)) n = pathconf(folder, _PC_NAME_MAX);
  return n > 0 ? size_t(n) : size_t(NAME_MAX);
}

bool plat_folder_accepts_files(const char* path) {
  char folder[PATH_MAX];
  if (!plat_path_folder(path, folder, sizeof folder)) return false;
  struct stat st;
  if (stat(folder, &st) != 0) {
    plat_file_note_error(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    plat_file_note_error(ENOTDIR);
    return false;
  }
  // access() also answers EROFS for a read-only mount, which root meets too.
  if (access(folder, W_OK | X_OK) != 0) {
    plat_file_note_error(errno);
    return false;
  }
  return true;
}

namespace {

// The inodes of the sockets listening on `port` in one of /proc/net/tcp,
// /proc/net/tcp6 (the network namespace of this process).
size_t listening_inodes(const char* table, uint16_t port, unsigned long* inodes, size_t have,
                        size_t cap) {
  FILE* f = fopen(table, "re");
  if (f == nullptr) return have;
  char line[512];
  if (fgets(line, sizeof line, f) == nullptr) {  // the column titles
    fclose(f);
    return have;
  }
  while (have < cap && fgets(line, sizeof line, f) != nullptr) {
    char local[64];
    unsigned state = 0;
    unsigned long inode = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    if (sscanf(line, " %*s %63s %*s %x %*s %*s %*s %*s %*s %lu", local, &state, &inode) != 3) {
      continue;
    }
    const char* colon = strrchr(local, ':');
    if (colon == nullptr || state != 0x0A || inode == 0) continue;  // 0A: LISTEN
    if (strtoul(colon + 1, nullptr, 16) == port) inodes[have++] = inode;
  }
  fclose(f);
  return have;
}

// Whether /proc/PID/fd holds one of the sockets.
bool holds_socket(const char* pid, const unsigned long* inodes, size_t n) {
  char dir_path[64];
  snprintf(dir_path, sizeof dir_path, "/proc/%s/fd", pid);
  DIR* d = opendir(dir_path);
  if (d == nullptr) return false;
  bool found = false;
  while (!found) {
    dirent* e = readdir(d);
    if (e == nullptr) break;
    char link_path[320];
    char target[64];
    snprintf(link_path, sizeof link_path, "%s/%s", dir_path, e->d_name);
    ssize_t len = readlink(link_path, target, sizeof target - 1);
    if (len <= 0) continue;
    target[len] = '\0';
    unsigned long inode = 0;
    if (sscanf(target, "socket:[%lu]", &inode) != 1) continue;
    for (size_t i = 0; i < n && !found; i++) found = inodes[i] == inode;
  }
  closedir(d);
  return found;
}

bool is_number(const char* s) {
  if (*s == 0) return false;
  for (; *s; s++) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

size_t plat_listener_open_files(uint16_t port, PlatFileId* ids, size_t cap, uint32_t* pid) {
  unsigned long inodes[16];
  size_t n = listening_inodes("/proc/net/tcp", port, inodes, 0, 16);
  n = listening_inodes("/proc/net/tcp6", port, inodes, n, 16);
  if (n == 0) return 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  std::vector<unsigned long> pids;
  while (dirent* e = readdir(proc)) {
    if (is_number(e->d_name) && strlen(e->d_name) < 16) pids.push_back(strtoul(e->d_name, nullptr, 10));
  }
  closedir(proc);
  // The newest processes first: a server is found sooner among them than
  // among the machine's services started at boot; the answer is the same.
  std::sort(pids.begin(), pids.end(), std::greater<unsigned long>());
  char owner[32] = "";
  for (unsigned long p : pids) {
    char name[24];
    snprintf(name, sizeof name, "%lu", p);
    if (holds_socket(name, inodes, n)) {
      strcpy(owner, name);
      break;
    }
  }
  if (owner[0] == 0) return 0;
  *pid = uint32_t(strtoul(owner, nullptr, 10));
  // stat() through /proc/PID/fd/N reaches the open file itself, even when it
  // has been renamed or removed since.
  char dir_path[64];
  snprintf(dir_path, sizeof dir_path, "/proc/%s/fd", owner);
  DIR* d = opendir(dir_path);
  if (d == nullptr) return 0;
  size_t found = 0;
  while (dirent* e = readdir(d)) {
    if (!is_number(e->d_name)) continue;
    char fd_path[320];
    snprintf(fd_path, sizeof fd_path, "%s/%s", dir_path, e->d_name);
    struct stat st;
    if (stat(fd_path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (found < cap) ids[found] = PlatFileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
    found++;
  }
  closedir(d);
  return found < cap ? found : cap;
}

int plat_file_lock(PlatFile f, bool exclusive) {
  int r;
  do {
    r = flock(int(f), exclusive ? LOCK_EX : LOCK_SH);
  } while (r != 0 && errno == EINTR);
  if (r != 0) plat_file_note_error(errno);
  return r == 0 ? 0 : -1;
}

int plat_file_unlock(PlatFile f) {
  if (flock(int(f), LOCK_UN) != 0) {
    plat_file_note_error(errno);
    return -1;
  }
  return 0;
}

int plat_file_try_lock(PlatFile f, bool exclusive) {
  int r;
  do {
    r = flock(int(f), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return 0;
  if (errno == EWOULDBLOCK) return 1;
  plat_file_note_error(errno);
  return -1;
}

bool plat_file_identity(PlatFile f, PlatFileId* id) {
  struct stat st;
  if (fstat(int(f), &st) != 0) {
    plat_file_note_error(errno);
    return false;
  }
  *id = PlatFileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
  return true;
}

int plat_dir_remove(const char* path) {
  if (rmdir(path) == 0) return 0;
  plat_file_note_error(errno);
  return -1;
}

int plat_dir_list(const char* dir, void (*each)(void* ctx, const char* name), void* ctx) {
  DIR* d = opendir(dir);
  if (d == nullptr) {
    plat_file_note_error(errno);
    return -1;
  }
  errno = 0;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) each(ctx, e->d_name);
    errno = 0;
  }
  const int err = errno;
  closedir(d);
  if (err != 0) {
    plat_file_note_error(err);
    return -1;
  }
  return 0;
}

int plat_make_dir(const char* path) {
  if (mkdir(path, 0777) == 0) return 0;
  const int err = errno;
  struct stat st;
  if (err == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  plat_file_note_error(err);
  return -1;
}
