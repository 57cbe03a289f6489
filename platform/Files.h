#pragma once
#include <cstdint>
#include <string>

namespace platform {

bool FileExists(const std::string& path);  // a regular file (or anything but a folder)
bool DirectoryExists(const std::string& path);
bool CanOpenForReading(const std::string& path);  // it opens with the caller's rights
bool DeleteFile(const std::string& path);         // false when it could not be removed
// Creates one folder; its parent must exist. True when it exists afterwards.
bool CreateDir(const std::string& path);
// Creates the folder and every missing parent.
bool ForceDirectories(const std::string& path);
// -1 when the file does not exist.
int64_t FileSize(const std::string& path);
// Whole file into a string; false when it cannot be read.
bool ReadFile(const std::string& path, std::string& out);
// Creates or truncates the file and writes data; false on failure.
bool WriteFile(const std::string& path, const std::string& data);

// Path helpers on "/"-separated paths.
std::string ExtractFilePath(const std::string& path);  // folder part, ending in "/" (or empty)
std::string ExtractFileName(const std::string& path);  // part after the last "/"
std::string ExtractFileExt(const std::string& path);   // from the last "." of the name, or empty
std::string LowerFileExt(const std::string& path);     // the same in ASCII lower case
std::string IncludeTrailingSlash(const std::string& path);

}  // namespace platform
