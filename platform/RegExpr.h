#pragma once
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

class ERegExpr : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Backtracking regular-expression engine (PCRE2, 8-bit, no UTF) with the
// modifiers the page parser and the encoder runner rely on. A new object has
// i off, s on (dot matches line breaks), g on (greedy), m off, x off.
// The subject ends at its first zero byte. Searches that exceed the engine's
// match, depth or heap limits count as "no match", so a hostile page cannot
// hang or crash the caller.
class TRegExpr {
 public:
  TRegExpr();
  ~TRegExpr();
  TRegExpr(const TRegExpr&) = delete;
  TRegExpr& operator=(const TRegExpr&) = delete;

  void SetModifierI(bool on);
  void SetModifierS(bool on);
  void SetModifierG(bool on);
  void SetModifierM(bool on);
  void SetModifierX(bool on);

  // The pattern is compiled on the next search; a bad pattern raises ERegExpr there.
  void SetExpression(const std::string& pattern);
  const std::string& Expression() const { return pattern_; }

  // Leftmost match from the start of subject.
  bool Exec(const std::string& subject);
  // Next match after the last one (one position further when it was empty).
  bool ExecNext();
  // Leftmost match at or after offset (0-based) in the last subject.
  bool ExecPos(size_t offset);

  // Group n of the last match; empty when the group took no part.
  std::string Match(int n) const;
  // 0-based position and length of group n; npos/0 when it took no part.
  size_t MatchPos(int n) const;
  size_t MatchLen(int n) const;
  // Number of groups in the pattern (group 0 not counted).
  int SubExprMatchCount() const;

  // Limits applied to every search (defaults suit pages of a few megabytes).
  void SetLimits(uint32_t matchLimit, uint32_t depthLimit, size_t heapLimitKiB);

 private:
  void Compile();
  bool Search(size_t offset);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string pattern_;
  std::string subject_;
  bool dirty_ = true;
  uint32_t flags_;
  std::vector<size_t> ovector_;
  bool matched_ = false;
};

}  // namespace platform
