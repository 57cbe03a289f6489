#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Header lines of the handle layer ("Name: value"; a response's first line is its
// status line). Pure text work, shared by the driver and the query call.
namespace wininet::detail {

// The value of the n-th header called name (case-insensitive), blanks trimmed.
std::optional<std::string> FindHeader(const std::vector<std::string>& lines,
                                      const std::string& name, uint32_t occurrence = 0);
// The name part of a header line, blanks trimmed (the whole line without a colon).
std::string HeaderName(const std::string& line);
// A non-negative decimal length of at most 18 digits, nothing else.
std::optional<int64_t> ParseLength(const std::optional<std::string>& text);

}  // namespace wininet::detail
