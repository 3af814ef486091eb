// The preview web server: serves the project's local folder to a browser on
// this machine, with the page tags substituted exactly as an upload sends
// them. The main window owns the one instance and starts it on the folder
// of its path field.
//
// One request per connection, GET only, no header fields in the response:
// the end of the body is the close. Requests are for this machine's names
// only. Only the substitution step (the page parser reads the main window's
// fields and the variables) runs on the thread that made the server; the
// request is read by the server's accept thread, all clients at once, before
// the connection gets its own thread, which sends the file: so a slow client
// holds neither the window nor a connection thread. The accept thread also
// refuses the requests whose time ran out, and holds the connections whose
// answer is over and whose clients still send until those close.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serversocket/serversocket.h"

class TWebServer : public plat::TServerSocket {
 public:
  // Port 80, not listening.
  explicit TWebServer(plat::TComponent* owner);
  ~TWebServer() override;

  // Serves root from now on. A stopped server starts listening: the current
  // port first, then 8000, 8001 ... up to six attempts; when all fail it
  // stays stopped with port 8005, where the next Start begins. A listening
  // server keeps its port.
  void Start(const std::string& root);
  // The folder served to connections that begin from now on.
  std::string Root() const;

  // Bounds of one request; fixed in the program, shortened by tests.
  int IoTimeoutMs = 60000;       // each read and write of the connection
  int RequestTimeoutMs = 60000;  // the whole request, from the connection to its blank line
  std::size_t MaxRequestBytes = 8192;
  static constexpr int kMaxConnections = 32;

 private:
  plat::TServerClientThread* GetThread(plat::TServerClientWinSocket* socket);

  mutable std::mutex RootMutex_;
  std::string Root_;
};

// Serves one connection.
class TWebThread : public plat::TServerClientThread {
 public:
  TWebThread(plat::TServerClientWinSocket* socket, const TWebServer& server);
  ~TWebThread() override;

  std::unique_ptr<plat::TWinSocketStream> Stream;
  std::string Request;
  std::string Path;
  std::string Root;
  bool HeaderSent = false;

 protected:
  void ClientExecute() override;

 private:
  void ReadRequest();
  void ParseRequest();
  void SendHeader();
  void SendFile();
  void SendError(int status, const std::string& message);

  int IoTimeoutMs_;
  int RequestTimeoutMs_;
  std::size_t MaxRequestBytes_;
  int LocalPort_;  // the port the client came to, for its Host header
  // The request ended in time and within bounds: at its blank line, or where
  // the client stopped sending.
  bool Complete_ = false;
  bool TooLarge_ = false;
};

// Text for an HTML page: & < > " ' as entities.
std::string HtmlEscape(const std::string& text);

// True for a request path that may be looked up below the root: it starts
// with "/", holds no backslash and no control character, no ".." segment
// and no folder whose name starts with "." (the upload never sends those);
// a file of that name is fine, unless it is a save's temporary file.
bool ServablePath(const std::string& path);

// True when every Host header of the request names this machine:
// "localhost", "127.0.0.1" or "[::1]", any case, alone or with ":" and
// port. A request without one is taken as meant for us.
bool AddressedToThisMachine(const std::string& request, int port);
