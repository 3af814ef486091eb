#include "platform/qt/qtbridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/messaging/messaging.h"

namespace plat {

namespace {

// A batch is bounded so that painting and input are never starved by a
// flood of socket messages; remaining work is picked up on the next turn.
constexpr int kBatch = 256;

class Bridge : public QObject {
 public:
  Bridge() {
    notifier_ = new QSocketNotifier(ThreadEpollFd(), QSocketNotifier::Read, this);
    QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] { Run(); });
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    QObject::connect(timer_, &QTimer::timeout, this, [this] { Run(); });
    again_ = new QTimer(this);
    again_->setSingleShot(true);
    again_->setInterval(0);
    QObject::connect(again_, &QTimer::timeout, this, [this] { Run(); });
    again_->start();
    QCoreApplication::instance()->installEventFilter(this);
  }

  // Qt ends the program by itself too (the last window closed, quit()): a
  // wait must see that end as it sees a quit taken by our loop. The quit is
  // handled here first, so that one a window refused does not count. Every
  // object's events pass here, the web engine's too, which may carry no
  // type information: only the application's own are looked at.
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched != QCoreApplication::instance() || inQuit_ || e->type() != QEvent::Quit) return false;
    inQuit_ = true;
    watched->event(e);
    inQuit_ = false;
    if (e->isAccepted()) NoteProgramEnding();
    return true;
  }

  void Run() {
    if (running_) return;  // a handler pumping re-entrantly drains itself
    running_ = true;
    bool more = DispatchBatch(kBatch);
    running_ = false;
    int code = 0;
    if (TakeQuitRequest(code)) QCoreApplication::exit(code);
    if (more) {
      again_->start();
    }
    Plan();
  }

  void Plan() {
    int ms = MsUntilNextTimer();
    if (ms < 0) {
      timer_->stop();
    } else {
      timer_->start(ms);
    }
  }

 private:
  QSocketNotifier* notifier_ = nullptr;
  QTimer* timer_ = nullptr;
  QTimer* again_ = nullptr;
  bool running_ = false;
  bool inQuit_ = false;
};

Bridge* g_bridge = nullptr;

}  // namespace

void InstallQtBridge() {
  if (g_bridge) return;
  g_bridge = new Bridge();
  SetProcessMessagesHook([] {
    QCoreApplication::processEvents();
    DrainMessages();
    if (g_bridge) g_bridge->Plan();
  });
  // Waiting in Qt's loop keeps the windows painted and our queue served
  // (its notifier and timer are Qt events too) while a caller waits.
  SetWaitForMessagesHook([](int timeoutMs) {
    if (PendingMessageCount() > 0 || WaitMessage(0)) return;
    QTimer limit;
    limit.setSingleShot(true);
    if (timeoutMs >= 0) limit.start(timeoutMs);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  });
}

void RemoveQtBridge() {
  SetProcessMessagesHook(nullptr);
  SetWaitForMessagesHook(nullptr);
  delete g_bridge;
  g_bridge = nullptr;
}

}  // namespace plat
