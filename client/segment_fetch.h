// Where a pull takes a published folder from: a folder given as a path, or
// a web server given as an http:// or https:// URL (client/http_get.h).
// Both give the same two things: a small file whole, and the rest of a large
// file from a byte on, into the caller's memory (a download that resumes
// where an earlier one stopped).
#pragma once
#include <cstdint>
#include <string>

#include "platform/plat.h"

struct FetchSource {
  std::string base;  // the folder or the URL, without a trailing '/'
  bool http = false;
};

enum FetchResult : int {
  kFetchOk = 0,
  kFetchMissing,      // no such file at the source
  kFetchFailed,       // it cannot be read now: no answer, a cut transfer
  kFetchTooLong,      // more bytes came than the caller allows
  kFetchUnsupported,  // an http source in a build without an HTTP client
};

FetchSource fetch_source(const char* arg);

// What a message names for the file rel of the source.
std::string fetch_where(const FetchSource& s, const std::string& rel);

// The whole file rel into *out; kFetchTooLong beyond max bytes.
FetchResult fetch_whole(const FetchSource& s, const std::string& rel, uint64_t max,
                        std::string* out, std::string* why);

// Reads the bytes of rel from byte `from` on into dst, at most `limit` in
// all (kFetchTooLong when more come, after the first `limit` were placed);
// *got counts what was placed, also when the transfer broke off.
FetchResult fetch_rest(const FetchSource& s, const std::string& rel, uint64_t from, uint64_t limit,
                       uint8_t* dst, uint64_t* got, std::string* why);
