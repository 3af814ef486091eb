// Lets Qt's event loop drive our message queue: one socket notifier on the
// thread's epoll descriptor and one single-shot timer for our nearest timer.
#pragma once

namespace plat {

// Installs the bridge on the calling (GUI) thread, after QApplication exists.
// Also installs the "process messages" hook: Qt's processEvents plus a drain
// of our queue. Safe to call more than once.
void InstallQtBridge();
void RemoveQtBridge();

}  // namespace plat
