// Data requests of a worker, cut to the item's chunk limit where it has one.
#include <algorithm>

#include "download/clMultiDC.h"
#include "download/clMultiDCAttempt.h"

using namespace wininet;

void TclDownLoadThreader::DataRequest(TAttempt& a) {
  requestEnd_ = -1;
  if (ChunkLimit > 0 && spanKnown_) {
    const int64_t end = SpanEnd();
    requestEnd_ = std::min(end, startPosition_ + ChunkLimit);
  }
  auto request =
      std::make_unique<TclHttpOpenRequestAction>(a.connection, a.Root(), a.connect->Handle(), "GET",
                                                 parser_.RequestObject(), RequestFlags(false));
  request->Fire(TimeOut);
  if (Terminated()) return;
  AddHeaders(*request);
  AddRangeHeader(*request);
  SendRequest(*request);
  if (Terminated()) return;
  if (DoNotGetResourceInfo) {
    ReadResponseInfo(*request);
    if (OnGetResourceInfo) Synchronize([&] { OnGetResourceInfo(this, ownInfo_.get()); });
  }
  CheckDataResponse(*request);
  ReadLoop(*request);
}

int64_t TclDownLoadThreader::RequestLeft(size_t pending) const {
  if (requestEnd_ < 0) return -1;
  return std::max<int64_t>(0, requestEnd_ - startPosition_ - static_cast<int64_t>(pending));
}
