#pragma once
// Text, encoding and HTTP-head helpers the simulator's parts share.
#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "tools/sitesim/SiteSim.h"

namespace sitesim::detail {

uint64_t Mix(uint64_t x);  // splitmix64 finaliser
std::string Lower(std::string s);
std::string PercentDecode(const std::string& s);
std::map<std::string, std::string> ParseQuery(const std::string& query);
std::string HttpDate(std::time_t t);
std::string Reason(int status);
std::string Base64(const std::string& in);
std::string GzipOf(const std::string& data);
std::string DefaultQuality(int itag);

bool ParseHead(const std::string& head, TRequest& req);
// Single "bytes=" range against size; false when absent or not a single range.
// unsatisfiable is set for a syntactically good range outside the entity.
bool ParseRange(const std::string& header, int64_t size, int64_t& first, int64_t& last,
                bool& unsatisfiable);

}  // namespace sitesim::detail
