// Waiting, connecting and resolving for our FTP client. Every wait polls
// together with the call's wake-up descriptor, so that a cancel from another
// thread ends it at once, and tells the caller about every 50 ms that it
// still waits (INTERNET_STATUS_WAITING), so that the caller can pump.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/inet/ftpproto.h"

namespace plat::ftpproto::net {

enum class WaitResult { Ready, Cancelled, TimedOut };

// Waits until one of `fds` (at most three) gets an event, the call is
// cancelled or the deadline passes; the events land in `fds`.
WaitResult WaitAny(CallSink& sink, pollfd* fds, int n, std::int64_t deadline);
WaitResult WaitOne(CallSink& sink, int fd, short events, std::int64_t deadline);
// Now plus `ms` (60 s when not positive), on the tick clock.
std::int64_t Deadline(int ms);
// ERROR_INTERNET_OPERATION_CANCELLED or ERROR_INTERNET_TIMEOUT.
DWORD WaitError(WaitResult w);

// Sends all of it on a non-blocking socket. 0, or an error code.
DWORD SendAll(CallSink& sink, int fd, const char* data, std::size_t len, int timeoutMs);

std::string AddressText(const sockaddr* a);
void SetPort(sockaddr_storage& a, int port);
int GetPort(const sockaddr_storage& a);
bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b);
socklen_t LenOf(const sockaddr_storage& a);

// Non-blocking connect bounded by `timeoutMs`. 0, ERROR_INTERNET_CANNOT_CONNECT,
// ERROR_INTERNET_TIMEOUT or ERROR_INTERNET_OPERATION_CANCELLED.
DWORD ConnectTo(CallSink& sink, const sockaddr_storage& addr, int timeoutMs, int& fdOut);

// The addresses of `host` (a name or an address literal, IPv6 in brackets
// or not), bounded by `timeoutMs` and cancellable. 0 or an error code.
DWORD Resolve(CallSink& sink, const std::string& host, int timeoutMs, std::vector<sockaddr_storage>& out);

}  // namespace plat::ftpproto::net
