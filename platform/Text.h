#pragma once
#include <string>

// Byte-wise text helpers for protocol and file-format text. ASCII only on
// purpose: the process locale (set by the GUI toolkit) must not change how a
// header name or an INI key compares.
namespace platform {

std::string AsciiLower(std::string text);
std::string AsciiUpper(std::string text);
// Drops leading and trailing bytes up to and including the blank (controls too).
std::string TrimBlanks(const std::string& text);
bool IEqualsAscii(const std::string& a, const std::string& b);

}  // namespace platform
