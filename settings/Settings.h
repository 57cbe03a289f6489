#pragma once
#include <cstdint>
#include <string>

// The output-name rule: which parts make a file name and what separates them.
struct TOutName {
  std::string Prefix;
  std::string Postfix;
  char Separator = '\0';
  bool IncludeName = false;
  bool IncludeDate = false;
  int32_t SIndex = 0;  // chosen line of the separator list; -1 when typed in
};

// Options of the options dialog. The password is kept in plain text.
struct TcvOptions {
  bool IsProxy = false;
  std::string ProxyAdress;
  int32_t ProxyPort = 0;
  std::string ProxyUser;
  std::string ProxyPassword;
  bool AutoPaste = false;
  bool DeleteVideo = false;
  // Links of other sites, read by the external extractor.
  std::string YtDlpProgram;         // empty: "yt-dlp" on PATH
  std::string YtDlpCookiesBrowser;  // empty: none; else a --cookies-from-browser name
  bool AutoPasteOtherSites = false;  // AutoPaste takes them too (off: only site and media links)
};

// The browsers the extractor can read cookies from, as its option names them;
// the first entry (empty) is "none".
extern const char* const kCookieBrowsers[];
extern const int kCookieBrowserCount;

// The main window's place as the last session left it. Width 0: none kept.
// Columns: the job table's column widths, comma-separated. The window checks
// every value against the screens it finds; this layer only keeps them.
struct TWindowPlace {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  bool Maximized = false;
  std::string Columns;
};

// Process-wide settings: written only on the main thread, read everywhere.
extern std::string OutputFolder;
extern TOutName OutName;
extern TcvOptions cvOptions;
extern TWindowPlace WindowPlace;

namespace settings {

// What the main window needs after loading, besides the three variables.
struct TLoadedSettings {
  // The output folder exists (or was created): the folder box gets OutputFolder.
  // False after a failure, which has been logged; the box keeps its text.
  bool FolderReady = false;
  // Preset to select in the preset list; -1 (or any index outside it) selects none.
  int32_t CodecIndex = 0;
};

// UserFilesFolder() + "settings.ini": beside the program, or in the user's
// config folder when the program's folder is read-only.
std::string SettingsPath();

// Reads settings.ini into OutputFolder, OutName and cvOptions (missing file or
// keys give the defaults) and creates the output folder, one level deep (with its
// parents when the program's folder is read-only).
// Failures are logged with LogError, never thrown.
TLoadedSettings LoadSettingsFile(const std::string& path = SettingsPath());

// Writes every key, in order, keeping the file's other lines; codecIndex is the
// selected preset (-1 for none). The file is replaced as a whole or not at all.
// A failure is logged with LogError and gives false.
bool SaveSettingsFile(int32_t codecIndex, const std::string& path = SettingsPath());

// The separator a settings text or the name dialog's box stands for: its first
// character; "_" when it is empty or starts with a non-ASCII character.
char SeparatorFromText(const std::string& text);

}  // namespace settings
