#pragma once
#include <string>

// Proxy texts of the handle layer translated into curl's terms.
namespace wininet::detail {

// The proxy of a named-proxy handle for a scheme: "name=server:port" entries or one
// entry for every scheme; always used as an HTTP proxy (a tunnel for https).
// "" when the list names none.
std::string SelectProxy(const std::string& list, const std::string& scheme);

// A bypass list ("host;*.domain <local>") as curl's no-proxy list ("host,.domain").
std::string NoProxyList(const std::string& bypass);

}  // namespace wininet::detail
