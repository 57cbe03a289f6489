// Notices of ended jobs as the desktop's notification service receives them: a
// private session bus with a stand-in service on it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <sstream>

#include "app/JobActivity.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "app/Notifier.h"
#include "download/clMultiDownLoader.h"
#include "platform/ExeFolder.h"
#include "platform/Process.h"
#include "settings/Settings.h"
#include "tests/app/WindowTest.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

namespace {

// The notification service: records the summary and body of every Notify.
class TFakeNotifications : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != "Notify" || message.arguments().size() != 8) return false;
    notices.push_back((message.arguments()[3].toString() + "|" + message.arguments()[4].toString())
                          .toStdString());
    connection.send(message.createReply(QVariant::fromValue(uint(notices.size()))));
    return true;
  }
  std::vector<std::string> notices;
};

class NotifierTest : public TWindowTest {
 protected:
  void SetUp() override {
    service = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-notifications");
    ASSERT_TRUE(service.isConnected());
    ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/Notifications", &fake));
    ASSERT_TRUE(service.registerService("org.freedesktop.Notifications"));

    TWindowTest::SetUp();
    // A refused stream fails at once instead of after the program's many tries.
    window->clDownLoader->SetTryCount(2);
    window->clDownLoader->SetReconnectAfter(10);
  }
  void TearDown() override {
    TWindowTest::TearDown();
    service.unregisterService("org.freedesktop.Notifications");
    service.unregisterObject("/org/freedesktop/Notifications");
    QDBusConnection::disconnectFromBus("fake-notifications");
  }

  void AddDownloadOnly(const std::string& id, bool missing = false) {
    sitesim::TVideo v;
    v.Id = id;
    v.Title = "Clip " + id;
    sitesim::TStream s;
    s.Size = 32 * 1024;
    if (missing) s.Fault.Status = 404;
    v.Streams.push_back(s);
    sim.AddVideo(v);
    PasteDownloadOnly(id);
  }

  TFakeNotifications fake;
  QDBusConnection service{QString()};
};

}  // namespace

// The window is not active (nothing activates it offscreen), so ends are told.
TEST_F(NotifierTest, OneSummaryForJobsEndingTogetherThenOneNoticePerLaterJob) {
  AddDownloadOnly("a");
  AddDownloadOnly("b");
  AddDownloadOnly("gone", true);
  // "Together" is however long this machine takes for the three: the gathering
  // stays open until all have ended, then closes.
  window->Notifier->SetGatherMs(3600 * 1000);
  window->btnDownload->click();
  // The activity's last look (it stops once nothing runs) has seen every end.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return window->btnDownload->isEnabled() && !window->Activity->Active(); }, 60000))
      << window->Grid().CellText(colState, 0) << window->Grid().CellText(colState, 1)
      << window->Grid().CellText(colState, 2);
  EXPECT_TRUE(fake.notices.empty());
  window->Notifier->SetGatherMs(app::TJobNotifier::kGatherMs);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !fake.notices.empty(); }, 20000));
  // The lines come in the order the jobs ended, which a slow machine may change.
  const std::string& notice = fake.notices[0];
  const size_t bar = notice.find('|');
  ASSERT_NE(bar, std::string::npos) << notice;
  EXPECT_EQ(notice.substr(0, bar), "2 jobs finished, 1 failed");
  std::vector<std::string> lines;
  std::istringstream body(notice.substr(bar + 1));
  for (std::string line; std::getline(body, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"Clip a: Successfully!", "Clip b: Successfully!",
                                             "Clip gone: Download failed"}))
      << notice;

  // The next notice is the next run's own: the batch made no other.
  window->Grid().SelectRow(2);  // the failed job would be tried again
  ASSERT_TRUE(window->PreparePopupMenu2());
  window->Skip1->trigger();
  AddDownloadOnly("c");
  window->btnDownload->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return fake.notices.size() >= 2; }, 20000));
  EXPECT_EQ(fake.notices[1], "Clip c|Successfully!");
}

// A private session bus for the whole process, set before anything connects.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  platform::TProcess bus;
  platform::ProcessOptions options;
  std::string why;
  if (!bus.Start({platform::FindOnPath("dbus-daemon"), "--session", "--nofork", "--nopidfile",
                  "--print-address=1"},
                 options, &why)) {
    std::fprintf(stderr, "no dbus-daemon: %s\n", why.c_str());
    return 1;
  }
  std::string address;
  char c;
  while (bus.Read(&c, 1) == 1 && c != '\n') address += c;
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
