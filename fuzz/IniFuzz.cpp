// INI reader/writer. Input: the file, optionally followed by a zero byte and
// "section LF key LF value" for a write. Checks: every read is safe, a save and
// reload keeps the lines, a written value and integer read back as written.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/Files.h"
#include "platform/Ini.h"

namespace {

const std::string& Scratch() {
  // tmpfs: Save's fsync costs nothing there.
  static const std::string path =
      (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) +
      "/vantorel_fuzz_ini_" + std::to_string(getpid()) + ".ini";
  return path;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string Trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

// Names a write can find again (the program writes constant names only): a
// section without "]", zero byte or edge blanks, a key without "=" or edge
// blanks that does not read as a section header.
bool UsableSection(const std::string& s) {
  return !s.empty() && s.find_first_of(std::string("]\0", 2)) == std::string::npos &&
         Trimmed(s) == s;
}
bool UsableKey(const std::string& k) {
  return !k.empty() && k.find('=') == std::string::npos && Trimmed(k) == k && k[0] != '[';
}

void ReadEverything(const platform::IniFile& ini) {
  for (const auto& section : ini.ReadSections()) {
    FUZZ_CHECK(ini.SectionExists(section));
    for (const auto& line : ini.Lines()) {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = Trimmed(line.substr(0, eq));
      std::string v = ini.ReadString(section, key, "\x01");
      FUZZ_CHECK(v.size() <= platform::IniFile::kMaxValue);
      ini.ReadInteger(section, key, -7);
      ini.ReadBool(section, key, true);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string file = input, command;
  size_t zero = input.find('\0');
  if (zero != std::string::npos) {
    file = input.substr(0, zero);
    command = input.substr(zero + 1);
  }

  const std::string& path = Scratch();
  FUZZ_CHECK(platform::WriteFile(path, file));
  platform::IniFile ini;
  FUZZ_CHECK(ini.Load(path));
  ReadEverything(ini);

  // Save and reload: the lines stand as they were (a second byte order mark
  // would lose its twin to the reload, so that case is left out).
  const bool bom = !ini.Lines().empty() && ini.Lines()[0].rfind("\xEF\xBB\xBF", 0) == 0;
  ini.Save();
  {
    platform::IniFile again(path);
    if (!bom) FUZZ_CHECK(again.Lines() == ini.Lines());
  }

  if (!command.empty()) {
    size_t a = command.find('\n');
    size_t b = a == std::string::npos ? a : command.find('\n', a + 1);
    if (b != std::string::npos) {
      const std::string section = command.substr(0, a);
      const std::string key = command.substr(a + 1, b - a - 1);
      const std::string value = command.substr(b + 1);
      ini.WriteString(section, key, value);
      ReadEverything(ini);
      if (UsableSection(OneLine(section)) && UsableKey(OneLine(key))) {
        const std::string sec = OneLine(section), k = OneLine(key);
        std::string expected = OneLine(value);
        if (expected.find('\0') == std::string::npos &&
            expected.size() <= platform::IniFile::kMaxValue) {
          FUZZ_CHECK(ini.ReadString(sec, k, "\x01") == expected);
          ini.Save();
          platform::IniFile again(path);
          FUZZ_CHECK(again.ReadString(sec, k, "\x01") == expected);
        }
        const int32_t number = static_cast<int32_t>(value.size() * 2654435761u);
        ini.WriteInteger(sec, k, number);
        FUZZ_CHECK(ini.ReadInteger(sec, k, number ^ 1) == number);
        ini.WriteBool(sec, k, number & 1);
        FUZZ_CHECK(ini.ReadBool(sec, k, !(number & 1)) == static_cast<bool>(number & 1));
      }
    }
  }
  return 0;
}
