#include "download/clMultiDownLoader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "platform/Files.h"
#include "platform/Text.h"


// --- TclDownLoadItem ---

TclDownLoadItem::TclDownLoadItem(TclDownLoadList* collection) : collection_(collection) {}

TclDownLoadItem::~TclDownLoadItem() {
  if (auto* control = Control()) control->RemoveFromQueue(this);
  if (IsRunning()) {
    Stop();
    // The workers' last callbacks run here, on the owner thread.
    while (IsRunning()) platform::PumpUntil([this] { return !IsRunning(); }, std::chrono::hours(1));
  }
}

TclMultiDownLoader* TclDownLoadItem::Control() const {
  return collection_ ? collection_->Owner() : nullptr;
}

int TclDownLoadItem::Index() const {
  return collection_ ? collection_->IndexOf(this) : -1;
}

void TclDownLoadItem::Changed(bool resetRun) {
  if (auto* c = Control()) VANTOREL_ASSERT_OWNER(c->OwnerQueue());
  if (resetRun && !IsRunning()) {
    resourceInfo_.reset();
    DeleteSegments();
    ForgetWorkFile();
    if (connection_) {
      connection_->Close();
      connection_.reset();
    }
  }
  auto* control = Control();
  if (control && !control->Silent() && control->OnChanged) control->OnChanged(control, this);
}

void TclDownLoadItem::SetURL(const std::string& value) {
  if (value == url_) return;
  url_ = value;
  Changed(true);

  TclUrlParser parser;
  if (!parser.Parse(url_).empty()) {
    SetUserName(parser.UserName);
    SetPassword(parser.Password);
    auto* control = Control();
    if (control && !control->LocalFolder().empty()) {
      // A URL with a query names no file.
      std::string name =
          parser.ExtraInfo.empty() ? platform::ExtractFileName(parser.UrlPath) : std::string();
      SetLocalFile(name.empty() ? std::string() : dlpath::WithSlash(control->LocalFolder()) + name);
    }
  }
}

void TclDownLoadItem::SetLocalFile(const std::string& value) {
  if (value == localFile_) return;
  localFile_ = value;
  Changed(true);
}

void TclDownLoadItem::SetUserName(const std::string& value) {
  if (value == userName_) return;
  userName_ = value;
  Changed(true);
}

void TclDownLoadItem::SetPassword(const std::string& value) {
  if (value == password_) return;
  password_ = value;
  Changed(true);
}

void TclDownLoadItem::SetPort(int value) {
  if (value == port_) return;
  port_ = value;
  Changed(true);
}

void TclDownLoadItem::SetThreadCount(int value) {
  if (value >= 1 && value <= 10) threadCount_ = value;
}

void TclDownLoadItem::SetHttpRequest(std::shared_ptr<TclHttpRequest> value) {
  if (value == httpRequest_) return;
  httpRequest_ = std::move(value);
  Changed(true);
}

void TclDownLoadItem::SetDataStream(std::shared_ptr<TclStream> stream) {
  dataStream_ = std::move(stream);
  streamSupplied_ = dataStream_ != nullptr;
}

TclDownLoadItem::THolder* TclDownLoadItem::FindHolder(TclCustomThreader* worker) {
  for (auto& h : workers_)
    if (h.worker.get() == worker) return &h;
  return nullptr;
}

void TclDownLoadItem::DeleteSegments() {
  for (auto& h : workers_) h.segment = nullptr;
  resourceState_.Clear();
}

void TclDownLoadItem::AddError(const std::string& message, int code) {
  errors_.push_back({message, code});
  auto* control = Control();
  if (control && !control->Silent() && control->OnError)
    control->OnError(control, this, message, code);
}

TclProcessStatus TclDownLoadItem::Overall() const {
  // A resource that changed under the download never yields a usable file.
  if (resourceChanged_) return psFailed;
  // A stopped run whose workers are gone is unfinished, not failed (a failed
  // segment would have been fetched again), unless the item itself failed.
  if (stopping_ && workers_.empty())
    return resourceState_.LastStatus() == psFailed ? psFailed : psTerminated;
  return resourceState_.OverallStatus();
}

