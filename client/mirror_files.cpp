#include "client/mirror_files.h"

#include "common/output_file.h"
#include "common/record.h"
#include "common/store_format.h"
#include "common/sha256.h"
#include "platform/plat.h"

#include <cstdio>

bool mirror_write_file(const std::string& path, const uint8_t* p, size_t n, std::string* why) {
  OutputFile o;
  if (!output_open_temp(&o, path.c_str(), nullptr, 0)) {
    *why = "cannot create " + path + ": " + plat_error_text(o.error);
    return false;
  }
  output_write(&o, p, n);
  if (!output_commit(&o)) {
    *why = "writing " + path + " failed: " + plat_error_text(o.error);
    output_abandon(&o);
    return false;
  }
  return true;
}

bool mirror_read_file(const std::string& path, uint64_t max, std::string* out, bool* missing,
                      std::string* why) {
  out->clear();
  *missing = plat_path_kind(path.c_str()) == kPathMissing;
  PlatFile f = *missing ? kPlatNoFile : plat_file_open_read(path.c_str());
  if (f == kPlatNoFile) {
    *why = "cannot open " + path + ": " + plat_error_text(plat_file_last_error());
    return false;
  }
  uint64_t size = 0;
  bool ok = plat_file_seek(f, 0, kSeekEnd, &size) == 0 && size <= max &&
            plat_file_seek(f, 0, kSeekBegin, nullptr) == 0;
  if (ok) {
    out->resize(size_t(size));
    ok = plat_file_read_full(f, out->data(), out->size()) == long(size);
  }
  if (!ok) *why = path + " cannot be read, or is larger than " + std::to_string(max) + " bytes";
  (void)plat_file_close(f);  // only read
  return ok;
}

bool mirror_file_size(const std::string& path, uint64_t* size, std::string* why) {
  *size = 0;
  if (plat_path_kind(path.c_str()) == kPathMissing) return true;
  PlatFile f = plat_file_open_read(path.c_str());
  const bool ok = f != kPlatNoFile && plat_file_seek(f, 0, kSeekEnd, size) == 0;
  if (!ok) *why = "cannot examine " + path + ": " + plat_error_text(plat_file_last_error());
  if (f != kPlatNoFile) (void)plat_file_close(f);  // only read
  return ok;
}

namespace {

struct HeadDigest {
  Sha256 h;
  const uint8_t* p;
  size_t n;
};

void digest_head(void* ctx) {
  HeadDigest* d = static_cast<HeadDigest*>(ctx);
  sha256_init(&d->h);
  sha256_update(&d->h, d->p, d->n);
}

}  // namespace

std::string mirror_sha256_beside(const uint8_t* p, size_t total, size_t tail,
                                 size_t (*cut)(void* ctx), void* ctx, size_t* n) {
  HeadDigest d{Sha256{}, p, total > tail ? total - tail : 0};
  PlatThread beside;
  const bool started = plat_thread_start(&beside, digest_head, &d);
  *n = cut(ctx);
  if (started) {
    plat_thread_join(&beside);
  } else {
    digest_head(&d);  // no second thread to be had: one after the other
  }
  if (*n < d.n) return mirror_sha256(p, *n);
  sha256_update(&d.h, p + d.n, *n - d.n);
  uint8_t out[kSha256Size];
  sha256_final(&d.h, out);
  char hex[2 * kSha256Size + 1];
  sha256_hex(out, hex);
  return hex;
}

std::string mirror_sha256(const uint8_t* p, size_t n) {
  Sha256 h;
  sha256_init(&h);
  sha256_update(&h, p, n);
  uint8_t d[kSha256Size];
  sha256_final(&h, d);
  char hex[2 * kSha256Size + 1];
  sha256_hex(d, hex);
  return hex;
}

bool mirror_make_folder(const std::string& path, std::string* why) {
  if (plat_path_is_dir(path.c_str())) return true;
  if (plat_make_dir(path.c_str()) == 0 || plat_path_is_dir(path.c_str())) return true;
  *why = "cannot make the folder " + path + ": " + plat_error_text(plat_file_last_error());
  return false;
}

bool mirror_list_inside(const std::string& list, uint64_t size) {
  if (list.size() % kChunkRecordSize != 0) return false;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(list.data());
  for (size_t at = 0; at < list.size(); at += kChunkRecordSize) {
    const ChunkRecord r = decode_chunk_record(p + at);
    if (!chunk_in_store(r.offset, r.real_length, size)) return false;
  }
  return true;
}

PlatFile mirror_take_lock(const std::string& path, const char* what, std::string* why) {
  PlatFile f = plat_file_open_always_rw(path.c_str());
  bool ok = f != kPlatNoFile;
  if (ok && plat_file_try_lock(f, true) != 0) {
    fprintf(stderr, "chunkmirror: waiting for another %s (%s)\n", what, path.c_str());
    ok = plat_file_lock(f, true) == 0;
  }
  if (!ok) {
    *why = "cannot lock " + path + ": " + plat_error_text(plat_file_last_error());
    if (f != kPlatNoFile) (void)plat_file_close(f);
    return kPlatNoFile;
  }
  return f;
}
