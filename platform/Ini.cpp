#include "platform/Ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/Files.h"

namespace platform {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// A section header "[name]" (also without the closing bracket); false otherwise.
bool ParseSection(const std::string& line, std::string& name) {
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i >= line.size() || line[i] != '[') return false;
  size_t close = line.find(']', i + 1);
  name = line.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
  // Names are C strings to the profile functions: a zero byte ends them, so
  // listing, finding and writing all see the same name.
  size_t zero = name.find('\0');
  if (zero != std::string::npos) name.resize(zero);
  name = Trim(name);
  return true;
}

// A "key=value" line; false for lines without "=".
bool ParseKey(const std::string& line, std::string& key, std::string& value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(line.substr(0, eq));
  value = line.substr(eq + 1);
  return true;
}

// Values are C strings to the profile functions: they end at a zero byte, lose
// their blanks and one pair of enclosing quotes.
std::string CleanValue(std::string v) {
  size_t zero = v.find('\0');
  if (zero != std::string::npos) v.resize(zero);
  v = Trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  if (v.size() > IniFile::kMaxValue) v.resize(IniFile::kMaxValue);
  return v;
}

// A line break inside a name or value would split the line and could plant
// keys of its own; it becomes a blank.
std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

// Quotes keep blanks at the ends (and enclosing quotes) through a later read.
std::string QuoteIfNeeded(const std::string& v) {
  if (v.empty()) return v;
  bool edgeBlank = IsBlank(v.front()) || IsBlank(v.back());
  bool quoted = v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
  return (edgeBlank || quoted) ? "\"" + v + "\"" : v;
}

std::string ErrnoText(int err) {
  return std::strerror(err);
}

}  // namespace

int32_t ParseProfileInt(const std::string& text, int32_t def) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return def;
  uint64_t value = 0;
  const uint64_t limit = hex ? 0xFFFFFFFFull : 0x80000000ull;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return def;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (value > limit) return def;
  }
  if (hex) {
    // Eight hex digits fill the 32 bits, so $FFFFFFFF reads as -1.
    auto bits = static_cast<uint32_t>(value);
    int64_t v = static_cast<int32_t>(bits);
    return static_cast<int32_t>(negative ? -v : v);
  }
  if (!negative && value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return def;
  int64_t v = static_cast<int64_t>(value);
  return static_cast<int32_t>(negative ? -v : v);
}

IniFile::IniFile(const std::string& path) {
  Load(path);
}

bool IniFile::Load(const std::string& path) {
  path_ = path;
  lines_.clear();
  std::string data;
  if (!ReadFile(path, data)) return false;
  size_t start = 0;
  while (start < data.size()) {
    size_t lf = data.find('\n', start);
    size_t end = lf == std::string::npos ? data.size() : lf;
    std::string line = data.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines_.push_back(std::move(line));
    start = end + 1;
  }
  // A UTF-8 byte order mark is not part of the first name.
  if (!lines_.empty() && lines_[0].rfind("\xEF\xBB\xBF", 0) == 0) lines_[0].erase(0, 3);
  return true;
}

IniFile::Located IniFile::Find(const std::string& section, const std::string& key) const {
  Located at;
  bool inside = false;
  std::string name, k, v;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string& line = lines_[i];
    if (ParseSection(line, name)) {
      if (inside) break;  // the first matching section ended
      if (SameText(name, section)) {
        inside = true;
        at.sectionLine = i;
        at.insertAt = i + 1;
      }
      continue;
    }
    if (!inside) continue;
    if (!Trim(line).empty()) at.insertAt = i + 1;
    if (at.keyLine == npos && !key.empty() && ParseKey(line, k, v) && SameText(k, key))
      at.keyLine = i;
  }
  return at;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
  Located at = Find(section, key);
  if (at.keyLine == npos) return def;
  std::string k, v;
  ParseKey(lines_[at.keyLine], k, v);
  return CleanValue(v);
}

int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                             int32_t def) const {
  Located at = Find(section, key);
  if (at.keyLine == npos) return def;
  std::string k, v;
  ParseKey(lines_[at.keyLine], k, v);
  return ParseProfileInt(CleanValue(v), def);
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::SectionExists(const std::string& section) const {
  return Find(section, std::string()).sectionLine != npos;
}

std::vector<std::string> IniFile::ReadSections() const {
  std::vector<std::string> names;
  std::string name;
  for (const std::string& line : lines_) {
    if (!ParseSection(line, name) || name.empty()) continue;
    bool seen = false;
    for (const auto& n : names) seen = seen || SameText(n, name);
    if (!seen && !name.empty()) names.push_back(name);
  }
  return names;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
  std::string sec = OneLine(section);
  std::string line = OneLine(key) + "=" + QuoteIfNeeded(OneLine(value));
  Located at = Find(sec, OneLine(key));
  if (at.keyLine != npos) {
    lines_[at.keyLine] = line;
  } else if (at.sectionLine != npos) {
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at.insertAt), line);
  } else {
    lines_.push_back("[" + sec + "]");
    lines_.push_back(line);
  }
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::SaveAs(const std::string& path) {
  path_ = path;
  Save();
}

void IniFile::Save() const {
  if (path_.empty()) throw IniError("No file name given for the settings");
  std::string data;
  for (const std::string& line : lines_) {
    data += line;
    data += "\r\n";
  }

  // Keep the mode of the file being replaced.
  mode_t mode = 0644;
  struct stat st;
  if (fileMode_ != 0)
    mode = static_cast<mode_t>(fileMode_);
  else if (::stat(path_.c_str(), &st) == 0)
    mode = st.st_mode & 07777;

  std::string tmp = path_ + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) throw IniError("Cannot write " + path_ + ": " + ErrnoText(errno));
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw IniError("Cannot write " + path_ + ": " + ErrnoText(err));
  };
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (::fchmod(fd, mode) != 0) fail(errno);
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw IniError("Cannot write " + path_ + ": " + ErrnoText(err));
  }
  if (::rename(tmp.c_str(), path_.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw IniError("Cannot write " + path_ + ": " + ErrnoText(err));
  }
}

}  // namespace platform
