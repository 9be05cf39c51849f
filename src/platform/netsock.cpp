#include "platform/netsock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum { kPollMax = 64 };

int bind_listen(int family, uint16_t port, int backlog, int* fd_out) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int one = 1, zero = 0;
  // Connections this side closed linger in TIME_WAIT; they must not keep a restart off the port.
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int r;
  if (family == AF_INET6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    r = bind(fd, (const sockaddr*)&a, sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    r = bind(fd, (const sockaddr*)&a, sizeof a);
  }
  if (r != 0 || listen(fd, backlog) != 0 || netsock_set_nonblocking(fd, true) != 0) {
    int e = errno;
    close(fd);
    return e ? e : EIO;
  }
  *fd_out = fd;
  return 0;
}

}  // namespace

int netsock_listen(uint16_t port, int backlog, NetSock* out) {
  *out = NETSOCK_NONE;
  int fd = -1;
  if (bind_listen(AF_INET6, port, backlog, &fd) != 0) {
    int e = bind_listen(AF_INET, port, backlog, &fd);
    if (e != 0) return e;
  }
  *out = fd;
  return 0;
}

uint16_t netsock_local_port(NetSock s) {
  sockaddr_storage a{};
  socklen_t n = sizeof a;
  if (getsockname((int)s, (sockaddr*)&a, &n) != 0) return 0;
  if (a.ss_family == AF_INET6) return ntohs(((sockaddr_in6*)&a)->sin6_port);
  if (a.ss_family == AF_INET) return ntohs(((sockaddr_in*)&a)->sin_port);
  return 0;
}

int netsock_accept(NetSock listener, NetSock* out) {
  *out = NETSOCK_NONE;
  int fd = accept4((int)listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
      return 0;
    return NETSOCK_ERROR;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  *out = fd;
  return 1;
}

int netsock_connect(const char* host, uint16_t port, int rcvbuf, NetSock* out) {
  *out = NETSOCK_NONE;
  char service[8];
  snprintf(service, sizeof service, "%u", (unsigned)port);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  if (fd < 0) return -1;
  *out = fd;
  return 0;
}

int netsock_set_nonblocking(NetSock s, bool on) {
  int flags = fcntl((int)s, F_GETFL, 0);
  if (flags < 0) return -1;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl((int)s, F_SETFL, flags) == 0 ? 0 : -1;
}

long netsock_send(NetSock s, const void* data, size_t size) {
  for (;;) {
    ssize_t r = send((int)s, data, size, MSG_NOSIGNAL);
    if (r >= 0) return (long)r;
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? NETSOCK_WOULD_BLOCK : NETSOCK_ERROR;
  }
}

long netsock_recv(NetSock s, void* data, size_t size) {
  for (;;) {
    ssize_t r = recv((int)s, data, size, 0);
    if (r >= 0) return (long)r;
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? NETSOCK_WOULD_BLOCK : NETSOCK_ERROR;
  }
}

int netsock_poll(const NetSock* socks, int n, int timeout_ms, bool* readable, bool* writable) {
  if (n < 0 || n > kPollMax) return -1;
  pollfd fds[kPollMax];
  for (int i = 0; i < n; i++) {
    fds[i].fd = (int)socks[i];
    fds[i].events = POLLIN | ((writable && writable[i]) ? POLLOUT : 0);
    fds[i].revents = 0;
  }
  int r;
  do {
    r = poll(fds, (nfds_t)n, timeout_ms);
  } while (r < 0 && errno == EINTR);
  for (int i = 0; i < n; i++) {
    // An error or a hang-up reads as readable: the read then tells which.
    if (readable) readable[i] = r > 0 && (fds[i].revents & (POLLIN | POLLERR | POLLHUP));
    if (writable) writable[i] = r > 0 && (fds[i].revents & (POLLOUT | POLLERR | POLLHUP));
  }
  return r;
}

void netsock_shutdown_send(NetSock s) {
  if (s >= 0) shutdown((int)s, SHUT_WR);
}

void netsock_abort(NetSock s) {
  if (s < 0) return;
  linger l{1, 0};
  setsockopt((int)s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close((int)s);
}

void netsock_close(NetSock s) {
  if (s >= 0) close((int)s);
}

int netsock_error() {
  return errno;
}
