#include "client/mirror_pull.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "client/catalog.h"
#include "client/mirror_files.h"
#include "client/mirror_manifest.h"
#include "client/segment_layout.h"
#include "common/store_format.h"
#include "common/store_lock.h"
#include "platform/plat.h"

namespace {

constexpr char kTool[] = "chunkmirror";
constexpr char kPullLockName[] = "$pull";
constexpr uint64_t kMaxManifest = uint64_t(256) << 20;

struct Pull {
  const PullRequest* req;
  PullReport* report;
  std::string dir, dump_path, state_path;
  MirrorManifest m;     // the master's, as published
  MirrorManifest held;  // what the mirror holds
  std::string seg;      // the segment being checked and appended
};

int fail(int status, const std::string& what) {
  fprintf(stderr, "%s: %s\n", kTool, what.c_str());
  return status;
}

std::string range_text(const MirrorSegment& s) {
  char t[96];
  snprintf(t, sizeof t, "bytes %" PRIu64 "..%" PRIu64, s.offset, s.offset + s.size);
  return t;
}

// Statuses for what a fetch of a file the manifest names returned.
int fetch_failed(FetchResult r, const std::string& why) {
  switch (r) {
    case kFetchMissing:
      return fail(kPullBadSource, why + ": the manifest names it, the source lacks it");
    case kFetchTooLong:
      return fail(kPullBadSource, why);
    default:
      return fail(kPullSourceFailed, why);
  }
}

int write_state(Pull* p) {
  std::string why;
  if (!mirror_write_file(p->state_path, manifest_text(p->held), &why)) {
    return fail(kPullMirrorFailed, why);
  }
  return kPullOk;
}

int read_manifests(Pull* p) {
  std::string text, why;
  FetchResult r = fetch_whole(p->req->source, kManifestName, kMaxManifest, &text, &why);
  if (r == kFetchMissing) {
    return fail(kPullSourceFailed, why + ": " + p->req->source.base + " is not a published folder "
                                   "(chunkmirror publish makes one), or not yet");
  }
  if (r != kFetchOk) return fetch_failed(r, why);
  if (!manifest_parse(text, &p->m, &why)) {
    return fail(kPullBadSource, "the manifest at " + p->req->source.base + " is damaged (" + why +
                                    "): nothing was pulled");
  }
  bool missing = false;
  if (!mirror_read_file(p->state_path, kMaxManifest, &text, &missing, &why)) {
    if (missing) return kPullOk;  // a new mirror
    return fail(kPullMirrorFailed, why);
  }
  if (!manifest_parse(text, &p->held, &why)) {
    return fail(kPullMirrorFailed, p->state_path + ", the mirror's record of what it holds, is "
                                   "damaged (" + why + ")");
  }
  return kPullOk;
}

// Whether the mirror is the master's prefix: its segments the manifest's
// first ones, its store what they cover (and, beyond, at most the start of
// the next segment, an append a crash cut short).
int check_prefix(Pull* p) {
  const std::string not_prefix = p->dir + " is not a mirror of " + p->req->source.base + ": ";
  const auto& have = p->held.segments;
  const auto& want = p->m.segments;
  for (size_t i = 0; i < have.size(); i++) {
    if (i < want.size() && have[i].offset == want[i].offset && have[i].size == want[i].size &&
        have[i].sha256 == want[i].sha256) {
      continue;
    }
    std::string why;
    if (i == 0) {
      why = "the first segment differs: the mirror belongs to another store (or the master's "
            "store was pruned or replaced from its start)";
    } else if (p->m.store_size < p->held.store_size) {
      why = "the master publishes fewer bytes than the mirror holds: its store was pruned or "
            "replaced";
    } else {
      why = "segment " + std::to_string(i + 1) + " (" + range_text(have[i]) + ") differs: the "
            "master's store was pruned or replaced since the mirror followed it";
    }
    return fail(kPullNotAPrefix, not_prefix + why + "; the mirror is left as it is");
  }
  uint64_t size = 0;
  std::string why;
  if (!mirror_file_size(p->dump_path, &size, &why)) return fail(kPullMirrorFailed, why);
  if (size < p->held.store_size) {
    return fail(kPullNotAPrefix, not_prefix + p->dump_path + " is shorter than what the mirror "
                                 "held: something other than a pull changed it");
  }
  if (size > p->held.store_size) {
    const size_t next = have.size();
    const bool torn = next < want.size() && size - p->held.store_size <= want[next].size &&
                      plat_path_kind((p->dir + "/" + kFetchPrefix + want[next].sha256).c_str()) ==
                          kPathRegular;
    if (!torn) {
      return fail(kPullNotAPrefix, not_prefix + p->dump_path + " holds bytes that no pull "
                  "appended (a store of its own, or a server on the mirror stored into it); the "
                  "mirror is left as it is");
    }
  }
  return kPullOk;
}

struct Leftovers {
  std::string dir, keep;
};

void remove_other_fetch(void* ctx, const char* name) {
  const Leftovers* l = static_cast<const Leftovers*>(ctx);
  if (strncmp(name, kFetchPrefix, strlen(kFetchPrefix)) == 0 && l->keep != name) {
    (void)plat_file_remove((l->dir + "/" + name).c_str());  // a download no manifest names now
  }
}

// Downloads segment s into p->seg, from where a download that broke off
// stopped (its bytes kept in `part`), and checks it there. Only a download
// that breaks off is written out, for the next pull to resume.
int fetch_segment(Pull* p, const MirrorSegment& s, const std::string& part) {
  Leftovers l{p->dir, std::string(kFetchPrefix) + s.sha256};
  (void)plat_dir_list(p->dir.c_str(), remove_other_fetch, &l);  // only tidies
  uint64_t have = 0;
  std::string why;
  bool missing = false;
  if (!mirror_file_size(part, &have, &why)) return fail(kPullMirrorFailed, why);
  p->seg.resize(size_t(s.size));
  if (have > s.size) {
    (void)plat_file_remove(part.c_str());  // cannot be this segment; fetched anew
    have = 0;
  } else if (have > 0) {
    std::string kept;
    if (!mirror_read_file(part, s.size, &kept, &missing, &why)) return fail(kPullMirrorFailed, why);
    have = kept.size();
    memcpy(p->seg.data(), kept.data(), kept.size());
  }
  const std::string where = fetch_where(p->req->source, manifest_segment_path(s));
  if (have < s.size) {
    if (have > 0) {
      p->report->resumed_bytes += have;
      if (!p->req->quiet) {
        fprintf(stderr, "%s: resuming %s at byte %" PRIu64 "\n", kTool, where.c_str(), have);
      }
    }
    uint64_t got = 0;
    uint8_t* const to = reinterpret_cast<uint8_t*>(p->seg.data()) + have;
    const FetchResult r = fetch_rest(p->req->source, manifest_segment_path(s), have, s.size - have,
                                     to, &got, &why);
    // What came of a download that broke off or came short is kept for
    // the next pull to continue.
    if ((r == kFetchFailed || (r == kFetchOk && have + got < s.size)) && got > 0) {
      std::string kept_why;
      if (!mirror_write_file(part, reinterpret_cast<const uint8_t*>(p->seg.data()),
                             size_t(have + got), &kept_why)) {
        fprintf(stderr, "%s: %s (the next pull starts the segment again)\n", kTool,
                kept_why.c_str());
      }
    }
    if (r == kFetchFailed) {
      char t[160];
      snprintf(t, sizeof t, "; the download stopped at byte %" PRIu64 " of %" PRIu64
               ": run pull again to resume it", have + got, s.size);
      return fail(kPullSourceFailed, why + t);
    }
    if (r == kFetchTooLong) (void)plat_file_remove(part.c_str());
    if (r != kFetchOk) return fetch_failed(r, why);
    if (have + got < s.size) {
      char t[160];
      snprintf(t, sizeof t, " came cut short: %" PRIu64 " of %" PRIu64 " bytes", have + got,
               s.size);
      return fail(kPullBadSource, where + t + "; nothing of it was appended");
    }
  }
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(p->seg.data());
  const size_t n = p->seg.size();
  // The digest on a second core while this one cuts the same bytes.
  struct Cut {
    const uint8_t* bytes;
    uint64_t offset;
    size_t n;
    SegmentLayout lay;
  } c{bytes, s.offset, n, SegmentLayout{}};
  auto cut = [](void* ctx) {
    Cut* x = static_cast<Cut*>(ctx);
    x->lay = segment_layout(x->bytes, x->offset, x->n);
    return x->n;
  };
  size_t digested = 0;
  const std::string digest = mirror_sha256_beside(bytes, n, 0, cut, &c, &digested);
  const SegmentLayout& lay = c.lay;
  std::string bad;
  if (digest != s.sha256) {
    bad = "its SHA-256 is not the manifest's";
  } else {
    if (!lay.header_ok) {
      bad = "it does not begin with the store header";
    } else if (lay.whole_end != s.offset + s.size) {
      bad = "it does not end with a whole chunk";
    } else if (lay.bad_padding > 0) {
      bad = "a chunk's padding is not copies of its last byte";
    }
  }
  if (!bad.empty()) {
    (void)plat_file_remove(part.c_str());  // fetched anew next time
    return fail(kPullBadSource, where + " (" + range_text(s) + ") does not verify: " + bad +
                                    ". Nothing of it was appended; the mirror is as it was");
  }
  return kPullOk;
}

// Writes seg from byte `from` on at store position `at`, the disk set to
// work on each 8 MiB as soon as it is written: the sync that follows then
// waits for the last few only.
bool append_with_writeback(PlatFile f, const std::string& seg, uint64_t from, uint64_t at) {
  constexpr size_t kPiece = size_t(8) << 20;
  for (size_t i = size_t(from); i < seg.size();) {
    const size_t n = seg.size() - i < kPiece ? seg.size() - i : kPiece;
    if (plat_file_write_all(f, seg.data() + i, n) != 0) return false;
    plat_file_start_writeback(f, at, n);
    at += n;
    i += n;
  }
  return true;
}

// Appends the checked segment to "$dump" and records it, under the lock.
int append_segment(Pull* p, const MirrorSegment& s) {
  StoreLock lock;
  (void)store_lock(&lock, p->dir.c_str(), true,
                   "chunkmirror: waiting for the mirror's server to finish with its client\n");
  const bool created = plat_path_kind(p->dump_path.c_str()) == kPathMissing;
  PlatFile f = plat_file_open_always_rw(p->dump_path.c_str());
  uint64_t end = 0;
  int status = kPullOk;
  if (f == kPlatNoFile || plat_file_seek(f, 0, kSeekEnd, &end) != 0) {
    status = fail(kPullMirrorFailed, "cannot open " + p->dump_path + ": " +
                                         plat_error_text(plat_file_last_error()));
  }
  // What lies beyond the record must be the start of this segment.
  uint64_t already = end - s.offset;
  if (status == kPullOk && (end < s.offset || already > s.size)) {
    status = fail(kPullNotAPrefix, p->dump_path + " changed while the segment was fetched");
  }
  if (status == kPullOk && already > 0) {
    std::string there(size_t(already), '\0');
    if (plat_file_seek(f, int64_t(s.offset), kSeekBegin, nullptr) != 0 ||
        plat_file_read_full(f, there.data(), there.size()) != long(there.size()) ||
        memcmp(there.data(), p->seg.data(), there.size()) != 0) {
      status = fail(kPullNotAPrefix, p->dump_path + " holds bytes that no pull appended; the "
                                     "mirror is left as it is");
    }
  }
  if (status == kPullOk &&
      (plat_file_seek(f, 0, kSeekEnd, nullptr) != 0 || !append_with_writeback(f, p->seg, already, end) ||
       plat_file_sync(f) != 0 || (created && plat_folder_sync(p->dump_path.c_str()) != 0))) {
    status = fail(kPullMirrorFailed, "appending to " + p->dump_path + " failed: " +
                                         plat_error_text(plat_file_last_error()));
  }
  if (f != kPlatNoFile) (void)plat_file_close(f);  // synced above when it matters
  if (status == kPullOk) {
    p->held.segments.push_back(s);
    p->held.store_size = s.offset + s.size;
    status = write_state(p);
  }
  store_unlock(&lock);
  return status;
}

int pull_segments(Pull* p) {
  const size_t total = p->m.segments.size();
  for (size_t i = p->held.segments.size(); i < total; i++) {
    const MirrorSegment& s = p->m.segments[i];
    const std::string part = p->dir + "/" + kFetchPrefix + s.sha256;
    int status = fetch_segment(p, s, part);
    if (status == kPullOk) status = append_segment(p, s);
    if (status != kPullOk) return status;
    if (plat_path_kind(part.c_str()) != kPathMissing) (void)plat_file_remove(part.c_str());  // appended
    p->report->new_segments++;
    p->report->new_bytes += s.size;
    if (!p->req->quiet) {
      fprintf(stderr, "%s: segment %zu of %zu appended (%s)\n", kTool, i + 1, total,
              range_text(s).c_str());
    }
  }
  p->seg.clear();
  p->seg.shrink_to_fit();
  return kPullOk;
}

// A published file the manifest names, whole, with its size and digest.
int fetch_checked(Pull* p, const std::string& rel, uint64_t size, const std::string& sha,
                  std::string* out) {
  std::string why;
  const FetchResult r = fetch_whole(p->req->source, rel, size, out, &why);
  if (r != kFetchOk) return fetch_failed(r, why);
  if (out->size() != size || mirror_sha256(*out) != sha) {
    return fail(kPullBadSource, fetch_where(p->req->source, rel) + " does not match its size and "
                                "SHA-256 in the manifest: the version is not installed");
  }
  return kPullOk;
}

bool held_already(const Pull* p, const MirrorVersion& mv) {
  for (const MirrorVersion& h : p->held.versions) {
    if (h.name == mv.name && h.sha256 == mv.sha256 && h.list_sha256 == mv.list_sha256) {
      VersionInfo v;
      std::string why;
      return catalog_find(p->dir, mv.name, &v, &why) == kVersionFound &&
             v.list_sha256 == mv.list_sha256;
    }
  }
  return false;
}

// Writes the list (under a name of the mirror's own) and then the
// description, which makes the version exist.
int install_version(Pull* p, VersionInfo* v, const std::string& list) {
  std::string why;
  VersionInfo old;
  const bool had = catalog_find(p->dir, v->name, &old, &why) == kVersionFound;
  v->list = v->name + kListSuffix;
  std::string there;
  bool missing = false;
  const bool same = mirror_read_file(catalog_file_path(p->dir, v->list), list.size(), &there,
                                     &missing, &why) && there == list;
  if (!same && !missing) v->list = catalog_fresh_list(p->dir, v->name);
  if (!catalog_make_folder(p->dir, &why) ||
      (!same && !mirror_write_file(catalog_file_path(p->dir, v->list), list, &why)) ||
      !catalog_write_version(p->dir, *v, &why)) {
    return fail(kPullMirrorFailed, why);
  }
  if (had && old.list != v->list) {
    (void)plat_file_remove(catalog_file_path(p->dir, old.list).c_str());  // the replaced list
  }
  return kPullOk;
}

int pull_versions(Pull* p) {
  std::vector<MirrorVersion> installed;
  int status = kPullOk;
  for (const MirrorVersion& mv : p->m.versions) {
    if (held_already(p, mv)) {
      installed.push_back(mv);
      continue;
    }
    std::string text, list, why;
    status = fetch_checked(p, manifest_version_path(mv), mv.size, mv.sha256, &text);
    if (status != kPullOk) break;
    VersionInfo v;
    if (!version_info_parse(text, &v, &why) || v.name != mv.name ||
        v.list_sha256 != mv.list_sha256 || v.store_end > p->held.store_size) {
      status = fail(kPullBadSource, "the description of the version " + mv.name + " at the source "
                    "does not fit the manifest" + (why.empty() ? "" : " (" + why + ")") +
                    ": it is not installed");
      break;
    }
    status = fetch_checked(p, manifest_list_path(mv), mv.list_size, mv.list_sha256, &list);
    if (status != kPullOk) break;
    if (!mirror_list_inside(list, p->held.store_size)) {
      status = fail(kPullBadSource, "the list of the version " + mv.name + " names bytes beyond "
                                    "the mirror's store: it is not installed");
      break;
    }
    StoreLock lock;
    (void)store_lock(&lock, p->dir.c_str(), true,
                     "chunkmirror: waiting for the mirror's server to finish with its client\n");
    status = install_version(p, &v, list);
    store_unlock(&lock);
    if (status != kPullOk) break;
    installed.push_back(mv);
    p->report->versions_new++;
  }
  p->held.versions = installed;
  const int written = write_state(p);
  return status != kPullOk ? status : written;
}

}  // namespace

