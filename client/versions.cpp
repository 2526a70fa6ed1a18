#include "client/versions.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "chunk/index_fill.h"
#include "client/catalog.h"
#include "client/json_out.h"
#include "client/list_reader.h"
#include "client/restore.h"
#include "client/store_check.h"
#include "client/tool_args.h"
#include "common/store_lock.h"
#include "common/bytes.h"
#include "common/store_format.h"
#include "platform/plat.h"

namespace {

constexpr const char* kTool = "chunkversions";
constexpr size_t kReadBlock = 1 << 20;

StoreScan g_scan;
uint8_t g_block[kReadBlock];
Restore g_restore;  // holds the chunker: static, set up once
uint8_t g_window[kStoreWindowSize];
uint8_t g_list_buf[kListReadBlock];
VerifyBatch g_batch;

// The catalogue, read; the damaged descriptions named on stderr. False
// after a message when it cannot be read at all.
bool read_catalog(const VersionsOptions& o, std::vector<VersionInfo>* versions,
                  std::vector<std::string>* damaged) {
  if (!plat_path_is_dir(o.dir)) {
    fprintf(stderr, "%s: %s is not a store folder (the server's folder, which holds $dump)\n",
            kTool, o.dir);
    return false;
  }
  // Held to the end of the run: a prune switches the folder's store and
  // catalogue only while nobody holds it, so what is read is one state.
  static StoreLock lock;
  if (lock.file == kPlatNoFile) (void)store_lock(&lock, o.dir, false);
  std::string why;
  if (!catalog_read(o.dir, versions, damaged, &why)) {
    fprintf(stderr, "%s: %s\n", kTool, why.c_str());
    return false;
  }
  for (const std::string& d : *damaged) {
    const size_t colon = d.find(": ");  // "FILE: why"
    fprintf(stderr, "%s: the description %s/%s is damaged%s\n", kTool,
            catalog_folder_path(o.dir).c_str(), d.substr(0, colon).c_str(),
            colon == std::string::npos ? "" : d.substr(colon).c_str());
  }
  return true;
}

std::string number(uint64_t v) {
  char t[24];
  snprintf(t, sizeof t, "%" PRIu64, v);
  return t;
}

void print_damaged_json(const std::vector<std::string>& damaged) {
  printf(", \"damaged\": [");
  for (size_t i = 0; i < damaged.size(); i++) {
    printf("%s%s", i ? ", " : "", json_string(damaged[i]).c_str());
  }
  printf("]");
}

bool want_progress(const VersionsOptions& o) {
  return o.progress == 1 || (o.progress == -1 && plat_stderr_is_terminal());
}

// The store file checked as chunkcheck checks it. False after a message
// when it cannot be opened.
bool check_store(const VersionsOptions& o, const std::string& path, StoreCheck* c,
                 bool keep_keys) {
  PlatFile f = tool_open_read(kTool, "store", path.c_str());
  if (f == kPlatNoFile) return false;
  store_check_run(c, kTool, path.c_str(), f, &g_scan, g_block, kReadBlock, want_progress(o),
                  keep_keys);
  (void)plat_file_close(f);
  return true;
}

// ---- check ----------------------------------------------------------------

struct VersionCheck {
  const VersionInfo* v;
  uint64_t records = 0;
  uint64_t bytes = 0;      // real bytes of the good records
  uint64_t bad = 0;        // records that cannot be restored
  bool checked = false;    // its records were looked at
  std::vector<std::string> faults;  // of the list and the description
  bool ok() const { return checked && bad == 0 && faults.empty(); }
};

// The stored chunk that starts at ChunkOffset offset, as the store's own
// cut found it; null when no chunk starts there. A list names chunks
// mostly in the order they were stored, so the chunk after the one found
// last (*at) is tried first.
const StoredKey* stored_at(const std::vector<StoredKey>& keys, uint64_t offset, size_t* at) {
  size_t i = *at + 1;
  if (i >= keys.size() || keys[i].offset != offset) {
    auto it = std::lower_bound(keys.begin(), keys.end(), offset,
                               [](const StoredKey& k, uint64_t o) { return k.offset < o; });
    i = size_t(it - keys.begin());
    if (i == keys.size() || keys[i].offset != offset) return nullptr;
  }
  *at = i;
  return &keys[i];
}

// Every record of one version's list. A record whose chunk the store's
// own cut found at its ChunkOffset with its digest is good: cut again
// there it is the same chunk. Any other goes through the restore's checks,
// which cut it again from its place and name it when it is bad.
void check_version(const VersionsOptions& o, Restore* r, const std::vector<StoredKey>& keys,
                   uint64_t scanned_end, VersionCheck* vc) {
  const VersionInfo& v = *vc->v;
  const std::string path = catalog_file_path(o.dir, v.list);
  PlatFile f = plat_file_open_read(path.c_str());
  if (f == kPlatNoFile) {
    vc->faults.push_back("its list " + path + " cannot be opened: " +
                         plat_error_text(plat_file_last_error()));
    return;
  }
  std::string hex, why;
  if (!catalog_sha256_of(f, &hex, &why)) {
    vc->faults.push_back("its list " + path + " cannot be read: " + why);
  } else if (hex != v.list_sha256) {
    vc->faults.push_back("its list is damaged: its SHA-256 is not the one its description keeps");
  }
  if (plat_file_seek(f, 0, kSeekBegin, nullptr) != 0) {
    (void)plat_file_close(f);
    return;
  }
  r->list = v.name.c_str();
  const uint64_t bad_before = r->bad_records, good_before = r->good_bytes;
  ListReader l;
  list_open(&l, f, g_list_buf);
  ChunkRecord rec;
  ListStep step;
  uint64_t named = 0, fast_bytes = 0;
  size_t at = SIZE_MAX;  // so that the first guess is the first chunk
  while ((step = list_next(&l, &rec)) == kListRecord) {
    named += rec.real_length;
    const StoredKey* k = rec.offset != 0 && chunk_in_store(rec.offset, rec.real_length, scanned_end)
                             ? stored_at(keys, rec.offset, &at)
                             : nullptr;
    if (k != nullptr &&
        key_matches_record(k->key, load_le16(k->key + kChunkDigestSize), rec) == kChunkMatches) {
      fast_bytes += rec.real_length;
      continue;
    }
    (void)restore_record(r, l.index - 1, rec);
  }
  (void)restore_settle(r);
  (void)plat_file_close(f);
  vc->checked = true;
  vc->records = l.index;
  vc->bytes = fast_bytes + (r->good_bytes - good_before);
  vc->bad = r->bad_records - bad_before;
  if (step == kListReadFailed) {
    vc->faults.push_back(std::string("reading its list failed after record ") + number(l.index) +
                         ": " + plat_error_text(l.error));
  } else if (l.stray != 0) {
    vc->faults.push_back("its list ends inside a record (" + number(l.stray) +
                         " stray bytes)");
  } else if (l.index != v.records || named != v.bytes) {
    vc->faults.push_back("its list holds " + number(l.index) + " records of " + number(named) +
                         " bytes; its description says " + number(v.records) + " of " +
                         number(v.bytes));
  }
}

}  // namespace

