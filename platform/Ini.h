#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// Raised by IniFile::Save when the file cannot be replaced.
class IniError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a whole number the way profile files do: leading blanks, an optional
// sign, "0x"/"0X"/"x"/"X"/"$" for hexadecimal; anything else that is not a whole
// 32-bit number gives def.
int32_t ParseProfileInt(const std::string& text, int32_t def);

// An initialization file held in memory: load once, read and write many keys,
// save once. Reading and writing follow the per-key profile functions: section
// and key names match without regard to ASCII case, the first of duplicate
// sections or keys wins, a missing file/section/key gives the caller's default,
// values are trimmed and cut at 2047 characters. Writing replaces the value in
// place, or adds the key at the end of its section, or the section at the end of
// the file, and keeps every other line as it stands.
class IniFile {
 public:
  static constexpr size_t kMaxValue = 2047;

  IniFile() = default;
  // Loads path; a missing or unreadable file reads as empty.
  explicit IniFile(const std::string& path);

  // False when the file could not be read (the object is then empty).
  bool Load(const std::string& path);
  const std::string& Path() const { return path_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  // Any integer other than 0 is true; a value that is not a number gives def.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  bool SectionExists(const std::string& section) const;
  // Section names in file order, each once (first spelling), empty names left out.
  std::vector<std::string> ReadSections() const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);

  // Replaces the file at Path() (or path) atomically: a temporary file beside it
  // is written and renamed over it. Lines end in CR LF. Throws IniError.
  void Save() const;
  void SaveAs(const std::string& path);
  // The mode every save gives the file (the temporary file is created 0600 and
  // gets it before the rename); 0, the default, keeps the replaced file's mode.
  void SetFileMode(unsigned mode) { fileMode_ = mode; }

  // The file's lines as they will be saved (without line ends).
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  struct Located {
    size_t sectionLine = npos;  // header line of the first matching section
    size_t keyLine = npos;      // first matching key line inside it
    size_t insertAt = npos;     // where a new key of this section goes
  };
  static constexpr size_t npos = static_cast<size_t>(-1);

  Located Find(const std::string& section, const std::string& key) const;

  std::string path_;
  std::vector<std::string> lines_;
  unsigned fileMode_ = 0;
};

}  // namespace platform
