#pragma once
#include <string>

namespace platform {

// Folder of the running executable, ending in "/". The encoder adapter lives
// there, and so do settings, presets and the log when the folder is writable
// (see UserFolders.h).
std::string ExeFolder();

// Tests run many windows from one test binary; each points the program at its
// own sandbox folder. Empty text restores the real folder. readOnly makes the
// folder count as not writable, as an installed program's folder is (a test
// running as root could write anywhere).
void SetExeFolderOverride(const std::string& folder, bool readOnly = false);

// True while an override with readOnly is in force.
bool ExeFolderForcedReadOnly();

}  // namespace platform