int mirror_pull(const PullRequest& r, PullReport* report) {
  *report = PullReport{};
  Pull p;
  p.req = &r;
  p.report = report;
  p.dir = r.mirror_dir;
  p.dump_path = catalog_store_path(p.dir);
  p.state_path = p.dir + "/" + kMirrorStateName;
  std::string why;
  PlatFileId source_id, mirror_id;
  if (!r.source.http && plat_path_identity(r.source.base.c_str(), &source_id) &&
      plat_path_identity(p.dir.c_str(), &mirror_id) && source_id == mirror_id) {
    return fail(kPullUsage, p.dir + " is the published folder itself: pull into a folder of its "
                                    "own");
  }
  if (!mirror_make_folder(p.dir, &why)) return fail(kPullMirrorFailed, why);
  // One pull at a time into a mirror: a second one waits.
  PlatFile lock = mirror_take_lock(p.dir + "/" + kPullLockName, "pull", &why);
  if (lock == kPlatNoFile) return fail(kPullMirrorFailed, why);
  int status = read_manifests(&p);
  if (status == kPullOk) status = check_prefix(&p);
  if (status == kPullOk) status = pull_segments(&p);
  if (status == kPullOk) status = pull_versions(&p);
  report->mirror_size = p.held.store_size;
  report->versions = p.held.versions.size();
  (void)plat_file_close(lock);  // releases it
  return status;
}