void TclDownLoadItem::SetStatus(TclProcessStatus status) {
  if (status == status_) return;
  status_ = status;
  auto* control = Control();
  if (control && !control->Silent() && control->OnStatusChanged)
    control->OnStatusChanged(control, this, status);
}

void TclDownLoadItem::UpdateStatus() {
  TclProcessStatus status = Overall();
  if (probing_ && status != psUnknown && status != psProcess && status != psTerminated)
    status = psProcess;
  SetStatus(status);
}

void TclDownLoadItem::Start() {
  VANTOREL_ASSERT_OWNER(Control()->OwnerQueue());
  probing_ = true;
  dataPhase_ = false;
  completing_ = false;
  for (auto option : {wininet::INTERNET_OPTION_MAX_CONNS_PER_SERVER,
                      wininet::INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER}) {
    wininet::DWORD value = 0, length = sizeof value;
    if (wininet::InternetQueryOption(nullptr, option, &value, &length) && value < 10) {
      value = 10;
      wininet::InternetSetOption(nullptr, option, &value, sizeof value);
    }
  }
  status_ = psUnknown;
  resourceInfo_.reset();
  responseHeaders_.clear();
  lastWorkerHeaders_.clear();
  errors_.clear();
  continueRefusal_.clear();
  resourceState_.Reset();
  rangeIgnored_ = fallbackDone_ = resourceChanged_ = refused_ = stopping_ = false;
  probeParser_.reset();
  ResetAddressRefresh();
  idle_->Reset();
  Control()->ChangeBusy(+1);
  auto* segment = resourceState_.Count() > 0 ? resourceState_.Items(0) : nullptr;
  if (!LaunchWorker(segment, true, nullptr)) {
    probing_ = false;
    Complete();
  }
}

void TclDownLoadItem::Stop() {
  if (auto* c = Control()) VANTOREL_ASSERT_OWNER(c->OwnerQueue());
  // Also keeps back the workers this run would still start: the data phase after
  // the probe, a restart of a failed segment, the one-segment fallback.
  stopping_ = true;
  for (auto& h : workers_) h.worker->Terminate();
  if (inflating_) inflating_->store(true);  // the inflate ends at its next block
  EndAddressWait();
}

