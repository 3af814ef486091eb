// Stand-in for the class library's thread-blocking server socket: a
// listening component with an accept thread, one thread per accepted
// connection running the program's ClientExecute, a blocking socket stream
// with a time-out, and the synchronised call that runs a step on the thread
// that created the server.
//
// The server listens on the loopback interface only (127.0.0.1, and ::1
// where the machine has it): the one program using it is a preview server
// for the local user, and nothing else should reach it.
//
// No Qt here: the synchronised call goes through the message queue's
// hand-over (RunOnThread), which the GUI programs drive from Qt's loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/classes/classes.h"
#include "platform/messaging/messaging.h"

namespace plat {

// A port that could not be opened.
class ESocketError : public Exception {
 public:
  using Exception::Exception;
};

// Raised by a synchronised call once the server is stopping: the step was
// not run and will not be.
class EThreadTerminated : public Exception {
 public:
  using Exception::Exception;
};

// One accepted connection, used by its own thread only, except Shutdown.
class TServerClientWinSocket {
 public:
  explicit TServerClientWinSocket(int fd);
  ~TServerClientWinSocket();
  TServerClientWinSocket(const TServerClientWinSocket&) = delete;
  TServerClientWinSocket& operator=(const TServerClientWinSocket&) = delete;

  // -1 once closed.
  int Handle() const;
  // The port the client reached us on; 0 once closed.
  int LocalPort() const;
  bool Connected() const { return Handle() >= 0; }
  // Ends the connection. Our side stops sending first and what the client
  // still sends is read and dropped for a moment: closing with unread bytes
  // would answer with a reset, which can destroy the response in flight.
  void Close();
  // Any thread: wakes every blocked read and write of the connection, which
  // then fail. The descriptor stays until Close, so it cannot be reused
  // under the owner's feet.
  void Shutdown();

  // Longest wait for the client's own close in Close.
  static constexpr int CloseLingerMs = 2000;

 private:
  mutable std::mutex Mutex_;
  int Fd_;
};

// Blocking reads and writes on a connection, each bounded by TimeOut.
class TWinSocketStream : public TStream {
 public:
  TWinSocketStream(TServerClientWinSocket& socket, int timeOutMs);

  // Up to count bytes; 0 when nothing arrived within TimeOut, the client
  // closed, or the connection failed.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  // Sends what the client takes, waiting up to TimeOut whenever it takes
  // nothing; returns the bytes sent (fewer than count on a time-out or a
  // failed connection, so WriteBuffer raises). Never raises SIGPIPE.
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  // A socket has no position or size: both raise EStreamError.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t newSize) override;
  // True when data (or the client's close) is there within timeoutMs.
  bool WaitForData(int timeoutMs);

  int TimeOut;

 private:
  TServerClientWinSocket& Socket_;
};

class TServerSocket;

// The work of one connection. The server makes one through OnGetThread for
// every accepted connection, runs ClientExecute on a thread of its own and
// frees it (and the socket) when that returns. Threads are kept for later
// connections, so a new one is made only while none is free.
//
// While the work says it waits for its client (SetAwaitingClient), the
// server may end the connection to make room: when every place is taken and
// another client is waiting to be accepted, the connection that has waited
// longest for its client goes (terminated, as on Close), so that clients
// sending nothing, or a byte now and then, cannot keep others out.
class TServerClientThread {
 public:
  explicit TServerClientThread(TServerClientWinSocket* socket);
  virtual ~TServerClientThread();
  TServerClientThread(const TServerClientThread&) = delete;
  TServerClientThread& operator=(const TServerClientThread&) = delete;

  TServerClientWinSocket* ClientSocket() const { return Socket_; }
  bool Terminated() const { return Terminated_.load(); }
  // Any thread: asks the work to end, gives up a synchronised step that has
  // not started, and shuts the connection down so that blocked I/O returns.
  void Terminate();

 protected:
  virtual void ClientExecute() = 0;
  // True while the connection waits for its client to send what the work
  // needs before it can go on (a request, say): a connection in that state
  // may be ended for a new client when all places are taken.
  void SetAwaitingClient(bool awaiting);
  // Runs step on the thread that created the server and waits for it; an
  // exception of the step is raised here. Raises EThreadTerminated, without
  // running the step, once the connection is terminated.
  void Synchronize(const std::function<void()>& step);

 private:
  friend class TServerSocket;
  struct SyncCall;
  // True when this connection's step is running on the calling thread,
  // that is, further down its own stack.
  bool StepRunningHere() const;

  TServerClientWinSocket* Socket_;
  std::atomic<bool> Terminated_{false};
  ThreadQueueId OwnerQueue_ = 0;
  std::thread::id OwnerThread_;
  // Set by the server before the work starts: tells it of SetAwaitingClient.
  std::function<void(bool)> AwaitingChanged_;
  mutable std::mutex Mutex_;  // guards Waiting_
  std::shared_ptr<SyncCall> Waiting_;
};

class TServerSocket : public TComponent {
 public:
  explicit TServerSocket(TComponent* owner);
  ~TServerSocket() override;

  int Port() const { return Port_; }
  // Takes effect at the next Open.
  void SetPort(int port) { Port_ = port; }
  bool Active() const { return Active_; }
  // true: Open; false: Close.
  void SetActive(bool active);
  // Starts listening on Port. Raises ESocketError when the port cannot be
  // had on the loopback interface; the server then stays closed.
  void Open();
  // Stops listening, terminates every connection and waits for their
  // threads, also while one of them waits for a synchronised step on this
  // very thread. A connection whose step is running further down this
  // thread's stack cannot be waited for: it ends on its own once the step
  // returns, and frees itself.
  void Close();

  // Connections served at once; further clients wait in the listen queue,
  // unless a connection waiting for its client makes room for them.
  int MaxConnections = 32;
  // How long a connection has waited for its client before it may be ended
  // for a new one: a client that has only just connected has had no time
  // to send anything.
  static constexpr int DropAfterMs = 20;
  // Makes the work for a new connection (null: the connection is closed).
  // Called on the server's accept thread.
  std::function<TServerClientThread*(TServerClientWinSocket* socket)> OnGetThread;

 private:
  struct Core;
  struct Conn;
  static void AcceptLoop(std::shared_ptr<Core> core);
  // At the limit, with a client waiting: ends the connection that has waited
  // longest for its own client (true), or waits a moment when one may go
  // soon (true), or gives up (false: only a connection's end frees a place).
  static bool MakeRoom(Core& core, std::unique_lock<std::mutex>& lock);
  static void Launch(const std::shared_ptr<Core>& core, int fd);
  static void WorkerLoop(std::shared_ptr<Core> core, std::size_t index);

  int Port_ = 0;
  bool Active_ = false;
  ThreadQueueId OwnerQueue_;
  std::thread::id OwnerThread_;
  std::shared_ptr<Core> Core_;
  std::thread AcceptThread_;
};

}  // namespace plat
