// One HTTP(S) GET, for a pull from a published folder on a web server. The
// build picks the backend: http_get_curl.cpp (libcurl) where libcurl is
// there, http_get_none.cpp (every request fails, saying why) where it is
// not, as in the Windows builds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum HttpResult : int {
  kHttpOk = 0,
  kHttpNotFound,     // the server answered 404 (or 410)
  kHttpFailed,       // anything else: no answer, a cut transfer, another status
  kHttpUnsupported,  // this build has no HTTP client
};

// Takes each span of the body as it arrives; returning false stops the
// transfer (kHttpFailed, with the why the sink set).
typedef bool (*HttpSink)(void* ctx, const uint8_t* p, size_t n);

// GETs url from byte `from` on (a range request when from > 0: a server
// that answers with the whole body instead fails). *why says what failed.
HttpResult http_get(const std::string& url, uint64_t from, HttpSink sink, void* ctx,
                    std::string* why);