int versions_list(const VersionsOptions& o) {
  std::vector<VersionInfo> versions;
  std::vector<std::string> damaged;
  if (!read_catalog(o, &versions, &damaged)) return kVersionsUsage;
  if (o.json) {
    printf("{\"store_folder\": %s, \"versions\": [", json_string(o.dir).c_str());
    for (size_t i = 0; i < versions.size(); i++) {
      const VersionInfo& v = versions[i];
      printf("%s{\"name\": %s, \"stored\": %s, \"inputs\": [", i ? ", " : "",
             json_string(v.name).c_str(), json_string(v.stored).c_str());
      for (size_t k = 0; k < v.inputs.size(); k++) {
        printf("%s%s", k ? ", " : "", json_string(v.inputs[k]).c_str());
      }
      printf("], \"bytes\": %" PRIu64 ", \"new_bytes\": %s, \"records\": %" PRIu64
             ", \"store_end\": %" PRIu64 ", \"list\": %s}", v.bytes,
             v.new_bytes_known ? number(v.new_bytes).c_str() : "null", v.records, v.store_end,
             json_string(std::string(kCatalogFolder) + "/" + v.list).c_str());
    }
    printf("]");
    print_damaged_json(damaged);
    printf("}\n");
  } else {
    // Columns as wide as their widest entry.
    std::vector<std::vector<std::string>> rows{{"NAME", "STORED", "BYTES", "NEW BYTES", "RECORDS"}};
    for (const VersionInfo& v : versions) {
      rows.push_back({v.name, v.stored, number(v.bytes),
                      v.new_bytes_known ? number(v.new_bytes) : "-", number(v.records)});
    }
    size_t width[5] = {};
    for (const auto& row : rows) {
      for (size_t c = 0; c < 5; c++) width[c] = std::max(width[c], row[c].size());
    }
    for (const auto& row : rows) {
      printf("%-*s  %-*s  %*s  %*s  %*s\n", int(width[0]), row[0].c_str(), int(width[1]),
             row[1].c_str(), int(width[2]), row[2].c_str(), int(width[3]), row[3].c_str(),
             int(width[4]), row[4].c_str());
    }
  }
  return damaged.empty() ? kVersionsOk : kVersionsNotClean;
}

