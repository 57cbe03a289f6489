#pragma once
#include <string>
#include <vector>

namespace platform {

// Splits a command line the way the Windows C runtime builds argv, so command
// lines written in that dialect keep their meaning; no shell is involved.
//  - the first word (program) ends at the next blank outside quotes; quotes
//    only group there and backslashes are plain characters;
//  - later words: blanks/TABs separate words outside quotes; a quote toggles
//    quoting; "" inside quotes is one literal quote; 2n backslashes before a
//    quote give n backslashes (the quote still toggles), 2n+1 give n and a
//    literal quote; other backslashes are literal.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Inverse of the rule above for one word (not the program word): quotes the
// word when needed so that SplitCommandLine gives it back unchanged.
std::string QuoteArgument(const std::string& arg);

}  // namespace platform
