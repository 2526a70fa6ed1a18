#include "client/prune.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "chunk/chunk_index.h"
#include "client/catalog.h"
#include "client/list_reader.h"
#include "client/store_copy.h"
#include "common/output_file.h"
#include "common/store_lock.h"
#include "common/store_switch.h"
#include "platform/plat.h"

namespace {

constexpr char kTool[] = "chunkversions prune";
constexpr size_t kStoreOutBlock = 256 << 10;
constexpr size_t kListOutBlock = 1 << 20;

StoreCopy g_copy;  // holds the chunker and the verify batch: static, set up once
uint8_t g_window[kStoreWindowSize];
uint8_t g_list_buf[kListReadBlock];
uint8_t g_store_out[kStoreOutBlock];
uint8_t g_list_out[kListOutBlock];

struct Staging {
  std::string dir;       // the store folder
  std::string name;      // its staging folder, inside dir
  std::string path;      // and its path
  OutputFile store;      // the new $dump
  uint8_t* table = nullptr;
};

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
int fail(int status, const char* fmt, ...) {
  fprintf(stderr, "%s: ", kTool);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fprintf(stderr, "; nothing was switched\n");
  return status;
}

bool same_version(const VersionInfo& a, const VersionInfo& b) {
  return a.name == b.name && a.list_sha256 == b.list_sha256 && a.stored == b.stored;
}

// Copies version v's list into the new store and writes its rewritten list
// and .version file into the staging folder.
int copy_version(Staging* s, const VersionInfo& v) {
  const std::string list = catalog_file_path(s->dir, v.list);
  std::string sha, why;
  if (!catalog_file_sha256(list, &sha, &why)) {
    return fail(kPruneBadData, "cannot read the list of version %s: %s", v.name.c_str(), why.c_str());
  }
  if (sha != v.list_sha256) {
    return fail(kPruneBadData, "the list of version %s is damaged (%s does not match its digest)",
                v.name.c_str(), list.c_str());
  }
  PlatFile f = plat_file_open_read(list.c_str());
  if (f == kPlatNoFile) {
    return fail(kPruneBadData, "cannot open %s: %s", list.c_str(), plat_error_text(plat_file_last_error()));
  }
  StoreCopy* c = &g_copy;
  const uint64_t size_before = c->new_size;
  const std::string new_list = catalog_file_path(s->path, v.name + kListSuffix);
  OutputFile out;
  if (!output_open_temp(&out, new_list.c_str(), g_list_out, sizeof g_list_out)) {
    (void)plat_file_close(f);
    return fail(kPruneWriteFailed, "cannot create %s: %s", output_target(&out),
                plat_error_text(out.error));
  }
  copy_list_begin(c, &out);
  ListReader l;
  list_open(&l, f, g_list_buf);
  ChunkRecord rec;
  ListStep step;
  while ((step = list_next(&l, &rec)) == kListRecord) {
    if (!copy_record(c, l.index - 1, rec)) break;
  }
  const bool settled = copy_settle(c);
  (void)plat_file_close(f);
  if (!settled) {
    output_abandon(&out);
    fprintf(stderr, "%s: version %s: record %" PRIu64 " (ChunkOffset %" PRIu64 ", length %u): %s\n",
            kTool, v.name.c_str(), c->bad_index, c->bad_rec.offset,
            unsigned(c->bad_rec.real_length), c->bad_what);
    return fail(kPruneBadData, "version %s cannot be copied", v.name.c_str());
  }
  if (step != kListEnd || l.stray != 0) {
    output_abandon(&out);
    return fail(kPruneBadData, "the list of version %s cannot be read to its end", v.name.c_str());
  }
  if (!output_commit(&out)) {
    return fail(kPruneWriteFailed, "writing %s failed: %s", output_target(&out),
                plat_error_text(out.error));
  }
  VersionInfo nv = v;
  nv.list = v.name + kListSuffix;
  nv.new_bytes_known = true;
  nv.new_bytes = c->new_size - size_before;
  nv.store_end = c->new_size;
  if (!catalog_file_sha256(new_list, &nv.list_sha256, &why) ||
      !catalog_write_version(s->path, nv, &why)) {
    return fail(kPruneWriteFailed, "writing version %s into the new store failed: %s", v.name.c_str(),
                why.c_str());
  }
  return kPruneOk;
}

void collect_name(void* ctx, const char* name) {
  static_cast<std::vector<std::string>*>(ctx)->push_back(name);
}

// A staging folder of this run's own. What earlier runs left (one killed
// before its switch, or an old store that Windows kept while the server
// held it) is removed where it can be; a folder that cannot be removed yet
// is passed over, not reused.
// What earlier runs left (one killed before its switch, or an old store that
// Windows kept while the server held it) is removed where it can be.
void clear_stale_staging(const std::string& dir) {
  std::vector<std::string> names;
  (void)plat_dir_list(dir.c_str(), collect_name, &names);
  const std::string prefix = kPruneStagingName;
  for (const std::string& n : names) {
    if (n.compare(0, prefix.size(), prefix) == 0) (void)store_remove_tree((dir + "/" + n).c_str());
  }
}

// A staging folder of this run's own; one that could not be removed yet is
// passed over, not reused.
bool fresh_staging(Staging* s) {
  const std::string prefix = kPruneStagingName;
  for (int k = 1; k < 1000; k++) {
    s->name = prefix + "-" + std::to_string(k);
    s->path = s->dir + "/" + s->name;
    if (plat_path_kind(s->path.c_str()) != kPathMissing) continue;
    std::string why;
    return plat_make_dir(s->path.c_str()) == 0 && catalog_make_folder(s->path, &why);
  }
  return false;
}

bool same_file(const std::string& path, const PlatFileId& id) {
  PlatFileId now;
  return plat_path_identity(path.c_str(), &now) && now == id;
}

}  // namespace

