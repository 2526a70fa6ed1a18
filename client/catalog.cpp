#include "client/catalog.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/output_file.h"
#include "common/sha256.h"
#include "common/store_format.h"
#include "platform/plat.h"

namespace {

constexpr size_t kMaxNameLength = 100;
// A .version file is a few lines per input; anything larger is not one.
constexpr uint64_t kMaxVersionFile = uint64_t(64) << 20;

bool name_char_ok(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-' || c == '+' || c == '@';
}

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// "YYYY-MM-DDTHH:MM:SSZ", digits where the pattern has them.
bool stored_ok(const std::string& s) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (s.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < s.size(); i++) {
    if (kShape[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != kShape[i]) return false;
  }
  return true;
}

bool sha_ok(const std::string& s) {
  if (s.size() != 2 * kSha256Size) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A list's file name: a plain name in "versions" that ends in ".list".
bool list_file_ok(const std::string& s) {
  if (!ends_with(s, kListSuffix) || s.size() == strlen(kListSuffix)) return false;
  return version_name_ok(s.substr(0, s.size() - strlen(kListSuffix)).c_str());
}

bool read_small_file(const std::string& path, std::string* text, std::string* why) {
  PlatFile f = plat_file_open_read(path.c_str());
  if (f == kPlatNoFile) {
    *why = plat_error_text(plat_file_last_error());
    return false;
  }
  text->clear();
  char buf[8192];
  bool ok = true;
  for (;;) {
    long n = plat_file_read(f, buf, sizeof buf);
    if (n < 0) {
      *why = plat_error_text(plat_file_last_error());
      ok = false;
      break;
    }
    if (n == 0) break;
    text->append(buf, size_t(n));
    if (text->size() > kMaxVersionFile) {
      *why = "it is far too large for a version's description";
      ok = false;
      break;
    }
  }
  (void)plat_file_close(f);
  return ok;
}

struct Listing {
  std::vector<std::string> names;  // of the .version files
};

void take_entry(void* ctx, const char* entry) {
  std::string e = entry;
  if (!ends_with(e, kVersionSuffix)) return;
  static_cast<Listing*>(ctx)->names.push_back(e.substr(0, e.size() - strlen(kVersionSuffix)));
}

bool oldest_first(const VersionInfo& a, const VersionInfo& b) {
  if (a.stored != b.stored) return a.stored < b.stored;
  if (a.store_end != b.store_end) return a.store_end < b.store_end;
  return a.name < b.name;
}

}  // namespace

bool catalog_parse_number(const std::string& s, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = uint64_t(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

bool version_name_ok(const char* name) {
  const size_t n = strlen(name);
  if (n == 0 || n > kMaxNameLength || name[0] == '.' || name[0] == '-') return false;
  for (size_t i = 0; i < n; i++) {
    if (!name_char_ok(name[i])) return false;
  }
  return true;
}

std::string catalog_store_path(const std::string& dir) {
  return dir + "/" + kStoreFileName;
}

std::string catalog_folder_path(const std::string& dir) {
  return dir + "/" + kCatalogFolder;
}

std::string catalog_file_path(const std::string& dir, const std::string& file) {
  return catalog_folder_path(dir) + "/" + file;
}

std::string version_info_text(const VersionInfo& v) {
  char num[96];
  std::string t = "format 1\nname " + v.name + "\nstored " + v.stored + "\n";
  for (const std::string& in : v.inputs) t += "input " + in + "\n";
  snprintf(num, sizeof num, "bytes %" PRIu64 "\nrecords %" PRIu64 "\n", v.bytes, v.records);
  t += num;
  if (v.new_bytes_known) {
    snprintf(num, sizeof num, "new-bytes %" PRIu64 "\n", v.new_bytes);
    t += num;
  } else {
    t += "new-bytes -\n";
  }
  snprintf(num, sizeof num, "store-end %" PRIu64 "\n", v.store_end);
  t += num;
  t += "list " + v.list + "\nlist-sha256 " + v.list_sha256 + "\n";
  return t;
}

bool version_info_parse(const std::string& text, VersionInfo* v, std::string* why) {
  *v = VersionInfo{};
  // Each key once (input aside), and all of them present.
  static const char* const kKeys[] = {"format", "name",      "stored", "bytes",      "records",
                                      "new-bytes", "store-end", "list", "list-sha256"};
  constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
  bool seen[kKeyCount] = {};
  size_t at = 0, line_no = 0;
  auto fail = [&](const std::string& what) {
    *why = "line " + std::to_string(line_no) + ": " + what;
    return false;
  };
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      line_no++;
      return fail("the file ends inside a line");
    }
    std::string line = text.substr(at, end - at);
    at = end + 1;
    line_no++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    if (space == std::string::npos) return fail("no value: \"" + line + "\"");
    const std::string key = line.substr(0, space), value = line.substr(space + 1);
    if (key == "input") {
      if (value.empty()) return fail("an empty input");
      v->inputs.push_back(value);
      continue;
    }
    size_t k = 0;
    while (k < kKeyCount && key != kKeys[k]) k++;
    if (k == kKeyCount) continue;  // a key of a later revision of format 1
    if (seen[k]) return fail(key + " twice");
    seen[k] = true;
    bool ok = true;
    if (key == "format") {
      ok = value == "1";
      if (!ok) return fail("format " + value + " is not one this program reads");
    } else if (key == "name") {
      v->name = value;
      ok = version_name_ok(value.c_str());
    } else if (key == "stored") {
      v->stored = value;
      ok = stored_ok(value);
    } else if (key == "bytes") {
      ok = catalog_parse_number(value, &v->bytes);
    } else if (key == "records") {
      ok = catalog_parse_number(value, &v->records);
    } else if (key == "new-bytes") {
      v->new_bytes_known = value != "-";
      ok = !v->new_bytes_known || catalog_parse_number(value, &v->new_bytes);
    } else if (key == "store-end") {
      ok = catalog_parse_number(value, &v->store_end);
    } else if (key == "list") {
      v->list = value;
      ok = list_file_ok(value);
    } else if (key == "list-sha256") {
      v->list_sha256 = value;
      ok = sha_ok(value);
    }
    if (!ok) return fail("not a valid " + key + ": \"" + value + "\"");
  }
  for (size_t k = 0; k < kKeyCount; k++) {
    if (!seen[k]) {
      *why = std::string("no ") + kKeys[k];
      return false;
    }
  }
  if (v->records == 0 && v->bytes != 0) {
    *why = "bytes without records";
    return false;
  }
  return true;
}

VersionLookup catalog_find(const std::string& dir, const std::string& name, VersionInfo* v,
                           std::string* why) {
  if (!version_name_ok(name.c_str())) {
    *why = "not a version name (1 to 100 of A-Z a-z 0-9 . _ - + @, not starting with . or -)";
    return kVersionMissing;
  }
  const std::string path = catalog_file_path(dir, name + kVersionSuffix);
  if (plat_path_kind(path.c_str()) == kPathMissing) {
    *why = "no version of that name in " + catalog_folder_path(dir);
    return kVersionMissing;
  }
  std::string text;
  if (!read_small_file(path, &text, why)) return kVersionDamaged;
  if (!version_info_parse(text, v, why)) return kVersionDamaged;
  if (v->name != name) {
    *why = "it describes the version " + v->name;
    return kVersionDamaged;
  }
  return kVersionFound;
}

bool catalog_read(const std::string& dir, std::vector<VersionInfo>* versions,
                  std::vector<std::string>* damaged, std::string* why) {
  versions->clear();
  damaged->clear();
  const std::string folder = catalog_folder_path(dir);
  if (!plat_path_is_dir(folder.c_str())) {
    if (plat_path_kind(folder.c_str()) == kPathMissing) return true;  // no versions yet
    *why = folder + " is not a folder";
    return false;
  }
  Listing l;
  if (plat_dir_list(folder.c_str(), take_entry, &l) != 0) {
    *why = "cannot read " + folder + ": " + plat_error_text(plat_file_last_error());
    return false;
  }
  std::sort(l.names.begin(), l.names.end());
  for (const std::string& name : l.names) {
    const std::string file = name + kVersionSuffix;
    if (!version_name_ok(name.c_str())) {
      damaged->push_back(file + ": not a version name");
      continue;
    }
    VersionInfo v;
    std::string what;
    if (catalog_find(dir, name, &v, &what) != kVersionFound) {
      damaged->push_back(file + ": " + what);
      continue;
    }
    versions->push_back(v);
  }
  std::sort(versions->begin(), versions->end(), oldest_first);
  return true;
}

std::string catalog_utc_text(int64_t seconds) {
  // Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
  int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days--;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[40];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", int(year), int(month), int(day),
           int(rest / 3600), int(rest / 60 % 60), int(rest % 60));
  return text;
}

