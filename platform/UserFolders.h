#pragma once
#include <string>

// Where the program keeps the files it writes. A program folder the user can
// write to (the self-contained install, the demo) holds them all, beside the
// executable. An installed program's folder belongs to root, so then they go to
// the user's own XDG folders instead. Every path here is decided afresh on each
// call: tests point ExeFolder() elsewhere between calls.

namespace platform {

// True when the files go beside the executable: its folder is writable and is
// not under /usr (read-only by convention even for root, so a root session of
// the packaged program does not write into the package's folders).
bool ExeFolderWritable();

// $XDG_CONFIG_HOME/vantorel/, or $HOME/.config/vantorel/ when the variable is
// unset or not absolute. Ends in "/"; not created.
std::string UserConfigFolder();

// Folder of settings.ini, Log.txt and the job journal: ExeFolder() when it is
// writable, else UserConfigFolder(), created (with its parents) on the way.
std::string UserFilesFolder();

// The job journal's file, in UserFilesFolder().
std::string JournalPath();

// The log of a window that does not own UserFilesFolder() (another window has
// it): $XDG_RUNTIME_DIR/vantorel-<pid>.log, or /tmp/vantorel-<uid>-<pid>.log
// without a usable runtime folder.
std::string PrivateLogPath();

// The user's download folder as the desktop names it (XDG_DOWNLOAD_DIR in
// user-dirs.dirs), else $HOME/Downloads. No trailing "/".
std::string UserDownloadFolder();

// Output folder used when settings.ini names none: ExeFolder() + "Temp", or
// UserDownloadFolder() + "/Vantorel" when the program folder is read-only.
std::string DefaultOutputFolder();

// presets.ini to read. Writable program folder: the one beside the executable.
// Read-only: the user's own copy in UserConfigFolder() when there is one, else the
// one beside the executable, else the package's data folder (<prefix>/share/
// vantorel/ for a program in <prefix>/lib/vantorel/).
std::string PresetsFile();

}  // namespace platform
