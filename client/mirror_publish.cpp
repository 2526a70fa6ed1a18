#include "client/mirror_publish.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "chunk/chunker.h"
#include "client/catalog.h"
#include "client/mirror_files.h"
#include "client/mirror_manifest.h"
#include "client/segment_layout.h"
#include "common/store_format.h"
#include "common/store_lock.h"
#include "platform/plat.h"

namespace {

constexpr char kTool[] = "chunkmirror";
constexpr char kPublishLockName[] = ".publish-lock";

struct Publish {
  const PublishRequest* req;
  PublishReport* report;
  std::string store_path;
  PlatFile store = kPlatNoFile;
  uint64_t size = 0;  // what the sync covered
  MirrorManifest m;
  std::vector<uint8_t> buf;
};

int fail(int status, const std::string& what) {
  fprintf(stderr, "%s: %s\n", kTool, what.c_str());
  return status;
}

bool read_at(PlatFile f, uint64_t pos, uint8_t* p, size_t n) {
  return plat_file_seek(f, int64_t(pos), kSeekBegin, nullptr) == 0 &&
         plat_file_read_full(f, p, n) == long(n);
}

// Opens "$dump", syncs it and takes its size from before the sync: every
// byte below it is on the disk.
int open_store(Publish* p) {
  p->store_path = catalog_store_path(p->req->store_dir);
  if (plat_path_kind(p->store_path.c_str()) != kPathRegular) {
    return fail(kPublishUsage, p->req->store_dir + " is not a store folder: it holds no file " +
                               kStoreFileName);
  }
  p->store = plat_file_open_always_rw(p->store_path.c_str());
  if (p->store == kPlatNoFile) p->store = plat_file_open_read(p->store_path.c_str());
  if (p->store == kPlatNoFile || plat_file_seek(p->store, 0, kSeekEnd, &p->size) != 0) {
    return fail(kPublishStoreFailed, "cannot open or read " + p->store_path + ": " +
                                         plat_error_text(plat_file_last_error()));
  }
  if (plat_file_sync(p->store) != 0) {
    return fail(kPublishStoreFailed, "cannot sync " + p->store_path + " (only synced bytes are "
                                     "published): " + plat_error_text(plat_file_last_error()));
  }
  return kPublishOk;
}

// Whether the store still begins with what was published: its size, and
// the bytes of the first and the last published segment.
int check_extends(Publish* p) {
  if (p->m.segments.empty()) return kPublishOk;
  const char* why = nullptr;
  if (p->size < p->m.store_size) {
    why = "it is shorter than what was published";
  } else {
    const MirrorSegment* ends[2] = {&p->m.segments.front(), &p->m.segments.back()};
    for (const MirrorSegment* s : ends) {
      p->buf.resize(size_t(s->size));
      if (!read_at(p->store, s->offset, p->buf.data(), p->buf.size())) {
        return fail(kPublishStoreFailed, "cannot read " + p->store_path + ": " +
                                             plat_error_text(plat_file_last_error()));
      }
      if (mirror_sha256(p->buf.data(), p->buf.size()) != s->sha256) {
        why = "its bytes differ from the published ones";
        break;
      }
    }
  }
  if (why == nullptr) return kPublishOk;
  char size[128];
  snprintf(size, sizeof size, " (%" PRIu64 " bytes published, the store has %" PRIu64 ")",
           p->m.store_size, p->size);
  return fail(kPublishNotExtending,
              p->store_path + " no longer extends what " + p->req->pub_dir + " holds: " + why +
                  size + ". The store was pruned or replaced, or it is another store; its mirrors "
                  "cannot follow it. Publish it into a new folder and start new mirrors from it");
}

// Adds segments for the whole chunks between what was published and the
// synced end.
int add_segments(Publish* p) {
  uint64_t pos = p->m.store_size;
  if (pos == 0 && p->size > 0 && p->size < kStoreHeaderSize) return kPublishOk;
  p->buf.resize(size_t(p->req->segment_size));
  while (pos < p->size) {
    const size_t n = size_t(p->size - pos < p->req->segment_size ? p->size - pos
                                                                  : p->req->segment_size);
    if (!read_at(p->store, pos, p->buf.data(), n)) {
      return fail(kPublishStoreFailed, "cannot read " + p->store_path + ": " +
                                           plat_error_text(plat_file_last_error()));
    }
    // The segment ends with the last whole chunk, which the cut finds; all
    // before the longest chunk and its padding is digested meanwhile.
    struct Cut {
      const uint8_t* bytes;
      uint64_t pos;
      size_t n;
      SegmentLayout lay;
    } c{p->buf.data(), pos, n, SegmentLayout{}};
    auto cut = [](void* ctx) {
      Cut* x = static_cast<Cut*>(ctx);
      x->lay = segment_layout(x->bytes, x->pos, x->n);
      return x->lay.whole_end > x->pos ? size_t(x->lay.whole_end - x->pos) : size_t(0);
    };
    size_t whole = 0;
    const std::string digest = mirror_sha256_beside(
        p->buf.data(), n, padded_chunk_size(kMaxChunkLength), cut, &c, &whole);
    const SegmentLayout& l = c.lay;
    if (!l.header_ok) {
      return fail(kPublishStoreFailed, p->store_path + " does not begin with the store header");
    }
    if (l.bad_padding > 0) {
      char what[160];
      snprintf(what, sizeof what, " holds a chunk whose padding is damaged (ChunkOffset %" PRIu64
               "): check it with chunkcheck; nothing was published from there", l.first_bad);
      return fail(kPublishStoreFailed, p->store_path + what);
    }
    if (l.whole_end <= pos) break;  // the rest is a chunk still being written
    MirrorSegment s;
    s.offset = pos;
    s.size = l.whole_end - pos;
    s.sha256 = digest;
    const std::string path = p->req->pub_dir + "/" + manifest_segment_path(s);
    uint64_t have = 0;
    std::string why;
    // Named by its digest: a segment already there holds these bytes.
    if (!mirror_file_size(path, &have, &why) ||
        (have != s.size && !mirror_write_file(path, p->buf.data(), size_t(s.size), &why))) {
      return fail(kPublishOutputFailed, why);
    }
    p->m.segments.push_back(s);
    p->report->new_segments++;
    p->report->new_bytes += s.size;
    pos = l.whole_end;
    p->m.store_size = pos;
  }
  return kPublishOk;
}

// One version of the catalogue into the published folder; false (with a
// note on stderr) when it is left out.
bool add_version(Publish* p, const VersionInfo& v, int* status) {
  const std::string& dir = p->req->store_dir;
  const std::string list_path = catalog_file_path(dir, v.list);
  std::string list, why;
  bool missing = false;
  if (!mirror_read_file(list_path, UINT64_MAX, &list, &missing, &why) ||
      mirror_sha256(list) != v.list_sha256) {
    fprintf(stderr, "%s: the version %s is left out: its list %s\n", kTool, v.name.c_str(),
            why.empty() ? "does not match the SHA-256 its description keeps" : why.c_str());
    return false;
  }
  if (!mirror_list_inside(list, p->m.store_size)) {
    p->report->versions_waiting++;
    return false;
  }
  const std::string text = version_info_text(v);
  MirrorVersion mv;
  mv.name = v.name;
  mv.size = text.size();
  mv.sha256 = mirror_sha256(text);
  mv.list_size = list.size();
  mv.list_sha256 = v.list_sha256;
  const std::string out[2] = {p->req->pub_dir + "/" + manifest_list_path(mv),
                              p->req->pub_dir + "/" + manifest_version_path(mv)};
  const std::string* bytes[2] = {&list, &text};
  for (int i = 0; i < 2; i++) {
    uint64_t have = 0;
    if (!mirror_file_size(out[i], &have, &why) ||
        (have != bytes[i]->size() && !mirror_write_file(out[i], *bytes[i], &why))) {
      *status = fail(kPublishOutputFailed, why);
      return false;
    }
  }
  p->m.versions.push_back(mv);
  return true;
}

int add_versions(Publish* p) {
  std::vector<VersionInfo> versions;
  std::vector<std::string> damaged;
  std::string why;
  if (!catalog_read(p->req->store_dir, &versions, &damaged, &why)) {
    return fail(kPublishStoreFailed, "cannot read the catalogue: " + why);
  }
  for (const std::string& d : damaged) {
    fprintf(stderr, "%s: a damaged version is left out: %s\n", kTool, d.c_str());
  }
  p->m.versions.clear();
  int status = kPublishOk;
  for (const VersionInfo& v : versions) {
    if (v.store_end > p->m.store_size) {
      p->report->versions_waiting++;
      continue;
    }
    add_version(p, v, &status);
    if (status != kPublishOk) return status;
  }
  p->report->versions = p->m.versions.size();
  return kPublishOk;
}

int read_manifest(Publish* p, std::string* old_text) {
  const std::string path = p->req->pub_dir + "/" + kManifestName;
  std::string why;
  bool missing = false;
  if (!mirror_read_file(path, uint64_t(256) << 20, old_text, &missing, &why)) {
    if (missing) return kPublishOk;
    return fail(kPublishOutputFailed, why);
  }
  if (!manifest_parse(*old_text, &p->m, &why)) {
    return fail(kPublishOutputFailed, path + " is damaged (" + why + "): nothing is published "
                                      "over it");
  }
  return kPublishOk;
}

int publish(Publish* p) {
  const std::string& pub = p->req->pub_dir;
  std::string why;
  PlatFileId store_id, pub_id;
  if (plat_path_identity(p->req->store_dir.c_str(), &store_id) &&
      plat_path_identity(pub.c_str(), &pub_id) && store_id == pub_id) {
    return fail(kPublishUsage, pub + " is the store folder itself: publish into a folder of its "
                               "own");
  }
  for (const std::string& folder : {pub, pub + "/" + kSegmentFolder, pub + "/" + kCatalogFolder}) {
    if (!mirror_make_folder(folder, &why)) return fail(kPublishOutputFailed, why);
  }
  // One publish at a time into a folder: a second one waits.
  PlatFile lock = mirror_take_lock(pub + "/" + kPublishLockName, "publish", &why);
  if (lock == kPlatNoFile) return fail(kPublishOutputFailed, why);
  std::string old_text;
  int status = read_manifest(p, &old_text);
  if (status == kPublishOk) status = open_store(p);
  if (status == kPublishOk) status = check_extends(p);
  if (status == kPublishOk) status = add_segments(p);
  if (status == kPublishOk) status = add_versions(p);
  if (status == kPublishOk) {
    const std::string text = manifest_text(p->m);
    if (text != old_text && !mirror_write_file(pub + "/" + kManifestName, text, &why)) {
      status = fail(kPublishOutputFailed, why);
    }
  }
  p->report->published = p->m.store_size;
  if (p->store != kPlatNoFile) (void)plat_file_close(p->store);  // synced above; read since
  (void)plat_file_close(lock);  // releases it
  return status;
}

}  // namespace

int mirror_publish(const PublishRequest& r, PublishReport* report) {
  *report = PublishReport{};
  Publish p;
  p.req = &r;
  p.report = report;
  // Shared, as a reader: a prune does not switch the store meanwhile.
  StoreLock lock;
  (void)store_lock(&lock, r.store_dir.c_str(), false,
                   "chunkmirror: waiting for a prune to switch the store\n");
  const int status = publish(&p);
  store_unlock(&lock);
  return status;
}