std::string catalog_now_utc() { return catalog_utc_text(int64_t(time(nullptr))); }

bool catalog_make_folder(const std::string& dir, std::string* why) {
  const std::string folder = catalog_folder_path(dir);
  if (plat_path_is_dir(folder.c_str())) return true;
  if (plat_make_dir(folder.c_str()) != 0) {
    *why = "cannot create " + folder + ": " + plat_error_text(plat_file_last_error());
    return false;
  }
  // The new folder's name is kept like a file's.
  if (plat_folder_sync(folder.c_str()) != 0) {
    *why = "cannot sync the folder of " + folder + ": " + plat_error_text(plat_file_last_error());
    return false;
  }
  return true;
}

std::string catalog_fresh_list(const std::string& dir, const std::string& name) {
  std::string file = name + kListSuffix;
  for (unsigned n = 2; plat_path_kind(catalog_file_path(dir, file).c_str()) != kPathMissing; n++) {
    file = name + ".r" + std::to_string(n) + kListSuffix;
  }
  return file;
}

bool catalog_sha256_of(PlatFile f, std::string* hex, std::string* why) {
  static uint8_t buf[1 << 16];
  Sha256 h;
  sha256_init(&h);
  for (;;) {
    long n = plat_file_read(f, buf, sizeof buf);
    if (n < 0) {
      *why = plat_error_text(plat_file_last_error());
      return false;
    }
    if (n == 0) break;
    sha256_update(&h, buf, size_t(n));
  }
  uint8_t d[kSha256Size];
  char text[2 * kSha256Size + 1];
  sha256_final(&h, d);
  sha256_hex(d, text);
  *hex = text;
  return true;
}

