// Waiting in tests for something to happen, rather than sleeping a fixed
// time and hoping it has: a condition polled with a generous deadline, the
// same while dispatching the test thread's messages, and a one-shot signal
// by which one thread tells another that it got somewhere.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace testsupport {

// How long a test waits for what should come soon. Only a failing test
// waits this long, so it is generous enough for a slow, loaded machine.
constexpr int kPatienceMs = 30000;

// Polls done() until it holds or timeoutMs pass; true when it held.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kPatienceMs);

// Dispatches the calling thread's posted messages one by one (a quit
// message is dropped) until done() holds or timeoutMs pass; true when it
// held.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = kPatienceMs);

// The window in which something must NOT happen, given after the event that
// would cause it: dispatches the thread's messages for ms milliseconds, then
// whatever is waiting by then, however late the thread got to run.
void PumpFor(int ms);

// Set once by one thread, waited for by another.
class Signal {
 public:
  void Set();
  bool IsSet() const;
  // True once Set() has been called; false when timeoutMs passed first.
  bool Wait(int timeoutMs = kPatienceMs) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace testsupport
