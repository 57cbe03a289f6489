#pragma once
#include <string>

namespace platform {

// Folder of the running executable, ending in "/". Settings, presets, the log
// and the encoder adapter all live there.
std::string ExeFolder();

// Tests run many windows from one test binary; each points the program at its
// own sandbox folder. Empty text restores the real folder.
void SetExeFolderOverride(const std::string& folder);

}  // namespace platform
