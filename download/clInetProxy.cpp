#include "download/clInetProxy.h"

#include "platform/Text.h"

namespace wininet::detail {

std::string SelectProxy(const std::string& list, const std::string& scheme) {
  std::string fallback, chosen;
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ' ' || list[i] == ';' || list[i] == '\t')) ++i;
    size_t j = i;
    while (j < list.size() && list[j] != ' ' && list[j] != ';' && list[j] != '\t') ++j;
    std::string token = list.substr(i, j - i);
    i = j;
    if (token.empty()) continue;
    auto eq = token.find('=');
    if (eq == std::string::npos) {
      if (fallback.empty()) fallback = token;
    } else if (platform::IEqualsAscii(token.substr(0, eq), scheme) && chosen.empty()) {
      chosen = token.substr(eq + 1);
    }
  }
  std::string server = chosen.empty() ? fallback : chosen;
  auto sep = server.find("://");
  if (sep != std::string::npos) server = server.substr(sep + 3);
  while (!server.empty() && server.back() == '/') server.pop_back();
  return server.empty() ? "" : "http://" + server;
}

std::string NoProxyList(const std::string& bypass) {
  std::string out;
  size_t i = 0;
  while (i < bypass.size()) {
    size_t j = bypass.find_first_of(" ;,\t", i);
    if (j == std::string::npos) j = bypass.size();
    std::string token = bypass.substr(i, j - i);
    i = j + 1;
    if (token.empty() || token == "<local>") continue;
    if (token.size() > 1 && token.rfind("*.", 0) == 0) token = token.substr(1);
    if (!out.empty()) out += ",";
    out += token;
  }
  return out;
}

}  // namespace wininet::detail
