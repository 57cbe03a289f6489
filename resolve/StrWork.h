#pragma once
#include <string>
#include <vector>

// Text helpers of the page parser. The patterns run case-insensitively with the
// engine's other defaults (dot matches line breaks, greedy unless written lazy).

// Appends the text of every match of pattern in subject to list (not cleared
// first); true when there was at least one. A bad pattern raises platform::ERegExpr.
bool MatchAll(const std::string& subject, const std::string& pattern,
              std::vector<std::string>& list);

// Every match followed by CR LF; empty when nothing matches or anything fails.
std::string MatchAllText(const std::string& subject, const std::string& pattern);

// The text between the first startMarker and the following stopMarker, with the
// old 1-based quirks kept: a missing stop marker drops the last character of the
// rest, a missing start marker drops the first (marker length - 1) characters.
std::string TextBetween(const std::string& text, const std::string& startMarker,
                        const std::string& stopMarker);

namespace resolve {

// Whitespace trim of the old runtime: every byte up to and including the blank.
std::string TrimControl(const std::string& text);

// ASCII upper case (this platform folds case in ASCII only).
std::string UpperAscii(std::string text);

}  // namespace resolve
