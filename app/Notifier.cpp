#include "app/Notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVariantMap>
#include <QWidget>

namespace app {

namespace {

const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kAppName = "Vantorel";

QString Jobs(int n, const char* what) {
  return QString("%1 %2 %3").arg(n).arg(n == 1 ? "job" : "jobs").arg(what);
}

}  // namespace

TJobNotifier::TJobNotifier(QWidget& window, QSystemTrayIcon* tray)
    : QObject(&window), window_(window), tray_(tray), gather_(new QTimer(this)) {
  gather_->setSingleShot(true);
  gather_->setInterval(kGatherMs);
  connect(gather_, &QTimer::timeout, this, &TJobNotifier::Flush);
}

void TJobNotifier::JobsEnded(const std::vector<TEnd>& ends) {
  if (ends.empty()) return;
  pending_.insert(pending_.end(), ends.begin(), ends.end());
  if (!gather_->isActive()) gather_->start();
}

void TJobNotifier::SetGatherMs(int ms) { gather_->setInterval(ms); }

std::pair<QString, QString> TJobNotifier::Compose(const std::vector<TEnd>& ends) {
  if (ends.size() == 1)
    return {QString::fromStdString(ends[0].title), QString::fromStdString(ends[0].outcome)};
  int failed = 0;
  QStringList lines;
  for (const TEnd& end : ends) {
    failed += end.failed ? 1 : 0;
    // Bodies may be read as markup.
    lines << QString::fromStdString(end.title + ": " + end.outcome).toHtmlEscaped();
  }
  const int finished = static_cast<int>(ends.size()) - failed;
  QString summary = finished == 0 ? Jobs(failed, "failed")
                    : failed == 0 ? Jobs(finished, "finished")
                                  : Jobs(finished, "finished") + QString(", %1 failed").arg(failed);
  return {summary, lines.join('\n')};
}

void TJobNotifier::Flush() {
  std::vector<TEnd> ends;
  ends.swap(pending_);
  if (ends.empty()) return;
  // The user is looking at the table already.
  if (window_.isVisible() && !window_.isMinimized() && window_.isActiveWindow()) return;
  const auto [summary, body] = Compose(ends);
  Show(summary, body);
}

void TJobNotifier::Show(const QString& summary, const QString& body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return ShowInTray(summary, body);
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
  call << QString(kAppName) << 0u << QString() << summary << body << QStringList() << QVariantMap()
       << -1;
  // Asynchronous: a slow or missing service never holds up the window.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, summary, body](QDBusPendingCallWatcher* w) {
            if (w->isError()) ShowInTray(summary, body);
            w->deleteLater();
          });
}

void TJobNotifier::ShowInTray(const QString& summary, const QString& body) {
  if (tray_ && tray_->isVisible() && QSystemTrayIcon::supportsMessages())
    tray_->showMessage(summary, body, QSystemTrayIcon::Information);
}

}  // namespace app
