#include "settings/Settings.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <type_traits>
#include <variant>
#include <vector>

#include "log/LogWriter.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/UserFolders.h"

std::string OutputFolder;
TOutName OutName;
TcvOptions cvOptions;
TWindowPlace WindowPlace;

const char* const kCookieBrowsers[] = {"",      "firefox", "chromium", "chrome", "brave",
                                       "edge",  "opera",   "vivaldi",  "safari"};
const int kCookieBrowserCount = static_cast<int>(std::size(kCookieBrowsers));

namespace settings {

namespace {

// The kinds of value a key holds, each with the variable it fills and the value
// a missing key gives.
struct TTextKey {
  std::string* Value;
  const char* Default;  // nullptr: the default output folder
};
struct TFlagKey {
  bool* Value;
  bool Default;
};
struct TNumberKey {
  int32_t* Value;
  int32_t Default;
};
struct TSeparatorKey {
  char* Value;
  const char* Default;
};

struct TSettingKey {
  const char* Section;
  const char* Key;
  std::variant<TTextKey, TFlagKey, TNumberKey, TSeparatorKey> Value;
};

// Every key of settings.ini, in the order saving writes them. Names match the
// file without regard to case, so one spelling serves both directions.
std::vector<TSettingKey> SettingKeys(int32_t& codecIndex) {
  return {
      {"General", "Folder", TTextKey{&OutputFolder, nullptr}},
      {"OutName", "Prefix", TTextKey{&OutName.Prefix, ""}},
      {"OutName", "Postfix", TTextKey{&OutName.Postfix, ""}},
      {"OutName", "Separator", TSeparatorKey{&OutName.Separator, "_"}},
      {"OutName", "IncludeName", TFlagKey{&OutName.IncludeName, false}},
      {"OutName", "IncludeDate", TFlagKey{&OutName.IncludeDate, false}},
      {"OutName", "SIndex", TNumberKey{&OutName.SIndex, 0}},
      {"Options", "IsProxy", TFlagKey{&cvOptions.IsProxy, false}},
      {"Options", "ProxyAdress", TTextKey{&cvOptions.ProxyAdress, ""}},
      {"Options", "ProxyPort", TNumberKey{&cvOptions.ProxyPort, 0}},
      {"Options", "ProxyUser", TTextKey{&cvOptions.ProxyUser, ""}},
      {"Options", "ProxyPassword", TTextKey{&cvOptions.ProxyPassword, ""}},
      {"Options", "AutoPaste", TFlagKey{&cvOptions.AutoPaste, false}},
      {"Options", "DeleteVideo", TFlagKey{&cvOptions.DeleteVideo, false}},
      {"Options", "CodecIndex", TNumberKey{&codecIndex, 0}},
      // Links of other sites (the external extractor).
      {"YtDlp", "Program", TTextKey{&cvOptions.YtDlpProgram, ""}},
      {"YtDlp", "CookiesFromBrowser", TTextKey{&cvOptions.YtDlpCookiesBrowser, ""}},
      {"YtDlp", "AutoPasteOtherSites", TFlagKey{&cvOptions.AutoPasteOtherSites, false}},
      {"Window", "Left", TNumberKey{&WindowPlace.Left, 0}},
      {"Window", "Top", TNumberKey{&WindowPlace.Top, 0}},
      {"Window", "Width", TNumberKey{&WindowPlace.Width, 0}},
      {"Window", "Height", TNumberKey{&WindowPlace.Height, 0}},
      {"Window", "Maximized", TFlagKey{&WindowPlace.Maximized, false}},
      {"Window", "Columns", TTextKey{&WindowPlace.Columns, ""}},
  };
}

void ReadKey(const platform::IniFile& ini, const TSettingKey& key) {
  std::visit(
      [&](const auto& k) {
        using T = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<T, TTextKey>)
          *k.Value = ini.ReadString(key.Section, key.Key,
                                    k.Default ? k.Default : platform::DefaultOutputFolder());
        else if constexpr (std::is_same_v<T, TFlagKey>)
          *k.Value = ini.ReadBool(key.Section, key.Key, k.Default);
        else if constexpr (std::is_same_v<T, TNumberKey>)
          *k.Value = ini.ReadInteger(key.Section, key.Key, k.Default);
        else
          *k.Value = SeparatorFromText(ini.ReadString(key.Section, key.Key, k.Default));
      },
      key.Value);
}

void WriteKey(platform::IniFile& ini, const TSettingKey& key) {
  std::visit(
      [&](const auto& k) {
        using T = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<T, TTextKey>)
          ini.WriteString(key.Section, key.Key, *k.Value);
        else if constexpr (std::is_same_v<T, TFlagKey>)
          ini.WriteBool(key.Section, key.Key, *k.Value);
        else if constexpr (std::is_same_v<T, TNumberKey>)
          ini.WriteInteger(key.Section, key.Key, *k.Value);
        else
          ini.WriteString(key.Section, key.Key,
                          *k.Value ? std::string(1, *k.Value) : std::string());
      },
      key.Value);
}

}  // namespace

std::string SettingsPath() {
  return platform::UserFilesFolder() + "settings.ini";
}

char SeparatorFromText(const std::string& text) {
  // A lone byte of a multi-byte character would break every name made with it.
  if (text.empty() || static_cast<unsigned char>(text[0]) >= 0x80 || text[0] == '\0') return '_';
  return text[0];
}

TLoadedSettings LoadSettingsFile(const std::string& path) {
  TLoadedSettings result;
  try {
    platform::IniFile ini(path);
    for (const TSettingKey& key : SettingKeys(result.CodecIndex)) ReadKey(ini, key);

    // Beside the program the folder is made one level deep; the per-user default
    // may sit in a download folder a new account lacks, so there its parents too.
    bool ready = platform::DirectoryExists(OutputFolder) || platform::CreateDir(OutputFolder) ||
                 (!platform::ExeFolderWritable() && platform::ForceDirectories(OutputFolder));
    if (!ready) {
      int err = errno;
      throw std::runtime_error("Unable to create directory " + OutputFolder + ": " +
                               std::strerror(err));
    }
    result.FolderReady = true;
  } catch (const std::exception& e) {
    LogError(e);
  }
  return result;
}

bool SaveSettingsFile(int32_t codecIndex, const std::string& path) {
  try {
    platform::IniFile ini(path);
    ini.SetFileMode(0600);  // it holds the proxy password
    for (const TSettingKey& key : SettingKeys(codecIndex)) WriteKey(ini, key);
    ini.Save();
    return true;
  } catch (const std::exception& e) {
    LogError(e);
    return false;
  }
}

}  // namespace settings
