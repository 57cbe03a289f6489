#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

namespace app {

namespace {

const char* const kPath = "/org/vantorel/Vantorel";
const char* const kInterface = "org.vantorel.Vantorel";
// Long enough for a busy machine; a window that takes longer is taken for hung.
const int kAnswerMs = 5000;

}  // namespace

// The object later starts call. It only queues: the reply must not wait for the
// window to add jobs.
class TInstanceObject : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.vantorel.Vantorel")
 public:
  explicit TInstanceObject(TSingleInstance& owner) : QObject(&owner), owner_(owner) {}
 public slots:
  Q_SCRIPTABLE void Open(const QStringList& work, bool start) {
    QTimer::singleShot(0, &owner_, [this, work, start] { owner_.Received(work, start); });
  }

 private:
  TSingleInstance& owner_;
};

TSingleInstance::TSingleInstance(const std::string& settingsFolder, QDBusConnection bus)
    : bus_(bus), name_(ServiceName(settingsFolder)) {}

TSingleInstance::~TSingleInstance() {
  if (owner_) {
    bus_.unregisterService(name_);
    bus_.unregisterObject(kPath);
  }
}

QString TSingleInstance::ServiceName(const std::string& settingsFolder) {
  QString folder = QFileInfo(QString::fromStdString(settingsFolder)).canonicalFilePath();
  if (folder.isEmpty()) folder = QDir::cleanPath(QDir(QString::fromStdString(settingsFolder)).absolutePath());
  // A bus name element may not start with a digit, hence the letter.
  const QByteArray hash =
      QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
  return QString("%1.f%2").arg(kInterface, QString::fromLatin1(hash));
}

TSingleInstance::TClaim TSingleInstance::Claim(const QStringList& work, bool start) {
  if (!bus_.isConnected()) {
    aloneReason_ = "No session bus: later starts open windows of their own";
    return kAlone;
  }
  // The object first, so a call that comes right after the name finds it.
  bus_.registerObject(kPath, new TInstanceObject(*this), QDBusConnection::ExportScriptableSlots);
  QDBusConnectionInterface* names = bus_.interface();
  const auto reply = names ? names->registerService(name_, QDBusConnectionInterface::DontQueueService,
                                                    QDBusConnectionInterface::DontAllowReplacement)
                           : QDBusReply<QDBusConnectionInterface::RegisterServiceReply>();
  if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
    owner_ = true;
    return kFirst;
  }
  bus_.unregisterObject(kPath);
  if (!reply.isValid()) {
    aloneReason_ = "The session bus refused the window's name (" + reply.error().message() +
                   "): later starts open windows of their own";
    return kAlone;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(name_, kPath, kInterface, "Open");
  call << work << start;
  const QDBusMessage answer = bus_.call(call, QDBus::Block, kAnswerMs);
  if (answer.type() == QDBusMessage::ReplyMessage) return kHandedOver;
  aloneReason_ = "The running window did not answer (" + answer.errorMessage() +
                 "): this one works on its own";
  return kAlone;
}

void TSingleInstance::SetHandlers(std::function<void(const QStringList&, bool)> open,
                                  std::function<void()> raise) {
  open_ = std::move(open);
  raise_ = std::move(raise);
  std::vector<TRequest> waiting;
  waiting.swap(waiting_);
  for (const TRequest& request : waiting) Received(request.work, request.start);
}

void TSingleInstance::Received(const QStringList& work, bool start) {
  if (!open_) {
    waiting_.push_back({work, start});
    return;
  }
  if (work.isEmpty() && !start && raise_) return raise_();
  open_(work, start);
}

QStringList WorkArguments(const QStringList& arguments, bool* start) {
  QStringList work;
  for (const QString& argument : arguments) {
    if (argument == "--start") {
      *start = true;
      continue;
    }
    const QFileInfo file(argument);
    if (!argument.contains("://") && file.isRelative() && file.exists())
      work << file.absoluteFilePath();
    else
      work << argument;
  }
  return work;
}

}  // namespace app

#include "SingleInstance.moc"
