#define PCRE2_CODE_UNIT_WIDTH 8
#include "platform/RegExpr.h"

#include <pcre2.h>

#include <cstring>

namespace platform {

struct TRegExpr::Impl {
  pcre2_code* code = nullptr;
  pcre2_match_data* data = nullptr;
  pcre2_match_context* context = nullptr;
  bool jit = false;

  ~Impl() { Free(); }
  void Free() {
    if (data) pcre2_match_data_free(data);
    if (code) pcre2_code_free(code);
    data = nullptr;
    code = nullptr;
  }
};

TRegExpr::TRegExpr() : impl_(std::make_unique<Impl>()), flags_(PCRE2_DOTALL) {
  impl_->context = pcre2_match_context_create(nullptr);
  SetLimits(5'000'000, 5'000, 64 * 1024);
}

TRegExpr::~TRegExpr() {
  if (impl_->context) pcre2_match_context_free(impl_->context);
}

static void SetFlag(uint32_t& flags, uint32_t flag, bool on) {
  flags = on ? (flags | flag) : (flags & ~flag);
}

void TRegExpr::SetModifierI(bool on) { SetFlag(flags_, PCRE2_CASELESS, on), dirty_ = true; }
void TRegExpr::SetModifierS(bool on) { SetFlag(flags_, PCRE2_DOTALL, on), dirty_ = true; }
void TRegExpr::SetModifierG(bool on) { SetFlag(flags_, PCRE2_UNGREEDY, !on), dirty_ = true; }
void TRegExpr::SetModifierM(bool on) { SetFlag(flags_, PCRE2_MULTILINE, on), dirty_ = true; }
void TRegExpr::SetModifierX(bool on) { SetFlag(flags_, PCRE2_EXTENDED, on), dirty_ = true; }

void TRegExpr::SetExpression(const std::string& pattern) {
  pattern_ = pattern;
  dirty_ = true;
}

void TRegExpr::SetLimits(uint32_t matchLimit, uint32_t depthLimit, size_t heapLimitKiB) {
  pcre2_set_match_limit(impl_->context, matchLimit);
  pcre2_set_depth_limit(impl_->context, depthLimit);
  pcre2_set_heap_limit(impl_->context, static_cast<uint32_t>(heapLimitKiB));
}

void TRegExpr::Compile() {
  if (!dirty_ && impl_->code) return;
  impl_->Free();
  int error = 0;
  PCRE2_SIZE offset = 0;
  impl_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern_.data()), pattern_.size(),
                              flags_, &error, &offset, nullptr);
  if (!impl_->code) {
    PCRE2_UCHAR msg[256];
    pcre2_get_error_message(error, msg, sizeof msg);
    throw ERegExpr("Regular expression error at " + std::to_string(offset) + ": " +
                   reinterpret_cast<const char*>(msg));
  }
  impl_->jit = pcre2_jit_compile(impl_->code, PCRE2_JIT_COMPLETE) == 0;
  impl_->data = pcre2_match_data_create_from_pattern(impl_->code, nullptr);
  dirty_ = false;
}

bool TRegExpr::Exec(const std::string& subject) {
  // The engine sees the text only up to its first zero byte.
  subject_.assign(subject.c_str(), ::strnlen(subject.data(), subject.size()));
  return Search(0);
}

bool TRegExpr::ExecNext() {
  if (!matched_) return false;
  size_t start = ovector_[0], end = ovector_[1];
  return Search(end == start ? end + 1 : end);
}

bool TRegExpr::ExecPos(size_t offset) { return Search(offset); }

bool TRegExpr::Search(size_t offset) {
  Compile();
  matched_ = false;
  if (offset > subject_.size()) return false;
  int rc = pcre2_match(impl_->code, reinterpret_cast<PCRE2_SPTR>(subject_.data()), subject_.size(),
                       offset, 0, impl_->data, impl_->context);
  if (rc <= 0) return false;  // no match, or a limit was hit: both read as "no match"
  uint32_t pairs = pcre2_get_ovector_count(impl_->data);
  PCRE2_SIZE* ov = pcre2_get_ovector_pointer(impl_->data);
  ovector_.assign(ov, ov + 2 * pairs);
  matched_ = true;
  return true;
}

std::string TRegExpr::Match(int n) const {
  size_t pos = MatchPos(n);
  if (pos == std::string::npos) return {};
  return subject_.substr(pos, MatchLen(n));
}

size_t TRegExpr::MatchPos(int n) const {
  if (!matched_ || n < 0 || static_cast<size_t>(2 * n + 1) >= ovector_.size()) return std::string::npos;
  if (ovector_[2 * n] == PCRE2_UNSET) return std::string::npos;
  return ovector_[2 * n];
}

size_t TRegExpr::MatchLen(int n) const {
  size_t pos = MatchPos(n);
  return pos == std::string::npos ? 0 : ovector_[2 * n + 1] - pos;
}

int TRegExpr::SubExprMatchCount() const {
  if (!impl_->code) return 0;
  uint32_t count = 0;
  pcre2_pattern_info(impl_->code, PCRE2_INFO_CAPTURECOUNT, &count);
  return static_cast<int>(count);
}

}  // namespace platform