std::shared_ptr<TclDownLoadThreader> TclDownLoadItem::CreateWorker(TclResourceStateItem* segment,
                                                                   bool probe,
                                                                   const TclUrlParser* parsed) {
  auto* control = Control();
  std::shared_ptr<TclStream> stream = probe ? nullptr : GetDataStream();
  std::string url = url_;
  if (useHttpRequest_ && httpRequest_ && !httpRequest_->RequestText.empty())
    url += "?" + httpRequest_->RequestText;
  auto worker = TclDownLoadThreader::Create(url, probe, stream, control->OwnerQueue());
  workers_.push_back(
      {worker, segment,
       worksteal::TPace(worksteal::TClock::now(),
                        segment ? segment->ResourcePos() + segment->BytesProceed() : 0)});

  worker->OnStatusChanged = [this](TclCustomThreader* s, TclProcessStatus st) {
    DoStatusChanged(s, st);
  };
  worker->OnError = [this](TclCustomThreader* s, const std::string& e, int c) { DoError(s, e, c); };
  worker->OnGetResourceInfo = [this](TclDownLoadThreader* s, const TclResourceInfo* i) {
    DoGetResourceInfo(s, i);
  };
  worker->OnUrlParsing = [this](TclDownLoadThreader* s, wininet::URL_COMPONENTS& c) {
    DoUrlParsing(s, c);
  };
  worker->OnDataItemProceed = [this](TclDownLoadThreader* s, const TclResourceInfo*, int64_t pos,
                                     const char* data,
                                     int size) { DoDataItemProceed(s, pos, data, size); };
  worker->OnTerminate = [this](TclCustomThreader* s) { DoTerminate(s); };

  worker->Priority = priority_;
  worker->BatchSize = control->BatchSize();
  worker->TryCount = control->TryCount();
  worker->TimeOut = control->TimeOut();
  worker->ReconnectAfter = control->ReconnectAfter();
  worker->CertificateFlags = certificateFlags_;
  worker->UseInternetErrorDialog = control->UseInternetErrorDialog;
  worker->HttpProxySettings = control->HttpProxySettings;
  worker->FtpProxySettings = control->FtpProxySettings;
  worker->ProxyBypass = control->ProxyBypassLine();
  worker->InternetAgent = control->InternetAgent;
  worker->PassiveFTPMode = control->PassiveFTPMode;
  worker->KeepConnection = keepConnection_;
  worker->DoNotGetResourceInfo = control->DoNotGetResourceInfo;
  if (useHttpRequest_ && httpRequest_) worker->RequestHeaders = httpRequest_->HeaderLines;
  worker->ChunkLimit = chunkLimit_;
  worker->ReportBlockData = control->ReportBlockData;
  worker->DataLock = dataLock_;
  worker->AllowCompression = allowCompression_;
  if (keepConnection_ || control->Connection) {
    if (control->Connection) {
      worker->Connection = control->Connection;
    } else {
      if (!connection_) connection_ = TclInternetConnection::Create(control->OwnerQueue());
      worker->Connection = connection_;
    }
  }
  if (segment) {
    int64_t start = segment->ResourcePos() + segment->BytesProceed();
    int64_t remaining =
        segment->ResourceSize() > 0 ? segment->ResourceSize() - segment->BytesProceed() : -1;
    worker->SetRange(start, remaining);
  }
  // After a refresh every new worker goes to the current address.
  if (parsed && addressGeneration_ > 0 && probeParser_) parsed = probeParser_.get();
  if (parsed) worker->SetUrlParser(*parsed);
  if (!probe && resourceInfo_) worker->SetResourceInfo(*resourceInfo_);
  worker->EndOnExpiredAddress = static_cast<bool>(control->OnAddressExpired);
  worker->AddressGeneration = addressGeneration_;
  return worker;
}

bool TclDownLoadItem::LaunchWorker(TclResourceStateItem* segment, bool probe,
                                   const TclUrlParser* parsed) {
  const auto holders = workers_.size();
  try {
    CreateWorker(segment, probe, parsed)->Resume();
    return true;
  } catch (const std::exception& e) {
    // No thread runs for it, so no termination callback would ever drop its holder.
    workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(holders), workers_.end());
    if (segment) {
      segment->SetStatus(psFailed);
    } else {
      resourceState_.SetLastStatus(psFailed);
    }
    AddError(e.what(), 0);
    UpdateStatus();
    return false;
  }
}

void TclDownLoadItem::DoStatusChanged(TclCustomThreader* sender, TclProcessStatus status) {
  auto* h = FindHolder(sender);
  // A worker whose whole segment went to another worker has no say any more.
  if (h && !h->segment && !h->worker->IsGetResourceInfo()) return;
  // A worker whose range was ignored is replanned, not counted as a failure.
  if (h && h->worker->RangeIgnored() && status == psFailed) return;
  // Nor is a refused address; the probe of a new one reports to the refresh.
  if (h && ((h->worker->AddressExpired() && status == psFailed) || h->worker == refreshProbe_))
    return;
  if (h && h->segment) {
    h->segment->SetStatus(status);
  } else {
    resourceState_.SetLastStatus(status);
  }
  UpdateStatus();
}

void TclDownLoadItem::DoError(TclCustomThreader*, const std::string& error, int code) {
  AddError(error, code);
}

