// What the server and its connections share inside the stand-in.
#pragma once

#include <functional>

namespace plat::serversocket_detail {

// poll() on one descriptor for up to timeoutMs (< 0: no limit), resumed
// after signals with the time that is left. The revents, 0 on a time-out.
short PollOne(int fd, short events, int timeoutMs);

// The port a socket is bound to; 0 when it cannot be read.
int BoundPort(int fd);

// For tests: asked before each listening socket is bound; an error number
// it returns fails that bind as the system would. Empty: none.
using ListenRefusal = std::function<int(int family, int port)>;
void SetListenRefusal(ListenRefusal refusal);

}  // namespace plat::serversocket_detail
