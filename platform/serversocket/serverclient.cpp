// The server's connections: the socket of one client, the blocking stream
// over it, and the thread base whose steps run on the program's own thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>

#include "platform/fs/fs.h"
#include "platform/serversocket/serversocket.h"
#include "platform/serversocket/serversocket_internal.h"

namespace plat {

namespace serversocket_detail {

// poll() on one descriptor for up to timeoutMs (< 0: no limit), resumed
// after signals with the time that is left. The revents, 0 on a time-out.
short PollOne(int fd, short events, int timeoutMs) {
  std::int64_t deadline = TickMs() + timeoutMs;
  for (;;) {
    pollfd p{fd, events, 0};
    int wait = timeoutMs < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, deadline - TickMs()));
    int r = ::poll(&p, 1, wait);
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

int BoundPort(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

}  // namespace serversocket_detail

using serversocket_detail::BoundPort;
using serversocket_detail::PollOne;

// ---- the connection ----------------------------------------------------------------

TServerClientWinSocket::TServerClientWinSocket(int fd)
    : Fd_(fd), ConnectedAt_(TickMs()), LastReceivedAt_(ConnectedAt_) {}

TServerClientWinSocket::~TServerClientWinSocket() {
  if (Fd_ >= 0) ::close(Fd_);
  if (Closed_ >= 0) ::close(Closed_);
}

int TServerClientWinSocket::Handle() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Fd_;
}

int TServerClientWinSocket::LocalPort() const {
  int fd = Handle();
  return fd < 0 ? 0 : BoundPort(fd);
}

void TServerClientWinSocket::NoteReceived() { LastReceivedAt_.store(TickMs()); }

void TServerClientWinSocket::Close() {
  std::lock_guard<std::mutex> lock(Mutex_);
  if (Fd_ < 0) return;
  ::shutdown(Fd_, SHUT_WR);
  Closed_ = Fd_;
  Fd_ = -1;
}

int TServerClientWinSocket::TakeForClosing() {
  std::lock_guard<std::mutex> lock(Mutex_);
  if (Fd_ >= 0) {
    ::shutdown(Fd_, SHUT_WR);
    Closed_ = Fd_;
  }
  int fd = Closed_;
  Fd_ = Closed_ = -1;
  return fd;
}

void TServerClientWinSocket::Shutdown() {
  std::lock_guard<std::mutex> lock(Mutex_);
  if (Fd_ >= 0) ::shutdown(Fd_, SHUT_RDWR);
}

// ---- the stream -------------------------------------------------------------------

TWinSocketStream::TWinSocketStream(TServerClientWinSocket& socket, int timeOutMs)
    : TimeOut(timeOutMs), Socket_(socket) {}

bool TWinSocketStream::WaitForData(int timeoutMs) {
  if (!Socket_.Unread_.empty()) return true;
  int fd = Socket_.Handle();
  return fd >= 0 && (PollOne(fd, POLLIN, timeoutMs) & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::int64_t TWinSocketStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  std::string& ahead = Socket_.Unread_;
  if (!ahead.empty()) {
    std::size_t n = std::min(ahead.size(), static_cast<std::size_t>(count));
    std::memcpy(buffer, ahead.data(), n);
    ahead.erase(0, n);
    return static_cast<std::int64_t>(n);
  }
  int fd = Socket_.Handle();
  if (fd < 0) return 0;
  std::int64_t deadline = TickMs() + TimeOut;
  for (;;) {
    std::int64_t left = deadline - TickMs();
    if (left < 0 || !WaitForData(static_cast<int>(left))) return 0;
    ssize_t n = ::recv(fd, buffer, static_cast<std::size_t>(count), MSG_DONTWAIT);
    if (n > 0) {
      Socket_.NoteReceived();
      return n;
    }
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) return 0;
  }
}

std::int64_t TWinSocketStream::Write(const void* buffer, std::int64_t count) {
  int fd = Socket_.Handle();
  if (fd < 0) return 0;
  const char* p = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    ssize_t n = ::send(fd, p + done, static_cast<std::size_t>(count - done), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (PollOne(fd, POLLOUT, TimeOut) & POLLOUT) continue;
    }
    break;
  }
  return done;
}

std::int64_t TWinSocketStream::Seek(std::int64_t, TSeekOrigin) { throw EStreamError("A socket stream cannot seek"); }

void TWinSocketStream::SetSize(std::int64_t) { throw EStreamError("A socket stream has no size"); }

// ---- the connection's work -------------------------------------------------------------

struct TServerClientThread::SyncCall {
  enum State { Pending, Running, Done, Abandoned };
  std::mutex Mutex;
  std::condition_variable Cv;
  State St = Pending;
  const std::function<void()>* Step = nullptr;  // touched only while Running
  std::exception_ptr Error;
};

TServerClientThread::TServerClientThread(TServerClientWinSocket* socket) : Socket_(socket) {}

TServerClientThread::~TServerClientThread() = default;

void TServerClientThread::Terminate() {
  Terminated_.store(true);
  std::shared_ptr<SyncCall> call;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    call = Waiting_;
  }
  if (call) {
    std::lock_guard<std::mutex> lock(call->Mutex);
    if (call->St == SyncCall::Pending) call->St = SyncCall::Abandoned;
    call->Cv.notify_all();
  }
  if (Socket_) Socket_->Shutdown();
}

bool TServerClientThread::StepRunningHere() const {
  if (std::this_thread::get_id() != OwnerThread_) return false;
  std::shared_ptr<SyncCall> call;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    call = Waiting_;
  }
  if (!call) return false;
  std::lock_guard<std::mutex> lock(call->Mutex);
  return call->St == SyncCall::Running;
}

void TServerClientThread::Synchronize(const std::function<void()>& step) {
  if (std::this_thread::get_id() == OwnerThread_) {
    step();
    return;
  }
  auto call = std::make_shared<SyncCall>();
  call->Step = &step;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Terminated_.load()) throw EThreadTerminated("The server is stopping");
    Waiting_ = call;
  }
  struct Forget {
    TServerClientThread* self;
    ~Forget() {
      std::lock_guard<std::mutex> lock(self->Mutex_);
      self->Waiting_.reset();
    }
  } forget{this};

  // The step may be given up while it waits in the queue; the task then
  // finds it abandoned and leaves it alone.
  bool posted = RunOnThread(OwnerQueue_, [call] {
    {
      std::lock_guard<std::mutex> lock(call->Mutex);
      if (call->St != SyncCall::Pending) return;
      call->St = SyncCall::Running;
    }
    try {
      (*call->Step)();
    } catch (...) {
      call->Error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(call->Mutex);
    call->St = SyncCall::Done;
    call->Cv.notify_all();
  });
  if (!posted) throw EThreadTerminated("The server's own thread has ended");

  std::unique_lock<std::mutex> lock(call->Mutex);
  call->Cv.wait(lock, [&] { return call->St == SyncCall::Done || call->St == SyncCall::Abandoned; });
  if (call->St == SyncCall::Abandoned) throw EThreadTerminated("The server is stopping");
  // Taken out of the call, so that this thread holds the error's last
  // reference: the owner may drop the call while the error is still being
  // handled here.
  std::exception_ptr error = std::move(call->Error);
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

}  // namespace plat