int versions_check(const VersionsOptions& o) {
  std::vector<VersionInfo> versions;
  std::vector<std::string> damaged;
  // The catalogue before the store: every version it holds lies inside the
  // store as it is then.
  if (!read_catalog(o, &versions, &damaged)) return kVersionsUsage;
  const std::string store = catalog_store_path(o.dir);
  StoreCheck sc;
  if (!check_store(o, store, &sc, true)) return kVersionsUsage;
  std::vector<VersionCheck> checks(versions.size());
  for (size_t i = 0; i < versions.size(); i++) checks[i].v = &versions[i];
  Restore* r = &g_restore;
  r->tool = kTool;
  r->check = true;
  r->progress = false;
  // Records that the store's own cut did not vouch for are cut again from
  // the store as it is now.
  if (sc.size == 0 || sc.header_ok) {
    if (restore_open_store(r, store.c_str(), g_window, &g_batch) != kRestoreOk) {
      return kVersionsUsage;
    }
    const uint64_t scanned_end = g_scan.whole_end;
    for (VersionCheck& vc : checks) check_version(o, r, g_scan.keys, scanned_end, &vc);
    restore_report_total(r);
  } else {
    for (VersionCheck& vc : checks) vc.faults.push_back("not checked: the store is no chunk store");
  }
  std::vector<StoredKey>().swap(g_scan.keys);
  bool clean = sc.clean && damaged.empty();
  std::vector<const VersionCheck*> bad;
  for (const VersionCheck& vc : checks) {
    if (!vc.ok()) bad.push_back(&vc);
  }
  clean = clean && bad.empty();
  for (const VersionCheck* vc : bad) {
    for (const std::string& f : vc->faults) {
      fprintf(stderr, "%s: version %s: %s\n", kTool, vc->v->name.c_str(), f.c_str());
    }
  }
  if (o.json) {
    printf("{\"store_folder\": %s, \"store\": {", json_string(o.dir).c_str());
    store_check_print_json(sc);
    printf("}, \"versions\": [");
    for (size_t i = 0; i < checks.size(); i++) {
      const VersionCheck& vc = checks[i];
      printf("%s{\"name\": %s, \"records\": %" PRIu64 ", \"bytes\": %" PRIu64
             ", \"bad_records\": %" PRIu64 ", \"faults\": [", i ? ", " : "",
             json_string(vc.v->name).c_str(), vc.records, vc.bytes, vc.bad);
      for (size_t k = 0; k < vc.faults.size(); k++) {
        printf("%s%s", k ? ", " : "", json_string(vc.faults[k]).c_str());
      }
      printf("], \"ok\": %s}", vc.ok() ? "true" : "false");
    }
    printf("]");
    print_damaged_json(damaged);
    printf(", \"bad_versions\": [");
    for (size_t i = 0; i < bad.size(); i++) {
      printf("%s%s", i ? ", " : "", json_string(bad[i]->v->name).c_str());
    }
    printf("], \"clean\": %s}\n", clean ? "true" : "false");
  } else {
    store_check_print(sc, false);
    printf("store file: %s\n", sc.clean ? "clean" : "not clean");
    for (const VersionCheck& vc : checks) {
      printf("version %s: %" PRIu64 " records, %" PRIu64 " bytes: ", vc.v->name.c_str(),
             vc.records, vc.bytes);
      if (vc.ok()) {
        printf("ok\n");
      } else if (vc.bad > 0) {
        printf("%" PRIu64 " bad%s\n", vc.bad, vc.faults.empty() ? "" : ", list damaged");
      } else {
        printf("%s\n", vc.checked ? "list damaged" : "not checked");
      }
    }
    if (!damaged.empty()) printf("damaged descriptions: %zu\n", damaged.size());
    if (!bad.empty()) {
      printf("bad versions:");
      for (const VersionCheck* vc : bad) printf(" %s", vc->v->name.c_str());
      printf("\n");
    }
    printf("%s\n", clean ? "clean" : "not clean");
  }
  return clean ? kVersionsOk : kVersionsNotClean;
}