void TclDownLoadItem::DoGetResourceInfo(TclDownLoadThreader* sender, const TclResourceInfo* info) {
  if (refreshProbe_ && sender == refreshProbe_.get()) {
    refreshInfo_ = info ? std::make_unique<TclResourceInfo>(*info) : nullptr;
    return;
  }
  auto* control = Control();
  if (info) {
    resourceInfo_ = std::make_unique<TclResourceInfo>();
    resourceInfo_->Assign(*info);
  } else {
    resourceInfo_.reset();
  }
  if (!control->Silent() && control->OnGetResourceInfo)
    control->OnGetResourceInfo(control, this, resourceInfo_.get());
  if (control->DoNotGetResourceInfo) return;
  if (!resourceInfo_ || resourceInfo_->Size == 0 || !resourceInfo_->CanSplit()) {
    DeleteSegments();
  } else if (resourceState_.Count() > 0 && dataPhaseInfo_) {
    // Segments kept from a stopped run belong to the version fetched then.
    const auto& old = *dataPhaseInfo_;
    if (old.Size != resourceInfo_->Size || old.ETag != resourceInfo_->ETag ||
        old.LastModified != resourceInfo_->LastModified)
      DeleteSegments();
  }
  if (!resourceInfo_) return;
  std::string name = ExtractFileNameFromDisposition(resourceInfo_->ContentDisposition);
  if (localFile_.empty() && !name.empty() && !control->LocalFolder().empty())
    SetLocalFile(dlpath::WithSlash(control->LocalFolder()) + name);
}

void TclDownLoadItem::DoUrlParsing(TclDownLoadThreader*, wininet::URL_COMPONENTS& components) {
  if (!userName_.empty()) components.userName = userName_.substr(0, 127);
  if (!password_.empty()) components.password = password_.substr(0, 127);
  if (port_ != 0) components.nPort = port_;
  auto* control = Control();
  if (!control->Silent() && control->OnUrlParsing) control->OnUrlParsing(control, this, components);
}

void TclDownLoadItem::DoDataItemProceed(TclDownLoadThreader* sender, int64_t position,
                                        const char* data, int size) {
  auto* h = FindHolder(sender);
  if (!h || !h->segment) return;
  if (h->worker->AddressGeneration == addressGeneration_) bytesSinceRefresh_ = true;
  h->segment->SetBytesProceed(position - h->segment->ResourcePos());
  h->pace.Note(worksteal::TClock::now(), position);
  CheckStalled(sender);
  auto* control = Control();
  if (!control->Silent() && control->OnDataItemProceed)
    control->OnDataItemProceed(control, this, resourceInfo_.get(), h->segment, data, size);
}

void TclDownLoadItem::DoTerminate(TclCustomThreader* sender) {
  auto it = std::find_if(workers_.begin(), workers_.end(),
                         [&](const THolder& h) { return h.worker.get() == sender; });
  if (it == workers_.end()) return;
  if (TakeRefreshTermination(*it)) return;
  auto worker = it->worker;
  TclResourceStateItem* segment = it->segment;
  const worksteal::TPace pace = it->pace;
  lastWorkerHeaders_ = worker->ResponseHeaders();
  if (probing_ && !probeParser_) probeParser_ = std::make_unique<TclUrlParser>(worker->UrlParser());
  if (worker->RangeIgnored()) rangeIgnored_ = true;
  if (worker->ResourceChanged() && !resourceChanged_) {
    resourceChanged_ = true;
    for (auto& h : workers_)
      if (h.worker != worker) h.worker->Terminate();
  }

  // A segment that failed is tried again whenever another one ends well.
  if (!probing_ && !stopping_ && worker->Status() != psFailed && Overall() != psTerminated &&
      !rangeIgnored_ && !resourceChanged_) {
    bool restarted = false;
    for (int i = 0; i < resourceState_.Count(); ++i) {
      auto* s = resourceState_.Items(i);
      if (s == segment || s->Status() != psFailed) continue;
      bool busy = std::any_of(workers_.begin(), workers_.end(),
                              [&](const THolder& h) { return h.segment == s; });
      if (busy) continue;
      s->SetStatus(psProcess);
      LaunchWorker(s, false, &worker->UrlParser());
      restarted = true;
      break;
    }
    if (!restarted && dataPhase_ && worker->Status() == psSuccess) TakeOverWork(worker.get(), pace);
  }

  workers_.erase(std::find_if(workers_.begin(), workers_.end(),
                              [&](const THolder& h) { return h.worker == worker; }));
  if (!workers_.empty() || awaitingAddress_ || sizing_) return;
  if (probing_) {
    EndOfProbe();
    return;
  }
  if (dataPhase_) {
    if (rangeIgnored_ && !fallbackDone_ && !resourceChanged_ && !stopping_ &&
        Overall() != psTerminated) {
      FallBackToOneSegment();
      return;  // its file is prepared, then it ends the item
    }
    dataPhase_ = false;
    MakePreview();
  }
  Complete();
}

