#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Outcome of a worker, a segment or a whole item.
enum TclProcessStatus { psUnknown, psSuccess, psFailed, psErrors, psProcess, psTerminated };

enum TclFileExistsAction { faReplace, faRename, faSkip, faStop };

enum TclProcessPriority { ppLower, ppNormal, ppHigher };

// Certificate problems an https request may be told to ignore (bit set).
enum TclCertificateFlag : unsigned {
  cfIgnoreCommonNameInvalid = 1,
  cfIgnoreDateInvalid = 2,
  cfIgnoreUnknownAuthority = 4,
  cfIgnoreRevocation = 8,
  cfIgnoreWrongUsage = 16,
};
using TclCertificateFlags = unsigned;

// What the server reported about a resource. Sizes are 64-bit.
class TclResourceInfo {
 public:
  using TDate = std::chrono::system_clock::time_point;

  int64_t Size = 0;  // 0 = unknown
  std::string Name;  // the URL path
  TDate Date = std::chrono::system_clock::now();
  std::string ContentType;
  int StatusCode = 0;
  bool AllowsRandomAccess = false;
  std::string ContentDisposition;
  bool Compressed = false;
  // Validators of the version that was probed; later responses must carry the same.
  std::string ETag;
  std::string LastModified;

  bool CanSplit() const { return Size > 0 && AllowsRandomAccess; }
  // Copies every field; AllowsRandomAccess becomes the can-be-split value.
  void Assign(const TclResourceInfo& source);
};

class TclResourceStateList;

// One segment of a resource: [ResourcePos, ResourcePos + ResourceSize).
class TclResourceStateItem {
 public:
  explicit TclResourceStateItem(TclResourceStateList* owner) : owner_(owner) {}

  TclResourceStateList* ResourceState() const { return owner_; }
  int64_t ResourcePos() const { return resourcePos_; }
  void SetResourcePos(int64_t value);    // negative ignored
  int64_t ResourceSize() const { return resourceSize_; }  // 0 = unknown
  void SetResourceSize(int64_t value);   // negative ignored
  TclProcessStatus Status() const { return status_; }
  void SetStatus(TclProcessStatus value) { status_ = value; }
  int64_t BytesProceed() const { return bytesProceed_; }
  // Recomputes the list's speed and notifies its change hook.
  void SetBytesProceed(int64_t value);

 private:
  TclResourceStateList* owner_;
  int64_t resourcePos_ = 0;
  int64_t resourceSize_ = 0;
  TclProcessStatus status_ = psUnknown;
  int64_t bytesProceed_ = 0;
};

// The segments of one item with the totals, speed and elapsed time.
class TclResourceStateList {
 public:
  using TClock = std::chrono::steady_clock;

  TclResourceStateList() = default;
  TclResourceStateList(const TclResourceStateList&) = delete;
  TclResourceStateList& operator=(const TclResourceStateList&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  TclResourceStateItem* Items(int index) const { return items_.at(index).get(); }
  TclResourceStateItem* Add();
  void Clear();

  int64_t ResourceSize() const { return resourceSize_; }
  void SetResourceSize(int64_t value) { resourceSize_ = value < 0 ? 0 : value; }
  TclProcessStatus LastStatus() const { return lastStatus_; }
  void SetLastStatus(TclProcessStatus value) { lastStatus_ = value; }
  int64_t BytesProceed() const;
  double Speed() const { return speed_; }              // bytes per second
  double ElapsedTime() const { return elapsedTime_; }  // seconds

  // Every status to psUnknown, speed and time to 0, the counter restarted; the
  // segments and their byte counts stay.
  void Reset();
  // First of psProcess, psTerminated, psFailed, psErrors, psSuccess among the
  // segments; LastStatus stands in for an undecided or successful result.
  TclProcessStatus OverallStatus() const;

  std::function<void()> OnChanged;

  // Splits [0, size) into count segments; the last takes the remainder.
  static std::vector<std::pair<int64_t, int64_t>> Split(int64_t size, int count);

 private:
  friend class TclResourceStateItem;
  void UpdateProgress();

  std::vector<std::unique_ptr<TclResourceStateItem>> items_;
  int64_t resourceSize_ = 0;
  TclProcessStatus lastStatus_ = psUnknown;
  TClock::time_point start_ = TClock::now();
  TClock::time_point last_ = start_;
  double speed_ = 0;
  double elapsedTime_ = 0;
  int64_t resetBytes_ = 0;
};

// Errors recorded by an item: message and code, in order.
struct TclErrorEntry {
  std::string Error;
  int ErrorCode = 0;
};
using TclErrorList = std::vector<TclErrorEntry>;

// The plain file name of a Content-Disposition "filename=" parameter: quotes
// removed, folders and "." / ".." dropped, so it can never leave the target folder.
std::string ExtractFileNameFromDisposition(const std::string& disposition);
