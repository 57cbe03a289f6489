#pragma once

class TfmMain;

namespace app {

// SIGTERM and SIGHUP close the window as its close box does (settings saved,
// journal flushed, process ended). The handler only writes the signal's number
// to a pipe; the event loop reads it and closes the window there. The end of
// the desktop session saves the same way: commitDataRequest saves the settings
// and flushes the journal (the session may still be cancelled), aboutToQuit
// closes the window.
//
// CatchQuitSignals first, as soon as the application exists: a signal that
// comes before the window is ready waits in the pipe. CloseOnQuitSignals once
// the window is created.
void CatchQuitSignals();
void CloseOnQuitSignals(TfmMain& window);

}  // namespace app
