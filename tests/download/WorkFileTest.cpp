// The files an item writes: work files beside the output, full folders and
// answers that must not be tried again.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "download/clMultiDownLoader.h"
#include "tests/download/ScriptedServer.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string AllErrors(const TclDownLoadItem& item) {
  std::string text;
  for (const auto& e : item.Errors()) text += e.Error + "\n";
  return text;
}

class WorkFile : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.Start();
    dl.HttpProxySettings.Server = sim.ProxyHost();
    dl.HttpProxySettings.Port = sim.Port();
    dl.SetTryCount(3);
    dl.SetReconnectAfter(20);
    dl.SetTimeOut(5000);
    dl.OnProcessCompleted = [this](TclMultiDownLoader*, TclDownLoadItem*) { ++completed; };
  }
  void AddStream(int64_t size, sitesim::TFault fault = {}) {
    sitesim::TVideo v;
    v.Id = "v";
    sitesim::TStream s;
    s.Size = size;
    s.Fault = fault;
    v.Streams.push_back(s);
    sim.AddVideo(v);
  }
  bool Run(TclDownLoadItem* item) {
    const int before = completed;
    dl.Start(item, true);
    return testsupport::WaitFor([&] { return completed > before; }, std::chrono::seconds(60));
  }
  TclDownLoadItem* NewItem(const std::string& file, const std::string& url = {}) {
    auto* item = dl.DownLoadList()->Add();
    item->SetURL(url.empty() ? sim.StreamUrl("v", 0) : url);
    item->SetLocalFile(file);
    return item;
  }

  sitesim::TSiteSim sim;
  testsupport::TempDir dir;
  TclMultiDownLoader dl{platform::CallQueue::Current()};
  int completed = 0;
};

// A small tmpfs of its own, so a full folder is real; root only.
class SmallFolder {
 public:
  explicit SmallFolder(const std::string& path) : path_(path) {
    std::filesystem::create_directory(path);
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m") == 0;
  }
  ~SmallFolder() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

}  // namespace

TEST_F(WorkFile, ACompressedAnswerLeavesTheUsersTildeFilesAlone) {
  sitesim::TFault gzip;
  gzip.Gzip = true;
  AddStream(100000, gzip);
  const std::string out = dir / "clip.mp4";
  std::ofstream(out + "~") << "mine";
  auto* item = NewItem(out);
  ASSERT_TRUE(Run(item));
  EXPECT_EQ(item->Status(), psSuccess) << AllErrors(*item);
  EXPECT_TRUE(ReadFile(out) == sim.StreamBody("v", 0));
  EXPECT_EQ(ReadFile(out + "~"), "mine");
  // A name at the file system's limit has no room for "~": still one file.
  const std::string longest = dir / (std::string(251, 'x') + ".mp4");
  auto* second = NewItem(longest);
  ASSERT_TRUE(Run(second));
  EXPECT_EQ(second->Status(), psSuccess) << AllErrors(*second);
  EXPECT_TRUE(ReadFile(longest) == sim.StreamBody("v", 0));
  // The work files of its own are gone, nothing else is left.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            3);
}

