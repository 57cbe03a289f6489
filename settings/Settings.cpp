#include "settings/Settings.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "log/LogWriter.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/UserFolders.h"

std::string OutputFolder;
TOutName OutName;
TcvOptions cvOptions;

namespace settings {

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
    OutputFolder = ini.ReadString("General", "Folder", platform::DefaultOutputFolder());
    OutName.Prefix = ini.ReadString("OutName", "Prefix", "");
    OutName.Postfix = ini.ReadString("OutName", "Postfix", "");
    OutName.Separator = SeparatorFromText(ini.ReadString("OutName", "Separator", "_"));
    OutName.IncludeName = ini.ReadBool("OutName", "IncludeName", false);
    OutName.IncludeDate = ini.ReadBool("OutName", "IncludeDate", false);
    OutName.SIndex = ini.ReadInteger("OutName", "SIndex", 0);
    cvOptions.IsProxy = ini.ReadBool("Options", "IsProxy", false);
    cvOptions.AutoPaste = ini.ReadBool("Options", "AutoPaste", false);
    cvOptions.ProxyAdress = ini.ReadString("Options", "ProxyAdress", "");
    cvOptions.ProxyPort = ini.ReadInteger("Options", "ProxyPort", 0);
    cvOptions.ProxyUser = ini.ReadString("Options", "ProxyUser", "");
    cvOptions.ProxyPassword = ini.ReadString("Options", "ProxyPassword", "");
    cvOptions.DeleteVideo = ini.ReadBool("Options", "DeleteVideo", false);
    result.CodecIndex = ini.ReadInteger("Options", "Codecindex", 0);

    // Beside the program the folder is made one level deep, as it always was; the
    // per-user default may sit in a download folder a new account lacks.
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
    ini.WriteString("General", "Folder", OutputFolder);
    ini.WriteString("OutName", "Prefix", OutName.Prefix);
    ini.WriteString("OutName", "Postfix", OutName.Postfix);
    ini.WriteString("OutName", "Separator",
                    OutName.Separator ? std::string(1, OutName.Separator) : std::string());
    ini.WriteBool("OutName", "IncludeName", OutName.IncludeName);
    ini.WriteBool("OutName", "IncludeDate", OutName.IncludeDate);
    ini.WriteInteger("OutName", "SIndex", OutName.SIndex);
    ini.WriteBool("Options", "IsProxy", cvOptions.IsProxy);
    ini.WriteString("Options", "ProxyAdress", cvOptions.ProxyAdress);
    ini.WriteInteger("Options", "ProxyPort", cvOptions.ProxyPort);
    ini.WriteString("Options", "ProxyUser", cvOptions.ProxyUser);
    ini.WriteString("Options", "ProxyPassword", cvOptions.ProxyPassword);
    ini.WriteBool("Options", "AutoPaste", cvOptions.AutoPaste);
    ini.WriteBool("Options", "DeleteVideo", cvOptions.DeleteVideo);
    ini.WriteInteger("Options", "CodecIndex", codecIndex);
    ini.Save();
    return true;
  } catch (const std::exception& e) {
    LogError(e);
    return false;
  }
}

}  // namespace settings
