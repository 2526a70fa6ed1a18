#include "client/http_get.h"

#include <curl/curl.h>

namespace {

struct Transfer {
  HttpSink sink;
  void* ctx;
  bool stopped;
};

size_t on_body(char* p, size_t size, size_t n, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  if (!t->sink(t->ctx, reinterpret_cast<const uint8_t*>(p), size * n)) {
    t->stopped = true;
    return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
  }
  return size * n;
}

bool curl_ready() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

}  // namespace

HttpResult http_get(const std::string& url, uint64_t from, HttpSink sink, void* ctx,
                    std::string* why) {
  CURL* c = curl_ready() ? curl_easy_init() : nullptr;
  if (c == nullptr) {
    *why = "the HTTP client (libcurl) cannot be started";
    return kHttpFailed;
  }
  Transfer t{sink, ctx, false};
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);  // no error page reaches the sink
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  // A redirect leads to another web server at most, never to a local file.
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L << 10);  // fewer, larger hand-overs
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
  // A transfer that stalls (under 1 KiB/s for a minute) fails rather than hangs.
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1024L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
  // Published files are immutable: nothing must transform them on the way.
  curl_easy_setopt(c, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  if (from > 0) curl_easy_setopt(c, CURLOPT_RESUME_FROM_LARGE, curl_off_t(from));
  const CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(c);
  if (t.stopped) return kHttpFailed;  // the sink said why
  if (status == 404 || status == 410) {
    *why = url + ": not found (HTTP " + std::to_string(status) + ")";
    return kHttpNotFound;
  }
  if (rc != CURLE_OK) {
    *why = url + ": " + (error[0] != 0 ? error : curl_easy_strerror(rc));
    return kHttpFailed;
  }
  const bool ok = from > 0 ? status == 206 : status == 200;
  if (!ok) {
    *why = url + ": the server answered HTTP " + std::to_string(status);
    return kHttpFailed;
  }
  return kHttpOk;
}
