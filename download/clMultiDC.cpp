#include "download/clMultiDC.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <thread>

#include "download/clHttpRange.h"
#include "download/clMultiDCAttempt.h"
#include "platform/CallQueue.h"
#include "platform/Text.h"

using namespace wininet;

// --- TclDownLoadThreader ---

namespace {

// A text header of the response, or nullopt when absent.
bool QueryText(HINTERNET request, DWORD level, std::string& out, DWORD capacity = 1024) {
  std::string buffer(capacity, '\0');
  DWORD length = capacity;
  if (!HttpQueryInfo(request, level, buffer.data(), &length)) return false;
  buffer.resize(std::min(length, capacity));
  out = buffer;
  return true;
}

bool QueryCustom(HINTERNET request, const std::string& name, std::string& out) {
  std::string buffer(1024, '\0');
  std::memcpy(buffer.data(), name.c_str(), name.size() + 1);
  DWORD length = static_cast<DWORD>(buffer.size());
  if (!HttpQueryInfo(request, HTTP_QUERY_CUSTOM, buffer.data(), &length)) return false;
  buffer.resize(std::min<DWORD>(length, 1024));
  out = buffer;
  return true;
}

bool QueryNumber64(HINTERNET request, DWORD level, int64_t& out) {
  int64_t value = 0;
  DWORD length = sizeof value;
  if (!HttpQueryInfo(request, level | HTTP_QUERY_FLAG_NUMBER64, &value, &length)) return false;
  out = value;
  return true;
}

}  // namespace


std::shared_ptr<TclDownLoadThreader> TclDownLoadThreader::Create(
    const std::string& url, bool isGetResourceInfo, std::shared_ptr<TclStream> dataStream,
    std::shared_ptr<platform::CallQueue> owner) {
  return std::shared_ptr<TclDownLoadThreader>(
      new TclDownLoadThreader(url, isGetResourceInfo, std::move(dataStream), std::move(owner)));
}

TclDownLoadThreader::TclDownLoadThreader(const std::string& url, bool isGetResourceInfo,
                                         std::shared_ptr<TclStream> dataStream,
                                         std::shared_ptr<platform::CallQueue> owner)
    : TclCustomThreader(std::move(owner)),
      url_(url),
      isGetResourceInfo_(isGetResourceInfo),
      dataStream_(std::move(dataStream)) {
  SetPostDepth(kReportDepth);
}

void TclDownLoadThreader::SetRange(int64_t startPosition, int64_t remainingLength) {
  startPosition_ = spanStart_ = startPosition;
  remainingLength_ = remainingLength;
  spanKnown_ = remainingLength >= 0;
}

void TclDownLoadThreader::SetResourceInfo(const TclResourceInfo& info) {
  sharedInfo_ = std::make_unique<TclResourceInfo>(info);
}

void TclDownLoadThreader::SetUrlParser(const TclUrlParser& parser) {
  parser_ = parser;
  parser_.OnParse = nullptr;
}

TclResourceInfo& TclDownLoadThreader::OwnInfo() {
  if (!ownInfo_) {
    ownInfo_ = std::make_unique<TclResourceInfo>();
    ownInfo_->Name = parser_.UrlPath;
  }
  return *ownInfo_;
}

const TclResourceInfo* TclDownLoadThreader::Info() const {
  return sharedInfo_ ? sharedInfo_.get() : ownInfo_.get();
}

