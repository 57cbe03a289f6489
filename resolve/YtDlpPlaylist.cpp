#include "resolve/YtDlpPlaylist.h"

#include <cmath>
#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace {

std::string Text(const json& o, const char* key) {
  auto it = o.find(key);
  return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool IsWeb(const std::string& s) { return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0; }

}  // namespace

TYtPlaylist ParseYtDlpPlaylist(const std::string& text) {
  TYtPlaylist list;
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return list;
  auto entries = doc.find("entries");
  if (Text(doc, "_type") != "playlist" && (entries == doc.end() || doc.contains("formats")))
    return list;
  list.IsPlaylist = true;
  list.Title = Text(doc, "title");
  if (entries == doc.end() || !entries->is_array()) return list;
  int position = 0;
  for (const json& e : *entries) {
    TYtEntry entry;
    entry.Position = position++;
    if (e.is_object()) {
      // A flat entry's url is its page; a video the page holds whole (a page of
      // several clips) has its media address there, its webpage_url the shared page.
      entry.Link = Text(e, "url");
      if (!IsWeb(entry.Link)) entry.Link = Text(e, "webpage_url");
      if (!IsWeb(entry.Link)) entry.Link = Text(e, "original_url");
      entry.Title = Text(e, "title");
      if (auto d = e.find("duration"); d != e.end() && d->is_number() && d->get<double>() > 0)
        entry.DurationSec = static_cast<int>(std::lround(d->get<double>()));
    }
    if (!IsWeb(entry.Link) ||
        entry.Link.find_first_of(" \t\r\n") != std::string::npos) {
      ++list.Missing;
      continue;
    }
    list.Entries.push_back(std::move(entry));
  }
  return list;
}

bool LinkNamesPlaylist(const std::string& link) {
  const size_t query = link.find('?');
  if (query == std::string::npos) return false;
  const size_t end = link.find('#', query);
  const std::string q = "&" + link.substr(query + 1, end == std::string::npos ? end : end - query - 1);
  const size_t at = q.find("&list=");
  return at != std::string::npos && at + 6 < q.size() && q[at + 6] != '&';
}
