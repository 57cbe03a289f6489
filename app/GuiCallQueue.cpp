#include "app/GuiCallQueue.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdint>
#include <memory>

#include "platform/CallQueue.h"

namespace app {
namespace {

// The wake-up line from worker threads to the event loop: an eventfd the loop
// watches. Posting needs no allocation and no object that crosses threads, a
// burst of calls costs one wake-up, and the hand-over is a plain write/read
// pair that race checkers can follow (a queued Qt call synchronises inside Qt,
// where they cannot see).
struct WakeFd {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~WakeFd() {
    if (fd >= 0) ::close(fd);
  }
  void Wake() const {
    const uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  void Clear() const {
    uint64_t count;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
};

std::weak_ptr<platform::CallQueue> g_installedFor;
QCoreApplication* g_installedIn = nullptr;

}  // namespace

void InstallCallQueueDrain() {
  std::shared_ptr<platform::CallQueue> queue = platform::CallQueue::Current();
  QCoreApplication* application = QCoreApplication::instance();
  if (!application || (g_installedFor.lock() == queue && g_installedIn == application)) return;
  auto wake = std::make_shared<WakeFd>();
  if (wake->fd < 0) qFatal("cannot create the event loop's wake-up descriptor: errno %d", errno);
  // Owned by the application object; the descriptor lives on in the waker for
  // any late worker, whose wake-up then simply goes unread.
  auto* notifier = new QSocketNotifier(wake->fd, QSocketNotifier::Read, application);
  std::weak_ptr<platform::CallQueue> weak = queue;  // the queue holds the waker
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [wake, weak] {
    wake->Clear();
    if (auto q = weak.lock()) q->Drain();
  });
  queue->SetWaker([wake] { wake->Wake(); });
  g_installedFor = queue;
  g_installedIn = application;
}

}  // namespace app