bool prune_date_ok(const char* date) {
  static const char kDay[] = "dddd-dd-dd";
  static const char kFull[] = "dddd-dd-ddTdd:dd:ddZ";
  const size_t n = strlen(date);
  const char* shape = n == sizeof kDay - 1 ? kDay : n == sizeof kFull - 1 ? kFull : nullptr;
  if (shape == nullptr) return false;
  for (size_t i = 0; i < n; i++) {
    if (shape[i] == 'd' ? (date[i] < '0' || date[i] > '9') : date[i] != shape[i]) return false;
  }
  return true;
}

void prune_print(const PruneReport& r, bool json, bool quiet) {
  if (json) {
    printf("{\"versions_before\": %" PRIu64 ", \"kept\": %" PRIu64 ", \"carried\": %" PRIu64
           ", \"dropped\": %" PRIu64 ", \"store_before\": %" PRIu64 ", \"store_after\": %" PRIu64
           ", \"switched\": %s}\n", r.versions_before, r.kept, r.carried, r.dropped,
           r.store_before, r.store_after, r.switched ? "true" : "false");
    fflush(stdout);
  }
  if (quiet || !r.switched) return;
  fprintf(stderr, "%s: kept %" PRIu64 " of %" PRIu64 " versions and %" PRIu64
          " stored meanwhile, forgot %" PRIu64 "; store %" PRIu64 " bytes before, %" PRIu64
          " bytes after\n", kTool, r.kept, r.versions_before, r.carried, r.dropped,
          r.store_before, r.store_after);
}

bool prune_choose(const std::vector<VersionInfo>& all, const PruneRequest& req,
                  std::vector<bool>* kept, std::string* missing) {
  kept->assign(all.size(), false);
  for (const std::string& name : req.keep) {
    bool found = false;
    for (size_t i = 0; i < all.size(); i++) {
      if (all[i].name == name) (*kept)[i] = found = true;
    }
    if (!found) {
      *missing = name;
      return false;
    }
  }
  if (req.keep_last > 0) {
    const size_t n = size_t(req.keep_last) < all.size() ? size_t(req.keep_last) : all.size();
    for (size_t i = all.size() - n; i < all.size(); i++) (*kept)[i] = true;
  }
  if (!req.keep_since.empty()) {
    // ISO times compare as text; a date alone is the start of its day.
    for (size_t i = 0; i < all.size(); i++) {
      if (all[i].stored >= req.keep_since) (*kept)[i] = true;
    }
  }
  return true;
}

