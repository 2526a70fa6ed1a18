#include "client/segment_fetch.h"

#include <cstring>
#include <vector>

#include "client/http_get.h"

namespace {

constexpr size_t kFetchBlock = size_t(1) << 20;

// Where the bytes of a fetch go: a string, or the caller's memory.
struct Sink {
  std::string* text = nullptr;
  uint8_t* dst = nullptr;
  uint64_t limit = 0;
  uint64_t got = 0;
  bool too_long = false;
};

bool take(void* ctx, const uint8_t* p, size_t n) {
  Sink* k = static_cast<Sink*>(ctx);
  if (n > k->limit - k->got) {
    n = size_t(k->limit - k->got);
    k->too_long = true;
  }
  if (k->text != nullptr) {
    k->text->append(reinterpret_cast<const char*>(p), n);
  } else {
    memcpy(k->dst + k->got, p, n);
  }
  k->got += n;
  return !k->too_long;
}

FetchResult from_folder(const FetchSource& s, const std::string& rel, uint64_t from, Sink* k,
                        std::string* why) {
  const std::string path = fetch_where(s, rel);
  PlatFile f = plat_file_open_read(path.c_str());
  if (f == kPlatNoFile) {
    const int err = plat_file_last_error();
    *why = "cannot open " + path + ": " + plat_error_text(err);
    return plat_path_kind(path.c_str()) == kPathMissing ? kFetchMissing : kFetchFailed;
  }
  uint64_t at = 0;
  FetchResult r = kFetchOk;
  if (plat_file_seek(f, int64_t(from), kSeekBegin, &at) != 0) {
    *why = "cannot read " + path + ": " + plat_error_text(plat_file_last_error());
    r = kFetchFailed;
  }
  std::vector<uint8_t> block(k->dst != nullptr ? 0 : kFetchBlock);
  while (r == kFetchOk) {
    // Into the caller's memory directly, one byte beyond the limit allowed
    // so that a longer file is told.
    uint8_t* to = block.data();
    size_t want = block.size();
    if (k->dst != nullptr) {
      to = k->dst + k->got;
      want = size_t(k->limit - k->got);
      if (want == 0) {
        uint8_t extra;
        if (plat_file_read(f, &extra, 1) > 0) k->too_long = true;
        break;
      }
      if (want > kFetchBlock * 16) want = kFetchBlock * 16;
    }
    const long n = plat_file_read(f, to, want);
    if (n < 0) {
      *why = "cannot read " + path + ": " + plat_error_text(plat_file_last_error());
      r = kFetchFailed;
    }
    if (n <= 0) break;
    if (k->dst != nullptr) {
      k->got += uint64_t(n);
    } else if (!take(k, to, size_t(n))) {
      break;
    }
  }
  (void)plat_file_close(f);  // only read
  return r;
}

FetchResult fetch(const FetchSource& s, const std::string& rel, uint64_t from, Sink* k,
                  std::string* why) {
  FetchResult r = kFetchOk;
  if (s.http) {
    switch (http_get(fetch_where(s, rel), from, take, k, why)) {
      case kHttpOk: break;
      case kHttpNotFound: r = kFetchMissing; break;
      case kHttpUnsupported: r = kFetchUnsupported; break;
      case kHttpFailed: r = kFetchFailed; break;
    }
  } else {
    r = from_folder(s, rel, from, k, why);
  }
  if (k->too_long) {
    *why = fetch_where(s, rel) + " holds more bytes than the manifest says";
    return kFetchTooLong;
  }
  return r;
}

}  // namespace

FetchSource fetch_source(const char* arg) {
  FetchSource s;
  s.base = arg;
  s.http = strncmp(arg, "http://", 7) == 0 || strncmp(arg, "https://", 8) == 0;
  while (s.base.size() > 1 && s.base.back() == '/') s.base.pop_back();
  return s;
}

std::string fetch_where(const FetchSource& s, const std::string& rel) {
  return s.base + "/" + rel;
}

FetchResult fetch_whole(const FetchSource& s, const std::string& rel, uint64_t max,
                        std::string* out, std::string* why) {
  out->clear();
  Sink k;
  k.text = out;
  k.limit = max;
  return fetch(s, rel, 0, &k, why);
}

FetchResult fetch_rest(const FetchSource& s, const std::string& rel, uint64_t from, uint64_t limit,
                       uint8_t* dst, uint64_t* got, std::string* why) {
  Sink k;
  k.dst = dst;
  k.limit = limit;
  const FetchResult r = fetch(s, rel, from, &k, why);
  *got = k.got;
  return r;
}