bool TclDownLoadItem::CanProcess(bool checkFile) {
  auto* control = Control();
  if (checkFile && !localFile_.empty() && !completing_ && platform::FileExists(localFile_)) {
    TclFileExistsAction action = faReplace;
    std::string newName;
    if (!control->Silent() && control->OnFileExists)
      control->OnFileExists(control, localFile_, newName, action);
    switch (action) {
      case faRename:
        SetLocalFile(newName);
        break;
      case faSkip:
        return false;
      case faStop:
        control->Stop(nullptr);
        return false;
      case faReplace:
        break;
    }
  }
  if (resourceInfo_ && resourceInfo_->Size > 0) {
    if (control->MinResourceSize() != 0 && resourceInfo_->Size < control->MinResourceSize())
      return false;
    if (control->MaxResourceSize() != 0 && resourceInfo_->Size > control->MaxResourceSize())
      return false;
  }
  return true;
}

void TclDownLoadItem::EndOfProbe() {
  TclProcessStatus overall = Overall();
  // A handler of OnFileExists may stop the item too.
  bool proceed = overall != psFailed && overall != psTerminated && CanProcess(true) && !stopping_;
  if (!proceed) {
    // Nothing was fetched: never report a refused item as a success.
    if (overall != psFailed && overall != psTerminated) {
      refused_ = true;
      resourceState_.SetLastStatus(psTerminated);
    }
    probing_ = false;
    Complete();
    return;
  }
  probing_ = false;
  dataPhase_ = true;
  try {
    BeginDataPhase();
  } catch (const std::exception& e) {
    AddError(e.what(), 0);
    resourceState_.SetLastStatus(psFailed);
    UpdateStatus();
    if (workers_.empty()) {
      dataPhase_ = false;
      Complete();
    } else {
      Stop();  // the started ones end, then the item completes
    }
  }
}

void TclDownLoadItem::BeginDataPhase() {
  continueRefusal_.clear();  // a later data phase of the same run was given nothing
  if (continueFrom_) {
    const auto saved = std::move(continueFrom_);
    continueRefusal_ = CheckContinue(*saved);
    if (continueRefusal_.empty()) {
      InstallSavedSegments(*saved);
    } else {
      DeleteSegments();
      TakeSavedFile(*saved);
    }
  }
  PrepareDataFile([this] { LayOutDataPhase(); });
}

void TclDownLoadItem::LayOutDataPhase() {
  auto* control = Control();
  const int64_t size = resourceInfo_ ? resourceInfo_->Size : 0;
  TclProcessStatus remembered = Overall();
  int count = 1;
  bool kept = keepConnection_ || control->Connection;
  if (size > 0 && resourceInfo_->CanSplit() && !kept) {
    int64_t n = size / control->BatchSize();
    count = static_cast<int>(std::clamp<int64_t>(n, 1, threadCount_));
  }
  resourceState_.Reset();
  if (resourceState_.Count() == 0) {
    resourceState_.SetResourceSize(size);
    for (auto [pos, length] : TclResourceStateList::Split(size, count)) {
      auto* s = resourceState_.Add();
      s->SetResourcePos(pos);
      s->SetResourceSize(length);
    }
  }
  resourceState_.SetLastStatus(remembered);
  dataPhaseInfo_ = resourceInfo_ ? std::make_unique<TclResourceInfo>(*resourceInfo_) : nullptr;
  if (!control->Silent() && control->OnDataPhaseBegin) control->OnDataPhaseBegin(control, this);
  for (int i = 0; i < resourceState_.Count(); ++i) {
    auto* s = resourceState_.Items(i);
    // A segment completed in an earlier run needs no request.
    if (s->ResourceSize() > 0 && s->BytesProceed() >= s->ResourceSize()) {
      s->SetStatus(psSuccess);
      continue;
    }
    if (stopping_) break;  // an OnError handler stopped the item
    // More unfinished segments than connections (kept from a run whose connections
    // split their work): the rest wait until a connection is free.
    if (static_cast<int>(workers_.size()) >= threadCount_) continue;
    LaunchWorker(s, false, probeParser_.get());
  }
  if (workers_.empty()) {
    dataPhase_ = false;
    Complete();
  }
}

