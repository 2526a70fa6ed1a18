#include "common/store_switch.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/output_file.h"
#include "common/store_format.h"
#include "platform/plat.h"

namespace {

constexpr char kCatalogName[] = "versions";
constexpr char kOldCatalogName[] = "old-versions";

std::string in(const char* folder, const std::string& name) {
  return folder && *folder ? std::string(folder) + "/" + name : name;
}

bool exists(const std::string& path) { return plat_path_kind(path.c_str()) != kPathMissing; }

bool step_failed(const char* tool, const char* what, const std::string& path) {
  fprintf(stderr, "%s: switching to the new store: %s %s failed: %s\n", tool, what, path.c_str(),
          plat_error_text(plat_file_last_error()));
  return false;
}

void collect(void* ctx, const char* name) {
  static_cast<std::vector<std::string>*>(ctx)->push_back(name);
}

// The staging folder named by the marker, or "" when it names none.
std::string read_marker(const std::string& marker) {
  PlatFile f = plat_file_open_read(marker.c_str());
  if (f == kPlatNoFile) return "";
  char buf[512];
  long n = plat_file_read_full(f, buf, sizeof buf - 1);
  (void)plat_file_close(f);
  if (n <= 0) return "";
  buf[n] = '\0';
  const char* key = "staging ";
  if (strncmp(buf, key, strlen(key)) != 0) return "";
  std::string name(buf + strlen(key));
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  // Only a folder of the store folder's own: never a path that leads out.
  if (name.empty() || name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
      name == "." || name == "..") {
    return "";
  }
  return name;
}

}  // namespace

bool store_remove_tree(const char* path) {
  if (plat_path_kind(path) != kPathDirectory) {
    return plat_path_kind(path) == kPathMissing || plat_file_remove(path) == 0;
  }
  std::vector<std::string> names;
  if (plat_dir_list(path, collect, &names) != 0) return false;
  bool ok = true;
  for (const std::string& n : names) ok &= store_remove_tree((std::string(path) + "/" + n).c_str());
  return plat_dir_remove(path) == 0 && ok;
}

bool store_switch_commit(const char* tool, const char* folder, const char* staging) {
  const std::string marker = in(folder, kSwitchMarkerName);
  OutputFile o;
  const std::string text = std::string("staging ") + staging + "\n";
  if (!output_open_temp(&o, marker.c_str(), nullptr, 0)) {
    return step_failed(tool, "creating", o.part.empty() ? marker : o.part);
  }
  output_write(&o, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (!output_commit(&o)) return step_failed(tool, "writing", marker);
  return store_switch_finish(tool, folder);
}

bool store_switch_finish(const char* tool, const char* folder) {
  const std::string marker = in(folder, kSwitchMarkerName);
  if (!exists(marker)) return true;
  const std::string name = read_marker(marker);
  if (name.empty()) {
    fprintf(stderr, "%s: %s names no staging folder; left alone\n", tool, marker.c_str());
    return false;
  }
  const std::string staging = in(folder, name);
  const std::string catalog = in(folder, kCatalogName);
  const std::string new_catalog = staging + "/" + kCatalogName;
  const std::string old_catalog = staging + "/" + kOldCatalogName;
  const std::string store = in(folder, kStoreFileName);
  const std::string new_store = staging + "/" + kStoreFileName;
  // The catalogue first: the old one goes into the staging folder, to be
  // removed with it, and the new one takes its place.
  if (exists(new_catalog)) {
    if (exists(catalog) && !exists(old_catalog) &&
        plat_file_rename(catalog.c_str(), old_catalog.c_str()) != 0) {
      return step_failed(tool, "moving aside", catalog);
    }
    if (plat_file_rename(new_catalog.c_str(), catalog.c_str()) != 0) {
      return step_failed(tool, "moving into place", new_catalog);
    }
  }
  if (exists(new_store) && plat_file_rename(new_store.c_str(), store.c_str()) != 0) {
    return step_failed(tool, "moving into place", new_store);
  }
  if (plat_folder_sync(store.c_str()) != 0) return step_failed(tool, "syncing the folder of", store);
  if (plat_file_remove(marker.c_str()) != 0) return step_failed(tool, "removing", marker);
  (void)plat_folder_sync(marker.c_str());
  (void)store_remove_tree(staging.c_str());  // what is left is only the old catalogue
  return true;
}
