#pragma once

namespace app {

// Lets worker threads reach the GUI thread: every call queued on the GUI
// thread's platform::CallQueue schedules a drain from the Qt event loop.
// Call on the GUI thread after the QApplication exists; calling again is harmless.
void InstallCallQueueDrain();

}  // namespace app