void TclDownLoadItem::FallBackToOneSegment() {
  // The server sends the whole resource whatever range is asked: fetch it once,
  // from the start, into a new pre-sized file (claims on the old one stay true).
  fallbackDone_ = true;
  int64_t size = resourceInfo_ ? resourceInfo_->Size : 0;
  DeleteSegments();
  PrepareDataFile([this, size] {
    resourceState_.SetResourceSize(size);
    auto* s = resourceState_.Add();
    s->SetResourcePos(0);
    s->SetResourceSize(size);
    s->SetStatus(psProcess);
    resourceState_.SetLastStatus(psUnknown);
    LaunchWorker(s, false, probeParser_.get());
    if (!workers_.empty()) return;
    dataPhase_ = false;
    MakePreview();
    Complete();
  });
}

void TclDownLoadItem::MakePreview() {
  auto* control = Control();
  if (control->Silent() || !control->OnDataTextProceed || !dataStream_) return;
  std::string text(static_cast<size_t>(control->PreviewCharCount()), '\0');
  size_t n = 0;
  {
    std::lock_guard lock(*dataLock_);
    int64_t pos = dataStream_->Position();
    dataStream_->SetPosition(0);
    n = dataStream_->Read(text.data(), text.size());
    dataStream_->SetPosition(pos);
  }
  text.resize(n);
  for (auto& c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u != '\t' && u != '\n' && u != '\r' && u < 32)
      c = static_cast<char>(control->DefaultChar());
  }
  previewLines_.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      if (start < text.size()) previewLines_.push_back(text.substr(start));
      break;
    }
    previewLines_.push_back(text.substr(start, end - start));
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  control->OnDataTextProceed(control, this, previewLines_);
}

// --- address refresh ---

void TclDownLoadItem::Complete() {
  auto* control = Control();
  responseHeaders_ = lastWorkerHeaders_;
  completing_ = true;
  if (stopping_) {
    // Segments whose workers ended without a final word (an ignored range) were stopped.
    for (int i = 0; i < resourceState_.Count(); ++i)
      if (resourceState_.Items(i)->Status() == psProcess)
        resourceState_.Items(i)->SetStatus(psTerminated);
  }
  if (!streamSupplied_) dataStream_.reset();
  TclProcessStatus overall = Overall();
  if (overall != psFailed && overall != psTerminated && !refused_ && CanProcess(false)) {
    if (!workFile_.empty() && workFile_ != localFile_) {
      // A large answer takes long to inflate: on a file thread, which ends the run.
      InflateWorkFile();
      return;
    }
    try {
      if (control->CorrectResourceTime && resourceInfo_ && platform::FileExists(localFile_))
        workfile::SetFileTimes(localFile_, resourceInfo_->Date);
    } catch (const std::exception& e) {
      AddError(e.what(), 0);
      resourceState_.SetLastStatus(psFailed);  // a file that could not be finished
    }
  }
  EndRun();
}

void TclDownLoadItem::EndRun() {
  auto* control = Control();
  // Data of a version that is gone must not be resumed into.
  if (resourceChanged_) DeleteSegments();
  probing_ = false;
  SetStatus(Overall());
  completing_ = false;
  idle_->Set();
  control->InternalDone(this);
}
