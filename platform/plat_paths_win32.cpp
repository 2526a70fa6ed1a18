// Windows paths, file identities and whole-file locks.
#include <windows.h>

#include <string.h>

#include "platform/plat.h"
#include "platform/plat_internal.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens path for its attributes only: folders too (backup semantics), and
// through reparse points to what they name.
HANDLE open_for_attributes(const char* path) {
  HANDLE h = CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) plat_file_note_error(int(GetLastError()));
  return h;
}

const char* last_separator(const char* path) {
  const char* last = nullptr;
  for (const char* p = path; *p; p++) {
    if (*p == '/' || *p == '\\') last = p;
  }
  return last;
}

}  // namespace

bool plat_path_identity(const char* path, PlatFileId* id) {
  HANDLE h = open_for_attributes(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  if (!ok) plat_file_note_error(int(GetLastError()));
  CloseHandle(h);
  if (!ok) return false;
  *id = PlatFileId{info.dwVolumeSerialNumber,
                   (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

PlatPathKind plat_path_kind(const char* path) {
  HANDLE h = open_for_attributes(path);
  if (h == INVALID_HANDLE_VALUE) return kPathMissing;
  DWORD type = GetFileType(h);
  BY_HANDLE_FILE_INFORMATION info;
  bool have_info = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (type == FILE_TYPE_CHAR) return kPathCharDevice;
  if (type == FILE_TYPE_PIPE) return kPathFifo;
  if (type != FILE_TYPE_DISK || !have_info) return kPathOther;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? kPathDirectory : kPathRegular;
}

bool plat_path_folder(const char* path, char* out, size_t cap) {
  const char* sep = last_separator(path);
  const char* folder = ".";
  size_t n = 1;
  if (sep != nullptr) {
    folder = path;
    n = size_t(sep - path);
    // The root keeps its separator: "\", "C:\".
    if (n == 0 || (n == 2 && path[1] == ':')) n++;
  } else if (path[0] != 0 && path[1] == ':') {
    folder = path;  // "C:NAME": the current folder of drive C
    n = 2;
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
  const char* sep = last_separator(path);
  if (sep != nullptr) return sep + 1;
  return (path[0] != 0 && path[1] == ':') ? path + 2 : path;
}

// NTFS, FAT32 and exFAT all take names of 255 characters, but the calls
// this program uses take paths of MAX_PATH characters in all, the folder's
// full path and its separator included.
size_t plat_name_max(const char* path) {
  char folder[MAX_PATH + 1];
  char full[MAX_PATH + 1];
  if (!plat_path_folder(path, folder, sizeof folder)) return 255;
  DWORD n = GetFullPathNameA(folder, sizeof full, full, nullptr);
  if (n == 0 || n > MAX_PATH) return 255;  // unknown: the file system's own limit
  if (n >= MAX_PATH - 2) return 1;
  const size_t room = MAX_PATH - 1 - n - 1;  // the terminator, and a separator
  return room < 255 ? room : 255;
}

bool plat_folder_accepts_files(const char* path) {
  char folder[MAX_PATH + 1];
  if (!plat_path_folder(path, folder, sizeof folder)) return false;
  DWORD attrs = GetFileAttributesA(folder);
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    plat_file_note_error(int(GetLastError()));
    return false;
  }
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
    plat_file_note_error(ERROR_DIRECTORY);
    return false;
  }
  return true;  // a folder's read-only flag does not stop new files
}

// Windows keeps no list of another process's open files that a program can
// read without extra privileges.
size_t plat_listener_open_files(uint16_t, PlatFileId*, size_t, uint32_t*) { return 0; }

int plat_file_lock(PlatFile f, bool exclusive) {
  OVERLAPPED at = {};
  if (!LockFileEx(reinterpret_cast<HANDLE>(f), exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0,
                  MAXDWORD, MAXDWORD, &at)) {
    plat_file_note_error(int(GetLastError()));
    return -1;
  }
  return 0;
}

int plat_file_unlock(PlatFile f) {
  OVERLAPPED at = {};
  if (!UnlockFileEx(reinterpret_cast<HANDLE>(f), 0, MAXDWORD, MAXDWORD, &at)) {
    plat_file_note_error(int(GetLastError()));
    return -1;
  }
  return 0;
}

int plat_file_try_lock(PlatFile f, bool exclusive) {
  OVERLAPPED at = {};
  DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (LockFileEx(reinterpret_cast<HANDLE>(f), flags, 0, MAXDWORD, MAXDWORD, &at)) return 0;
  DWORD err = GetLastError();
  if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING) return 1;
  plat_file_note_error(int(err));
  return -1;
}

bool plat_file_identity(PlatFile f, PlatFileId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(f), &info)) {
    plat_file_note_error(int(GetLastError()));
    return false;
  }
  *id = PlatFileId{info.dwVolumeSerialNumber,
                   (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

int plat_dir_remove(const char* path) {
  if (RemoveDirectoryA(path)) return 0;
  plat_file_note_error(int(GetLastError()));
  return -1;
}

int plat_dir_list(const char* dir, void (*each)(void* ctx, const char* name), void* ctx) {
  char pattern[MAX_PATH + 4];
  const size_t n = strlen(dir);
  if (n + 3 > MAX_PATH) {
    plat_file_note_error(int(ERROR_FILENAME_EXCED_RANGE));
    return -1;
  }
  memcpy(pattern, dir, n);
  memcpy(pattern + n, "\\*", 3);
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA(pattern, &found);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return 0;  // an empty folder (no "." either)
    plat_file_note_error(int(err));
    return -1;
  }
  do {
    if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
      each(ctx, found.cFileName);
    }
  } while (FindNextFileA(h, &found));
  const DWORD err = GetLastError();
  FindClose(h);
  if (err != ERROR_NO_MORE_FILES) {
    plat_file_note_error(int(err));
    return -1;
  }
  return 0;
}

int plat_make_dir(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return 0;
  const DWORD err = GetLastError();
  const DWORD attrs = GetFileAttributesA(path);
  if (err == ERROR_ALREADY_EXISTS && attrs != INVALID_FILE_ATTRIBUTES &&
      (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
    return 0;
  }
  plat_file_note_error(int(err));
  return -1;
}