DWORD TclDownLoadThreader::RequestFlags(bool allowCacheWrite) const {
  DWORD flags = allowCacheWrite ? 0 : INTERNET_FLAG_NO_CACHE_WRITE;
  if (KeepConnection) flags |= INTERNET_FLAG_KEEP_CONNECTION;
  if (parser_.SchemeType == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  return flags;
}

void TclDownLoadThreader::Execute() {
  responseHeaders_.clear();
  int attemptsLeft = TryCount;
  lastAttemptError_ = 0;
  SetStatus(psProcess);
  try {
    if (parser_.ParsedUrl.empty()) {
      if (OnUrlParsing) {
        parser_.OnParse = [this](URL_COMPONENTS& c) {
          Synchronize([&] { OnUrlParsing(this, c); });
        };
      }
      std::string parsed = parser_.Parse(url_);
      parser_.OnParse = nullptr;
      if (parsed.empty()) throw EclInternetError::CreateByLastError();
      url_ = parsed;
    }
    for (;;) {
      try {
        DoAttempt();
        if (Terminated()) {
          SetStatus(psTerminated);
        } else {
          SetStatus(errorRecorded_ ? psErrors : psSuccess);
        }
        return;
      } catch (const EclInternetError& e) {
        // A stop that cancelled a call is a stop, not a failure.
        if (Terminated()) {
          SetStatus(psTerminated);
          return;
        }
        // A refused address is not tried again: a new one is the owner's to give.
        if (AddressExpired()) throw;
        lastAttemptError_ = e.ErrorCode();
        // Another worker took over what was left of the span: nothing to try again.
        if (!isGetResourceInfo_ && !rangeIgnored_ && !resourceChanged_ && SpanLeft() == 0) {
          SetStatus(errorRecorded_ ? psErrors : psSuccess);
          return;
        }
        if (attemptsLeft < 2 || rangeIgnored_ || resourceChanged_ ||
            !RetryCanHelp(static_cast<DWORD>(e.ErrorCode())))
          throw;
        stopEvent_.Wait(std::chrono::milliseconds(ReconnectAfter));
        --attemptsLeft;
        if (Terminated()) {
          SetStatus(psTerminated);
          return;
        }
      }
    }
  } catch (const EclInternetError& e) {
    if (Terminated()) {
      SetStatus(psTerminated);
      return;
    }
    // The item replans a range that was ignored, and asks for a new address
    // for one that expired; neither is an error of the resource.
    if (!rangeIgnored_ && !AddressExpired()) RecordError(e.what(), "", e.ErrorCode());
    SetStatus(psFailed);
  } catch (const platform::CallQueueClosed&) {
    throw;  // the owner is gone: end quietly
  } catch (const std::exception& e) {
    RecordError(e.what(), "", 0);
    SetStatus(psFailed);
  }
}

void TclDownLoadThreader::DoAttempt() {
  TAttempt a;
  a.connection = Connection;
  if (!a.connection) {
    if (!ownConnection_)
      ownConnection_ = TclInternetConnection::Create(platform::CallQueue::Current());
    a.connection = ownConnection_;
  }
  SetCancelTarget(a.connection);
  {
    std::lock_guard lock(attemptLock_);
    attemptConnection_ = a.connection;
  }
  struct TRelease {
    TAttempt& a;
    ~TRelease() {
      a.connect.reset();
      a.open.reset();
    }
  } release{a};

  std::string proxy = GetProxyString(parser_.SchemeType, HttpProxySettings, FtpProxySettings);
  a.open = std::make_unique<TclInternetOpenAction>(
      a.connection, InternetAgent,
      proxy.empty() ? INTERNET_OPEN_TYPE_PRECONFIG : INTERNET_OPEN_TYPE_PROXY, proxy, ProxyBypass);
  a.open->Fire(-1);
  if (Terminated()) return;

  bool ftp = parser_.SchemeType == INTERNET_SCHEME_FTP;
  a.connect = std::make_unique<TclConnectAction>(
      a.connection, a.Root(), parser_.Host, parser_.Port, ftp ? parser_.UserName : "",
      ftp ? parser_.Password : "", ftp ? INTERNET_SERVICE_FTP : INTERNET_SERVICE_HTTP,
      ftp && PassiveFTPMode ? INTERNET_FLAG_PASSIVE : 0);
  a.connect->Fire(TimeOut);
  if (Terminated()) return;

  if (parser_.SchemeType == INTERNET_SCHEME_HTTP || parser_.SchemeType == INTERNET_SCHEME_HTTPS) {
    HttpTransfer(a);
  } else {
    throw EclInternetError(GetInternetErrorText(ERROR_INTERNET_UNRECOGNIZED_SCHEME),
                           static_cast<int>(ERROR_INTERNET_UNRECOGNIZED_SCHEME));
  }
}

void TclDownLoadThreader::HttpTransfer(TAttempt& a) {
  RequestHeaders.erase(std::remove_if(RequestHeaders.begin(), RequestHeaders.end(),
                                      [](const std::string& line) {
                                        return platform::AsciiLower(line).find("content-") !=
                                               std::string::npos;
                                      }),
                       RequestHeaders.end());
  GetResourceInfo(a);
  if (isGetResourceInfo_ || SpanLeft() == 0 || Terminated()) return;
  do {
    DataRequest(a);
  } while (requestEnd_ >= 0 && !Terminated() && SpanLeft() > 0);
}

void TclDownLoadThreader::GetResourceInfo(TAttempt& a) {
  if (Terminated()) return;
  ownInfo_.reset();
  if (DoNotGetResourceInfo) {
    OwnInfo();
    return;
  }
  {
    TclHttpOpenRequestAction head(a.connection, a.Root(), a.connect->Handle(), "HEAD",
                                  parser_.RequestObject(), RequestFlags(false));
    head.Fire(TimeOut);
    AddHeaders(head);
    SendRequest(head);
    // A data worker only checks that the server still answers.
    if (sharedInfo_) return;

    HINTERNET h = head.Handle();
    int64_t size = 0;
    if (QueryNumber64(h, HTTP_QUERY_CONTENT_LENGTH, size)) OwnInfo().Size = size;
    if (!Terminated()) {
      SYSTEMTIME st;
      DWORD length = sizeof st;
      if (HttpQueryInfo(h, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &st, &length)) {
        std::tm tm{};
        tm.tm_year = st.wYear - 1900;
        tm.tm_mon = st.wMonth - 1;
        tm.tm_mday = st.wDay;
        tm.tm_hour = st.wHour;
        tm.tm_min = st.wMinute;
        tm.tm_sec = st.wSecond;
        time_t t = timegm(&tm);
        if (t > 0) OwnInfo().Date = std::chrono::system_clock::from_time_t(t);
        QueryText(h, HTTP_QUERY_LAST_MODIFIED, OwnInfo().LastModified);
      } else {
        OwnInfo().Size = 0;  // no validator: never split
      }
    }
    if (!Terminated()) {
      std::string type;
      if (QueryText(h, HTTP_QUERY_CONTENT_TYPE, type)) {
        OwnInfo().ContentType = type;
      } else {
        OwnInfo().Size = 0;
      }
      std::string etag;
      if (QueryCustom(h, "ETag", etag)) OwnInfo().ETag = etag;
    }
  }
  if (Terminated()) return;
  {
    TclHttpOpenRequestAction get(a.connection, a.Root(), a.connect->Handle(), "GET",
                                 parser_.RequestObject(), RequestFlags(true));
    get.Fire(TimeOut);
    AddHeaders(get);
    SendRequest(get);
    HINTERNET h = get.Handle();
    if (!Terminated()) {
      std::string disposition;
      if (QueryText(h, HTTP_QUERY_CONTENT_DISPOSITION, disposition))
        OwnInfo().ContentDisposition = disposition;
    }
    if (!Terminated()) {
      std::string encoding;
      if (QueryText(h, HTTP_QUERY_CONTENT_ENCODING, encoding))
        OwnInfo().Compressed = platform::AsciiLower(encoding).find("gzip") != std::string::npos;
      int64_t end = InternetSetFilePointer(h, 0, FILE_END);
      if (end > 0) {
        if (OwnInfo().Size != 0) {
          OwnInfo().AllowsRandomAccess = true;
        } else {
          OwnInfo().Size = end;
        }
      }
    }
  }
  if (!Terminated() && !sharedInfo_ && OnGetResourceInfo)
    Synchronize([&] { OnGetResourceInfo(this, ownInfo_.get()); });
}

void TclDownLoadThreader::ReadResponseInfo(TclHttpOpenRequestAction& request) {
  HINTERNET h = request.Handle();
  auto& info = OwnInfo();
  int64_t size = 0;
  if (QueryNumber64(h, HTTP_QUERY_CONTENT_LENGTH, size)) info.Size = size;
  QueryText(h, HTTP_QUERY_CONTENT_TYPE, info.ContentType);
  QueryText(h, HTTP_QUERY_CONTENT_DISPOSITION, info.ContentDisposition);
  std::string encoding;
  if (QueryText(h, HTTP_QUERY_CONTENT_ENCODING, encoding))
    info.Compressed = platform::AsciiLower(encoding).find("gzip") != std::string::npos;
  info.StatusCode = statusCode_;
}

void TclDownLoadThreader::AddHeaders(TclHttpOpenRequestAction& request) {
  HINTERNET h = request.Handle();
  if (!RequestHeaders.empty()) {
    std::string joined;
    for (size_t i = 0; i < RequestHeaders.size(); ++i) {
      if (i) joined += "\r\n";
      joined += RequestHeaders[i];
    }
    joined = platform::TrimBlanks(joined);
    if (!joined.empty()) HttpAddRequestHeaders(h, joined, HTTP_ADDREQ_FLAG_ADD_IF_NEW);
  }
  if (AllowCompression)
    HttpAddRequestHeaders(h, "Accept-Encoding: gzip, deflate", HTTP_ADDREQ_FLAG_ADD_IF_NEW);
  if (HttpProxySettings.AuthenticationType == atBasic &&
      (!HttpProxySettings.UserName.empty() || !HttpProxySettings.Password.empty())) {
    HttpAddRequestHeaders(
        h,
        "Proxy-Authorization: " +
            GetBasicAuthorization(HttpProxySettings.UserName, HttpProxySettings.Password),
        HTTP_ADDREQ_FLAG_ADD_IF_NEW);
  }
}

void TclDownLoadThreader::AddRangeHeader(TclHttpOpenRequestAction& request) {
  char header[80];
  int64_t from = 0, to = -1;
  {
    std::unique_lock<std::mutex> lock;
    if (DataLock) lock = std::unique_lock(*DataLock);
    from = startPosition_;
    to = spanStart_ + remainingLength_ - 1;
  }
  if (requestEnd_ >= 0) to = std::min(to, requestEnd_ - 1);
  if (spanKnown_) {
    // A span taken over entirely meanwhile still asks for its first byte; the read
    // loop then writes nothing.
    std::snprintf(header, sizeof header, "Range: bytes=%" PRId64 "-%" PRId64, from,
                  std::max(from, to));
  } else if (lastAttemptError_ != static_cast<int>(ERROR_HTTP_INVALID_SERVER_RESPONSE)) {
    std::snprintf(header, sizeof header, "Range: bytes=0-");
  } else {
    return;  // the last answer to a range could not be parsed: ask without one
  }
  HttpAddRequestHeaders(request.Handle(), header, HTTP_ADDREQ_FLAG_ADD_IF_NEW);
}

void TclDownLoadThreader::SendRequest(TclHttpOpenRequestAction& request) {
  for (int send = 1;; ++send) {
    SendWithRetries(request);
    try {
      CheckStatus(request);
      return;
    } catch (const EclInternetError& e) {
      int status = e.ErrorCode();
      if (send >= 4 || (status != 401 && status != 407)) throw;
      HINTERNET h = request.Handle();
      // No platform error dialog here: credentials are handed over directly.
      if (status == 401) {
        if (!parser_.UserName.empty())
          InternetSetOption(h, INTERNET_OPTION_USERNAME, parser_.UserName.data(),
                            static_cast<DWORD>(parser_.UserName.size()));
        if (!parser_.Password.empty())
          InternetSetOption(h, INTERNET_OPTION_PASSWORD, parser_.Password.data(),
                            static_cast<DWORD>(parser_.Password.size()));
      } else {
        if (HttpProxySettings.AuthenticationType == atBasic) throw;
        const auto& user = HttpProxySettings.UserName;
        const auto& password = HttpProxySettings.Password;
        if (!user.empty())
          InternetSetOption(h, INTERNET_OPTION_PROXY_USERNAME, user.data(),
                            static_cast<DWORD>(user.size()));
        if (!password.empty())
          InternetSetOption(h, INTERNET_OPTION_PROXY_PASSWORD, password.data(),
                            static_cast<DWORD>(password.size()));
      }
      if (Terminated()) return;
    }
  }
}

void TclDownLoadThreader::SendWithRetries(TclHttpOpenRequestAction& request) {
  TclHttpSendRequestAction send(request.Connection().shared_from_this(), request.RootHandle(),
                                request.Handle());
  int forced = 0;
  int previous = 0;
  for (;;) {
    try {
      send.Fire(TimeOut);
      return;
    } catch (const EclTimeoutInternetError&) {
      throw;
    } catch (const EclInternetError& e) {
      int code = e.ErrorCode();
      if (code == static_cast<int>(ERROR_INTERNET_FORCE_RETRY)) {
        if (++forced > 9) throw;
        continue;
      }
      if (code == previous || !HandleSendError(request, code)) throw;
      previous = code;
      forced = 0;
    }
  }
}

bool TclDownLoadThreader::HandleSendError(TclHttpOpenRequestAction& request, int code) {
  if (code == static_cast<int>(ERROR_INTERNET_SEC_CERT_DATE_INVALID) ||
      code == static_cast<int>(ERROR_INTERNET_SEC_CERT_CN_INVALID) ||
      code == static_cast<int>(ERROR_INTERNET_INVALID_CA)) {
    if (parser_.SchemeType != INTERNET_SCHEME_HTTPS) return false;
    DWORD flags = 0, length = sizeof flags;
    HINTERNET h = request.Handle();
    if (!InternetQueryOption(h, INTERNET_OPTION_SECURITY_FLAGS, &flags, &length))
      throw EclInternetError::CreateByLastError();
    if (CertificateFlags & cfIgnoreCommonNameInvalid) flags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    if (CertificateFlags & cfIgnoreDateInvalid) flags |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    if (CertificateFlags & cfIgnoreUnknownAuthority) flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    if (CertificateFlags & cfIgnoreRevocation) flags |= SECURITY_FLAG_IGNORE_REVOCATION;
    if (CertificateFlags & cfIgnoreWrongUsage) flags |= SECURITY_FLAG_IGNORE_WRONG_USAGE;
    if (!InternetSetOption(h, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags))
      throw EclInternetError::CreateByLastError();
    return true;
  }
  // Client certificates and the platform's error dialog are not available here.
  return false;
}

void TclDownLoadThreader::CheckStatus(TclHttpOpenRequestAction& request) {
  HINTERNET h = request.Handle();
  responseHeaders_.clear();
  DWORD length = 0;
  if (!HttpQueryInfo(h, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &length) &&
      wininet::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    std::string raw(length, '\0');
    if (HttpQueryInfo(h, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &length)) {
      raw.resize(length);
      size_t pos = 0;
      while (pos < raw.size()) {
        size_t end = raw.find("\r\n", pos);
        if (end == std::string::npos) end = raw.size();
        if (end > pos) responseHeaders_.push_back(raw.substr(pos, end - pos));
        pos = end + 2;
      }
    }
  }
  DWORD status = 0;
  length = sizeof status;
  if (!HttpQueryInfo(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length)) {
    RecordError("", "Status Code", 0);
    errorRecorded_ = true;
    statusCode_ = 0;
    return;
  }
  statusCode_ = static_cast<int>(status);
  if (ownInfo_) ownInfo_->StatusCode = statusCode_;
  if (status >= 400) {
    if (EndOnExpiredAddress && IsExpiredAddressStatus(static_cast<int>(status)))
      expiredStatus_ = static_cast<int>(status);
    char text[96];
    std::snprintf(text, sizeof text, "HTTP resource access error occured, code = %d",
                  static_cast<int>(status));
    throw EclInternetError(text, static_cast<int>(status));
  }
}

// A data response must carry exactly the bytes asked for, of the version probed.
void TclDownLoadThreader::CheckDataResponse(TclHttpOpenRequestAction& request) {
  HINTERNET h = request.Handle();
  const TclResourceInfo* info = Info();
  auto changed = [&](const std::string& what) {
    resourceChanged_ = true;
    throw EclInternetError("The resource changed on the server during the download (" + what + ")",
                           kErrorResourceChanged);
  };
  if (info && !DoNotGetResourceInfo) {
    std::string value;
    if (!info->ETag.empty() && QueryCustom(h, "ETag", value) && value != info->ETag)
      changed("ETag");
    if (!info->LastModified.empty() && QueryText(h, HTTP_QUERY_LAST_MODIFIED, value) &&
        value != info->LastModified)
      changed("Last-Modified");
  }
  const int64_t knownSize = info && !DoNotGetResourceInfo ? info->Size : 0;
  const int64_t first = spanKnown_ ? startPosition_ : 0;
  if (statusCode_ == 206) {
    // The transport hands out a partial answer only when it carries the bytes asked
    // for; what is left here is whether it is still the probed resource.
    std::string text;
    auto range = QueryText(h, HTTP_QUERY_CONTENT_RANGE, text) ? httprange::ParseContentRange(text)
                                                              : std::nullopt;
    if (range && knownSize > 0 && range->total >= 0 && range->total != knownSize) changed("size");
    return;
  }
  if (statusCode_ == 200 || statusCode_ == 0) {
    if (statusCode_ == 200 && knownSize > 0) {
      int64_t length = 0;
      if (QueryNumber64(h, HTTP_QUERY_CONTENT_LENGTH, length) && length != knownSize)
        changed("size");
    }
    if (first > 0) {
      // The whole resource for a range past its start: nothing may be written.
      rangeIgnored_ = true;
      throw EclInternetError("The server ignored the requested byte range", kErrorRangeIgnored);
    }
    return;
  }
  throw EclInternetError(
      "Unexpected HTTP status for a data request, code = " + std::to_string(statusCode_),
      statusCode_);
}
