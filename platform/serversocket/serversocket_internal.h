// What the server and its connections share inside the stand-in.
#pragma once

namespace plat::serversocket_detail {

// poll() on one descriptor for up to timeoutMs (< 0: no limit), resumed
// after signals with the time that is left. The revents, 0 on a time-out.
short PollOne(int fd, short events, int timeoutMs);

// The port a socket is bound to; 0 when it cannot be read.
int BoundPort(int fd);

}  // namespace plat::serversocket_detail
