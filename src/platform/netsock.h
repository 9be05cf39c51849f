// Small TCP socket layer: a dual-stack listener, non-blocking connections, readiness polling.
// A Windows side would implement the same functions over Winsock (WSAStartup once, ioctlsocket
// FIONBIO, WSAEWOULDBLOCK for "would block").
#pragma once
#include <cstddef>
#include <cstdint>

typedef intptr_t NetSock;
enum : intptr_t { NETSOCK_NONE = -1 };
// send/recv results beside byte counts.
enum { NETSOCK_ERROR = -1, NETSOCK_WOULD_BLOCK = -2 };

// A non-blocking listener on port (0: any free one) for both IPv6 and IPv4: an IPv6 socket with
// IPV6_V6ONLY off on the wildcard address, else an IPv4 socket on 0.0.0.0. 0 with *out set, or
// the IPv4 bind's (or listen's) system error with *out NETSOCK_NONE.
int netsock_listen(uint16_t port, int backlog, NetSock* out);
// The port a socket is bound to locally; 0 when unknown.
uint16_t netsock_local_port(NetSock s);
// 1 with *out a non-blocking connection with TCP_NODELAY, 0 when none is waiting, or NETSOCK_ERROR.
int netsock_accept(NetSock listener, NetSock* out);
// A blocking connection to host:port (names resolved, every address tried); rcvbuf > 0 shrinks
// the receive buffer before connecting. 0 with *out set, or -1.
int netsock_connect(const char* host, uint16_t port, int rcvbuf, NetSock* out);
int netsock_set_nonblocking(NetSock s, bool on);
// Bytes sent (never raises SIGPIPE), NETSOCK_WOULD_BLOCK or NETSOCK_ERROR.
long netsock_send(NetSock s, const void* data, size_t size);
// Bytes received, 0 when the peer closed, NETSOCK_WOULD_BLOCK or NETSOCK_ERROR.
long netsock_recv(NetSock s, void* data, size_t size);
// Waits up to timeout_ms (-1 forever) until one of the n sockets is readable (or, where
// writable is given, writable when writable[i] is set on entry). readable[i] (and writable[i])
// tell which on return. The number ready, 0 on time out, -1 on error.
int netsock_poll(const NetSock* socks, int n, int timeout_ms, bool* readable, bool* writable);
// No more sending; the peer reads an end after what was sent.
void netsock_shutdown_send(NetSock s);
// Closes at once, dropping what was not sent (a reset).
void netsock_abort(NetSock s);
void netsock_close(NetSock s);
// The last socket error of this thread.
int netsock_error();