TEST_F(WorkFile, AStartFromZeroWritesANewFileAndKeepsNoneBeside) {
  AddStream(100000);
  const std::string out = dir / "clip.mp4";
  std::ofstream(out) << std::string(100000, 'z');
  struct stat before {};
  ASSERT_EQ(::stat(out.c_str(), &before), 0);
  auto* item = NewItem(out);
  ASSERT_TRUE(Run(item));
  EXPECT_EQ(item->Status(), psSuccess) << AllErrors(*item);
  struct stat after {};
  ASSERT_EQ(::stat(out.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(item->WorkFileId(), static_cast<uint64_t>(after.st_ino));
  EXPECT_TRUE(ReadFile(out) == sim.StreamBody("v", 0));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(WorkFile, AFullFolderFailsWithTheSystemsReason) {
  const std::string small = dir / "small";
  SmallFolder folder(small);
  if (!folder.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  const std::string out = small + "/clip.mp4";
  {
    SCOPED_TRACE("announced size larger than the free space");
    AddStream(4 << 20);
    auto* item = NewItem(out);
    sim.ClearRequests();
    ASSERT_TRUE(Run(item));
    EXPECT_EQ(item->Status(), psFailed);
    EXPECT_NE(AllErrors(*item).find("No space left on device"), std::string::npos)
        << AllErrors(*item);
    size_t gets = 0;
    for (const auto& r : sim.Requests()) gets += r.Method == "GET" && r.HasHeader("Range");
    EXPECT_EQ(gets, 0u);  // no data request, no sparse file of that size
    struct stat st {};
    EXPECT_TRUE(::stat(out.c_str(), &st) != 0 || st.st_size == 0);
  }
  {
    SCOPED_TRACE("size not announced, the folder fills up");
    sitesim::TFault unsized;
    unsized.NoContentLength = true;
    AddStream(2 << 20, unsized);
    auto* item = NewItem(out);
    ASSERT_TRUE(Run(item));
    EXPECT_EQ(item->Status(), psFailed);
    ASSERT_FALSE(item->Errors().empty());
    EXPECT_NE(item->Errors().back().Error.find("No space left on device"), std::string::npos)
        << AllErrors(*item);
  }
}

// The inflate of a compressed answer runs beside the owner thread: the owner's
// queue serves calls while it is under way (held at a gate here), and a stop
// during it ends the item with no half output under the file's name.
TEST_F(WorkFile, ACompressedAnswerIsInflatedBesideTheOwnerThread) {
  sitesim::TFault gzip;
  gzip.Gzip = true;
  AddStream(300000, gzip);
  platform::ManualResetEvent inflating, release;
  std::atomic<bool> onOwner{false};
  const auto owner = std::this_thread::get_id();
  workfile::SetInflateHook([&] {
    if (std::this_thread::get_id() == owner) onOwner = true;
    inflating.Set();
    release.Wait(std::chrono::seconds(60));
  });
  struct TUnhook {
    platform::ManualResetEvent& release;
    ~TUnhook() {
      release.Set();
      workfile::SetInflateHook({});
    }
  } unhook{release};
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped while inflating" : "inflated");
    inflating.Reset();
    release.Reset();
    const std::string out = dir / (stop ? "stopped.mp4" : "clip.mp4");
    auto* item = NewItem(out);
    const int before = completed;
    dl.Start(item, true);
    ASSERT_TRUE(testsupport::WaitFor([&] { return inflating.IsSet() || completed > before; },
                                     std::chrono::seconds(60)));
    ASSERT_TRUE(inflating.IsSet()) << AllErrors(*item);
    bool served = false;
    auto call = std::make_shared<platform::CallQueue::Posted>();
    call->fn = [&] { served = true; };
    platform::CallQueue::Current()->Post(call);
    EXPECT_TRUE(testsupport::WaitFor([&] { return served; }, std::chrono::seconds(60)));
    EXPECT_EQ(completed, before);
    EXPECT_TRUE(item->IsRunning());
    const std::string workFile = item->WorkFile();
    if (stop) dl.Stop(item);
    release.Set();
    ASSERT_TRUE(testsupport::WaitFor([&] { return completed > before; }, std::chrono::seconds(60)));
    EXPECT_FALSE(onOwner.load());
    if (stop) {
      EXPECT_EQ(item->Status(), psTerminated) << AllErrors(*item);
      EXPECT_FALSE(std::filesystem::exists(out));
      EXPECT_TRUE(std::filesystem::exists(workFile));  // whole, for a later start
    } else {
      EXPECT_EQ(item->Status(), psSuccess) << AllErrors(*item);
      EXPECT_TRUE(ReadFile(out) == sim.StreamBody("v", 0));
      EXPECT_FALSE(std::filesystem::exists(workFile));
    }
  }
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().rfind(".vantorel-", 0), std::string::npos) << e.path();
}

// An answer that fits compressed but not inflated fails with the system's
// reason and leaves no part of the output.
TEST_F(WorkFile, AnInflateIntoAFullFolderFailsWithTheSystemsReason) {
  const std::string small = dir / "small";
  SmallFolder folder(small);
  if (!folder.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  sitesim::TVideo v;
  v.Id = "v";
  sitesim::TStream s;
  s.Data = std::string(3 << 20, 'a');
  s.Fault.Gzip = true;
  v.Streams.push_back(s);
  sim.AddVideo(v);
  const std::string out = small + "/clip.mp4";
  auto* item = NewItem(out);
  ASSERT_TRUE(Run(item));
  EXPECT_EQ(item->Status(), psFailed);
  EXPECT_NE(AllErrors(*item).find("No space left on device"), std::string::npos)
      << AllErrors(*item);
  for (const auto& e : std::filesystem::directory_iterator(small))
    EXPECT_NE(e.path().string(), out) << "half an output left";
}

TEST_F(WorkFile, ARedirectToAnotherSchemeFailsAtOnce) {
  using testsupport::ScriptedServer;
  ScriptedServer server([](const ScriptedServer::Request&, ScriptedServer::Connection& c) {
    c.Send(ScriptedServer::Response(302, "", {"Location: file:///etc/passwd"}));
  });
  dl.HttpProxySettings = {};
  dl.SetTryCount(25);
  dl.SetReconnectAfter(5000);
  auto* item = NewItem(dir / "clip.mp4", server.Url("/clip.mp4"));
  ASSERT_TRUE(Run(item));
  EXPECT_EQ(item->Status(), psFailed);
  EXPECT_NE(AllErrors(*item).find("The redirection failed"), std::string::npos)
      << AllErrors(*item);
  EXPECT_EQ(server.Requests().size(), 1u);
}