int versions_stats(const VersionsOptions& o) {
  std::vector<VersionInfo> versions;
  std::vector<std::string> damaged;
  if (!read_catalog(o, &versions, &damaged)) return kVersionsUsage;
  StoreCheck sc;
  if (!check_store(o, catalog_store_path(o.dir), &sc, false)) return kVersionsUsage;
  uint64_t named = 0;
  for (const VersionInfo& v : versions) named += v.bytes;
  const StoreScan* s = &g_scan;
  const uint64_t distinct = s->chunks - s->duplicates;
  // The share of the bytes named that the store did not have to hold.
  const double saved = named > 0 ? 100.0 * (double(named) - double(sc.size)) / double(named) : 0.0;
  if (o.json) {
    printf("{\"store_folder\": %s, \"versions\": %zu, \"bytes_named\": %" PRIu64
           ", \"bytes_stored\": %" PRIu64 ", \"saved_percent\": %.2f, \"padding_bytes\": %" PRIu64
           ", \"chunks\": %" PRIu64 ", \"distinct_chunks\": %" PRIu64 ", \"index_slots\": %u"
           ", \"index_fill_percent\": %.2f", json_string(o.dir).c_str(), versions.size(), named,
           sc.size, saved, s->padding_bytes, s->chunks, distinct, unsigned(kIndexSlots),
           index_fill_percent(distinct));
    print_damaged_json(damaged);
    printf(", \"store_clean\": %s}\n", sc.clean ? "true" : "false");
  } else {
    printf("versions: %zu\n", versions.size());
    printf("bytes named by all versions: %" PRIu64 "\n", named);
    printf("bytes stored: %" PRIu64 " (%s)\n", sc.size, kStoreFileName);
    printf("saved: %.2f%%\n", saved);
    printf("padding: %" PRIu64 " bytes\n", s->padding_bytes);
    printf("index: %" PRIu64 " distinct chunks of %u slots (%.2f%%)\n", distinct,
           unsigned(kIndexSlots), index_fill_percent(distinct));
    if (!sc.clean) printf("store file: not clean (chunkversions check tells more)\n");
  }
  if (index_fill_warns(distinct)) {
    char text[320];
    fprintf(stderr, "%s: %s\n", kTool, index_fill_warning(text, sizeof text, distinct));
  }
  return damaged.empty() && sc.clean ? kVersionsOk : kVersionsNotClean;
}
