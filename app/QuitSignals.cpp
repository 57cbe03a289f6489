#include "app/QuitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QPointer>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cerrno>

#include "app/MainWindow.h"
#include "log/LogWriter.h"

namespace app {
namespace {

int g_quitPipe[2] = {-1, -1};

// Async-signal-safe: one write, errno kept.
void OnQuitSignal(int sig) {
  const int saved = errno;
  const char byte = static_cast<char>(sig);
  [[maybe_unused]] const ssize_t n = ::write(g_quitPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

void CatchQuitSignals() {
  if (g_quitPipe[0] >= 0 || ::pipe2(g_quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

void CloseOnQuitSignals(TfmMain& window) {
  CatchQuitSignals();
  if (g_quitPipe[0] < 0) {
    LogText("Error: SIGTERM and SIGHUP cannot be caught; they end the program unsaved");
    return;
  }
  QPointer<TfmMain> target(&window);
  // A signal that came before this point is in the pipe: the notifier sees it
  // as soon as the event loop runs.
  auto* notifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [target] {
    char bytes[16];
    bool any = false;
    while (::read(g_quitPipe[0], bytes, sizeof bytes) > 0) any = true;
    if (any && target) target->close();
  });

  auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (!application) return;
  QObject::connect(application, &QGuiApplication::commitDataRequest, &window,
                   [target](QSessionManager&) {
                     if (target) target->SaveState();
                   });
  QObject::connect(application, &QCoreApplication::aboutToQuit, &window, [target] {
    if (target) target->close();
  });
}

}  // namespace app
