// The pieces of the one JSON object a tool prints with --json: strings
// escaped as JSON wants them, on standard output.
#pragma once
#include <string>

// s as a JSON string, quotes included: '"', '\' and control characters
// escaped; other bytes (UTF-8 included) as they are.
std::string json_string(const char* s);
inline std::string json_string(const std::string& s) { return json_string(s.c_str()); }
