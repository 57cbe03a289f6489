#pragma once
// The handles of one attempt of a worker, shared by the worker's source files.
#include <memory>

#include "download/clConnection.h"
#include "download/clMultiDC.h"

struct TclDownLoadThreader::TAttempt {
  std::shared_ptr<TclInternetConnection> connection;
  std::unique_ptr<TclInternetOpenAction> open;
  std::unique_ptr<TclConnectAction> connect;
  wininet::HINTERNET Root() const { return open ? open->RootHandle() : nullptr; }
};