int prune_run(const PruneRequest& req, PruneReport* report) {
  *report = PruneReport();
  Staging s;
  s.dir = req.dir;
  const std::string store_path = catalog_store_path(req.dir);
  if (plat_path_kind(store_path.c_str()) != kPathRegular) {
    return fail(kPruneUsage, "%s is not a store folder (no %s in it)", req.dir.c_str(),
                store_path.c_str());
  }
  // One prune at a time: the staging folder is its own.
  StoreLock prune_lock;
  prune_lock.file = plat_file_open_always_rw((req.dir + "/" + kPruneLockName).c_str());
  if (prune_lock.file == kPlatNoFile || plat_file_try_lock(prune_lock.file, true) != 0) {
    store_unlock(&prune_lock);
    return fail(kPruneChanged, "another prune runs on %s", req.dir.c_str());
  }
  // A switch a crash interrupted is finished first.
  if (plat_path_kind((req.dir + "/" + kSwitchMarkerName).c_str()) != kPathMissing) {
    StoreLock lock;
    if (!store_lock(&lock, req.dir.c_str(), true) || !store_switch_finish(kTool, req.dir.c_str())) {
      store_unlock(&lock);
      store_unlock(&prune_lock);
      return fail(kPruneChanged, "an earlier switch of %s cannot be finished", req.dir.c_str());
    }
    store_unlock(&lock);
  }

  // No switch is under way now: staging folders are leftovers.
  clear_stale_staging(req.dir);

  std::vector<VersionInfo> before;
  std::vector<std::string> damaged;
  std::string why;
  if (!catalog_read(req.dir, &before, &damaged, &why)) {
    store_unlock(&prune_lock);
    return fail(kPruneUsage, "cannot read the catalogue of %s: %s", req.dir.c_str(), why.c_str());
  }
  if (!damaged.empty()) {
    store_unlock(&prune_lock);
    return fail(kPruneBadData, "a version is damaged: %s (chunkversions check tells more)",
                damaged.front().c_str());
  }
  std::vector<bool> kept;
  std::string missing;
  if (!prune_choose(before, req, &kept, &missing)) {
    store_unlock(&prune_lock);
    return fail(kPruneUsage, "no version %s in %s", missing.c_str(), req.dir.c_str());
  }
  report->versions_before = before.size();
  for (bool k : kept) report->kept += k ? 1 : 0;
  report->dropped = before.size() - report->kept;
  if (report->dropped == 0) {
    store_unlock(&prune_lock);
    if (!req.quiet) fprintf(stderr, "%s: every version is kept; nothing to do\n", kTool);
    return kPruneOk;
  }

  PlatFile old = plat_file_open_read(store_path.c_str());
  PlatFileId old_id{};
  StoreCopy* c = &g_copy;
  if (old == kPlatNoFile || !plat_file_identity(old, &old_id) || !window_open(&c->old, old, g_window)) {
    store_unlock(&prune_lock);
    return fail(kPruneUsage, "cannot read %s: %s", store_path.c_str(),
                plat_error_text(plat_file_last_error()));
  }
  report->store_before = c->old.size;
  if (!fresh_staging(&s)) {
    store_unlock(&prune_lock);
    return fail(kPruneWriteFailed, "cannot make a staging folder in %s: %s", req.dir.c_str(),
                plat_error_text(plat_file_last_error()));
  }
  s.table = static_cast<uint8_t*>(plat_big_alloc_zeroed(kIndexTableBytes));
  const std::string new_store = s.path + "/" + kStoreFileName;
  int status = kPruneOk;
  if (s.table == nullptr) {
    status = fail(kPruneWriteFailed, "cannot allocate the index table");
  } else if (!output_open_temp(&s.store, new_store.c_str(), g_store_out, sizeof g_store_out)) {
    status = fail(kPruneWriteFailed, "cannot create %s: %s", output_target(&s.store),
                  plat_error_text(s.store.error));
  }
  if (status == kPruneOk) copy_begin(c, s.table, &s.store);
  for (size_t i = 0; i < before.size() && status == kPruneOk; i++) {
    if (kept[i]) status = copy_version(&s, before[i]);
  }

  // The switch: only while no client is connected and no version is half
  // stored. Versions stored meanwhile are carried over first.
  StoreLock lock;
  if (status == kPruneOk) {
    const char* note = req.quiet ? nullptr : "chunkversions prune: waiting until no client is "
                                             "connected and no version is being stored\n";
    if (!store_lock(&lock, req.dir.c_str(), true, note)) {
      status = fail(kPruneChanged, "cannot lock %s: %s", req.dir.c_str(),
                    plat_error_text(plat_file_last_error()));
    }
  }
  if (status == kPruneOk) {
    std::vector<VersionInfo> now;
    damaged.clear();
    if (!same_file(store_path, old_id)) {
      status = fail(kPruneChanged, "%s was replaced while the prune ran", store_path.c_str());
    } else if (!catalog_read(req.dir, &now, &damaged, &why) || !damaged.empty()) {
      status = fail(kPruneChanged, "the catalogue of %s cannot be read again", req.dir.c_str());
    }
    for (const VersionInfo& v : before) {
      bool still = false;
      for (const VersionInfo& w : now) still |= same_version(v, w);
      if (status == kPruneOk && !still) {
        status = fail(kPruneChanged, "version %s was replaced or removed while the prune ran",
                      v.name.c_str());
      }
    }
    // Reopened: the window knows the store's size when it was opened.
    if (status == kPruneOk && !window_open(&c->old, old, g_window)) {
      status = fail(kPruneUsage, "cannot read %s again", store_path.c_str());
    }
    for (const VersionInfo& w : now) {
      bool known = false;
      for (const VersionInfo& v : before) known |= v.name == w.name;
      if (status == kPruneOk && !known) {
        status = copy_version(&s, w);
        report->carried++;
      }
    }
  }
  if (status == kPruneOk && !(output_finish(&s.store) && output_publish(&s.store))) {
    status = fail(kPruneWriteFailed, "writing %s failed: %s", new_store.c_str(),
                  plat_error_text(s.store.error));
  }
  report->store_after = c->new_size;
  if (status == kPruneOk) {
    if (store_switch_commit(kTool, req.dir.c_str(), s.name.c_str())) {
      report->switched = true;
    } else {
      status = kPruneWriteFailed;
    }
  }
  store_unlock(&lock);
  (void)plat_file_close(old);
  if (status != kPruneOk) {
    output_abandon(&s.store);
    // Once its marker is written the staging folder belongs to the switch.
    if (plat_path_kind((req.dir + "/" + kSwitchMarkerName).c_str()) == kPathMissing) {
      (void)store_remove_tree(s.path.c_str());
    }
  }
  if (s.table) plat_big_free(s.table, kIndexTableBytes);
  store_unlock(&prune_lock);
  return status;
}
