#include "tests/support/wait.h"

#include <chrono>
#include <thread>

#include "platform/messaging/messaging.h"
#include "tests/support/loopback.h"

namespace testsupport {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const std::int64_t end = NowMs() + timeoutMs;
  while (!done()) {
    if (NowMs() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  const std::int64_t end = NowMs() + timeoutMs;
  while (!done()) {
    if (NowMs() >= end) return false;
    plat::MSG m;
    if (plat::PeekMessage(m, true)) {
      if (m.message != plat::WM_QUIT) plat::DispatchMessage(m);
    } else {
      // Wakes as soon as a message comes; the short limit keeps conditions
      // that other threads change without a message in sight.
      plat::WaitMessage(1);
    }
  }
  return true;
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
  plat::DrainMessages();
}

void Signal::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = true;
  changed_.notify_all();
}

bool Signal::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool Signal::Wait(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

}  // namespace testsupport
