#pragma once
#include <QObject>
#include <QStringList>
#include <functional>
#include <vector>

#include <QDBusConnection>

namespace app {

// One window per settings folder. The first start owns a session-bus name made
// from its folder; a later start hands its work to that window over the bus and
// ends. GUI thread only.
class TSingleInstance : public QObject {
  Q_OBJECT
 public:
  enum TClaim {
    kFirst,       // the name is ours: this process opens the window
    kHandedOver,  // a running window took the work: this process ends
    kAlone,       // no bus, or the running window did not answer: a window of its own
  };

  // bus: the session bus (tests pass a private one, or a disconnected one).
  TSingleInstance(const std::string& settingsFolder, QDBusConnection bus = QDBusConnection::sessionBus());
  ~TSingleInstance() override;

  // The name for a settings folder (its absolute, canonical form).
  static QString ServiceName(const std::string& settingsFolder);

  // Takes the name, or hands work (arguments from WorkArguments) and the
  // --start flag to its owner; no work asks the owner to raise its window.
  TClaim Claim(const QStringList& work, bool start);
  // Why the claim came out kAlone, to tell the user; empty otherwise.
  const QString& AloneReason() const { return aloneReason_; }

  // Where requests from later starts go. Requests that came before are
  // delivered now, in order.
  void SetHandlers(std::function<void(const QStringList& work, bool start)> open,
                   std::function<void()> raise);

 private:
  friend class TInstanceObject;
  void Received(const QStringList& work, bool start);

  QDBusConnection bus_;
  QString name_;
  bool owner_ = false;
  QString aloneReason_;
  std::function<void(const QStringList&, bool)> open_;
  std::function<void()> raise_;
  struct TRequest {
    QStringList work;
    bool start;
  };
  std::vector<TRequest> waiting_;
};

// The work among a start's arguments (the program's name and Qt's own options
// already taken out): --start sets *start; a relative path that names an
// existing file becomes absolute, since the running window has another folder.
QStringList WorkArguments(const QStringList& arguments, bool* start);

}  // namespace app
