#include "app/GuiCallQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "platform/CallQueue.h"

namespace app {

void InstallCallQueueDrain() {
  std::shared_ptr<platform::CallQueue> queue = platform::CallQueue::Current();
  // The waker runs on the calling worker thread; it captures this queue (weakly:
  // the queue holds the waker) instead of asking for the current thread's one.
  std::weak_ptr<platform::CallQueue> weak = queue;
  queue->SetWaker([weak] {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) return;
    QMetaObject::invokeMethod(
        application,
        [weak] {
          if (auto q = weak.lock()) q->Drain();
        },
        Qt::QueuedConnection);
  });
}

}  // namespace app
