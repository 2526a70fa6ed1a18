#include "client/http_get.h"

HttpResult http_get(const std::string& url, uint64_t, HttpSink, void*, std::string* why) {
  *why = "this build has no HTTP client (it was built without libcurl): cannot fetch " + url +
         "; pull from a folder instead";
  return kHttpUnsupported;
}
