#pragma once
#include <QObject>
#include <QString>
#include <string>
#include <utility>
#include <vector>

class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace app {

// Tells the desktop when jobs end, through the freedesktop notification
// service on the session bus; without one, through the tray icon when there is
// a tray; else not at all. Ends that come close together make one notice, and
// nothing is shown while the window is active and in front. GUI thread only.
class TJobNotifier : public QObject {
  Q_OBJECT
 public:
  struct TEnd {
    std::string title;
    std::string outcome;  // the State cell's text
    bool failed = false;
  };
  // Ends within this time of each other make one notice.
  static constexpr int kGatherMs = 800;

  TJobNotifier(QWidget& window, QSystemTrayIcon* tray);

  void JobsEnded(const std::vector<TEnd>& ends);
  // Changes the gathering time; a gathering under way starts again with it.
  // Lets tests hold a gathering open for as long as their jobs take.
  void SetGatherMs(int ms);

  // Summary and body of the notice for these ends.
  static std::pair<QString, QString> Compose(const std::vector<TEnd>& ends);

 private:
  void Flush();
  void Show(const QString& summary, const QString& body);
  void ShowInTray(const QString& summary, const QString& body);

  QWidget& window_;
  QSystemTrayIcon* tray_;
  QTimer* gather_;
  std::vector<TEnd> pending_;
};

}  // namespace app