bool catalog_file_sha256(const std::string& path, std::string* hex, std::string* why) {
  PlatFile f = plat_file_open_read(path.c_str());
  if (f == kPlatNoFile) {
    *why = plat_error_text(plat_file_last_error());
    return false;
  }
  const bool ok = catalog_sha256_of(f, hex, why);
  (void)plat_file_close(f);
  return ok;
}

VersionList catalog_open_list(const std::string& dir, const std::string& name, VersionInfo* v,
                              PlatFile* f, std::string* why) {
  *f = kPlatNoFile;
  switch (catalog_find(dir, name, v, why)) {
    case kVersionMissing: return kListNoVersion;
    case kVersionDamaged:
      *why = "its description " + name + kVersionSuffix + " is damaged: " + *why;
      return kListDamaged;
    case kVersionFound: break;
  }
  const std::string path = catalog_file_path(dir, v->list);
  PlatFile list = plat_file_open_read(path.c_str());
  if (list == kPlatNoFile) {
    *why = "cannot open its list " + path + ": " + plat_error_text(plat_file_last_error());
    return kListUnreadable;
  }
  std::string hex;
  if (!catalog_sha256_of(list, &hex, why)) {
    *why = "cannot read its list " + path + ": " + *why;
    (void)plat_file_close(list);
    return kListUnreadable;
  }
  if (hex != v->list_sha256) {
    *why = "its list " + path + " has the SHA-256 " + hex + ", not " + v->list_sha256;
    (void)plat_file_close(list);
    return kListDamaged;
  }
  if (plat_file_seek(list, 0, kSeekBegin, nullptr) != 0) {
    *why = "cannot read its list " + path + ": " + plat_error_text(plat_file_last_error());
    (void)plat_file_close(list);
    return kListUnreadable;
  }
  *f = list;
  return kListReady;
}

bool catalog_write_version(const std::string& dir, const VersionInfo& v, std::string* why) {
  const std::string path = catalog_file_path(dir, v.name + kVersionSuffix);
  const std::string text = version_info_text(v);
  OutputFile o;
  if (!output_open_temp(&o, path.c_str(), nullptr, 0)) {
    *why = "cannot create " + path + ": " + plat_error_text(o.error);
    return false;
  }
  output_write(&o, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (!output_commit(&o)) {
    *why = "writing " + path + " failed: " + plat_error_text(o.error);
    output_abandon(&o);
    return false;
  }
  return true;
}
