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
// A server may have the start of what each client sends read before the
// connection gets a thread (OnHeadComplete): the accept thread reads all
// such clients at once, so clients that send slowly, or nothing, hold no
// thread and keep nobody else waiting. A connection whose answer is over is
// closed by its thread at once when its client has sent nothing more; one
// whose client still sends is held by the accept thread until the client
// closes, so such a client holds no thread either.
//
// No Qt here: the synchronised call goes through the message queue's
// hand-over (RunOnThread), which the GUI programs drive from Qt's loop.
#pragma once

#include <atomic>
#include <cstddef>
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
  // Accepted now (TickMs).
  explicit TServerClientWinSocket(int fd);
  ~TServerClientWinSocket();
  TServerClientWinSocket(const TServerClientWinSocket&) = delete;
  TServerClientWinSocket& operator=(const TServerClientWinSocket&) = delete;

  // -1 once closed.
  int Handle() const;
  // The port the client reached us on; 0 once closed.
  int LocalPort() const;
  // When the connection was accepted, and when the client last sent
  // anything (the accept until then), on the TickMs clock.
  std::int64_t ConnectedAt() const { return ConnectedAt_; }
  std::int64_t LastReceivedAt() const { return LastReceivedAt_.load(); }
  bool Connected() const { return Handle() >= 0; }
  // Ends the connection for its work, at once: our side stops sending. When
  // the work returns, the connection is closed, or, while the client still
  // sends, the server's accept thread reads and drops what comes until the
  // client closes or the server's CloseLingerMs are up (closing with unread
  // bytes would answer with a reset, which can destroy the response in
  // flight). No thread waits for that.
  void Close();
  // Any thread: wakes every blocked read and write of the connection, which
  // then fail. The descriptor stays until Close, so it cannot be reused
  // under the owner's feet.
  void Shutdown();

 private:
  friend class TServerSocket;
  friend class TWinSocketStream;
  void NoteReceived();
  // The descriptor, shut down for writing, for the server to close; the
  // socket keeps none.
  int TakeForClosing();

  mutable std::mutex Mutex_;
  int Fd_;
  int Closed_ = -1;  // after Close, until the server takes it
  std::int64_t ConnectedAt_;
  std::atomic<std::int64_t> LastReceivedAt_;
  // What the server read before the work began; the stream gives it first.
  std::string Unread_;
};

// Blocking reads and writes on a connection, each bounded by TimeOut.
class TWinSocketStream : public TStream {
 public:
  TWinSocketStream(TServerClientWinSocket& socket, int timeOutMs);

  // Up to count bytes (those the server read ahead first); 0 when nothing
  // arrived within TimeOut, the client closed, or the connection failed.
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
// connections; a connection that finds no idle thread of its own gets a new
// one while there are fewer than MaxConnections.
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

  // Connections served at once; further clients wait in the listen queue
  // (with OnHeadComplete: in the server, their heads read, up to
  // MaxPendingClients).
  int MaxConnections = 32;
  // Makes the work for a new connection (null: the connection is closed).
  // Called on the server's accept thread, as the connection is accepted.
  std::function<TServerClientThread*(TServerClientWinSocket* socket)> OnGetThread;

  // Set: what a new client sends is read on the accept thread, without a
  // thread of its own, until OnHeadComplete says the work can go on with
  // the bytes so far, the client stops sending (closes or fails), they
  // reach HeadMaxBytes, the client has sent nothing for HeadIdleMs, or
  // HeadDeadlineMs have passed since it connected. Then the connection
  // waits for its thread, and the work's stream gives those bytes first.
  // Called on the accept thread.
  std::function<bool(const std::string& received)> OnHeadComplete;
  int HeadIdleMs = 60000;
  int HeadDeadlineMs = 60000;
  std::size_t HeadMaxBytes = 8192;
  // Clients read that way or waiting for a thread, at most. Beyond it the
  // client whose head has been incomplete the longest is closed for a new
  // one; when none is incomplete, new clients wait in the listen queue.
  int MaxPendingClients = 512;
  // With OnHeadComplete: the answer to a client whose head is still
  // incomplete when its time is up (HeadIdleMs, HeadDeadlineMs). The accept
  // thread sends it without waiting and closes the connection (at once when
  // the client cannot take it all), so such a client never waits for a
  // thread behind complete requests. Unset: it waits for its thread with
  // what it sent, as the others do.
  std::function<std::string(const std::string& received)> OnHeadExpired;
  // Longest time a connection whose answer is over, and whose client still
  // sends, is held for the client's own close, on the accept thread.
  int CloseLingerMs = 2000;
  // Descriptors left to the rest of the process, the connections' files
  // above all: the clients the server holds (being read, waiting, served or
  // closing) stay below the process's limit of open files less this and
  // less what was open when the server started. Under a limit too small for
  // that, about half of what is left is kept instead. Beyond, the head that
  // has been silent the longest is closed for a new client, once it has
  // been silent for a second; else the connection that has been closing
  // the longest; with neither, new clients wait in the listen queue.
  int DescriptorReserve = 96;

 private:
  struct Core;
  struct Conn;
  struct Held;
  static void AcceptLoop(std::shared_ptr<Core> core);
  // The work for an accepted connection; null when there is none.
  static std::shared_ptr<Conn> MakeWork(const std::shared_ptr<Core>& core, int fd);
  // Hands the connection to a worker, making one while there are fewer
  // than the limit and more connections wait than workers are idle.
  static void Enqueue(const std::shared_ptr<Core>& core, std::shared_ptr<Conn> conn);
  static void WorkerLoop(std::shared_ptr<Core> core, std::size_t index);
  // Wakes the accept thread: a connection was handed back, or stopping.
  static void Wake(const std::shared_ptr<Core>& core);

  int Port_ = 0;
  bool Active_ = false;
  ThreadQueueId OwnerQueue_;
  std::thread::id OwnerThread_;
  std::shared_ptr<Core> Core_;
  std::thread AcceptThread_;
};

}  // namespace plat
