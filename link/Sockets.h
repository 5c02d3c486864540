#pragma once
// Non-blocking, event-driven TCP endpoints over POSIX sockets, with events delivered on the
// thread that owns the endpoint (the UI thread) through the Qt event loop.
//
// Why not Qt Network: it cannot tell a reset from a clean close, never refuses a send
// (it buffers without limit) and does not raise a read event again for data left unread.
// The link's behaviour keys on exactly those, so this layer presents them:
//  - errors are reported as Windows Sockets numbers (10053 aborted, 10054 reset, 10060
//    timed out, 10061 refused ...) because the handlers decide by those numbers;
//  - a peer's clean close is a disconnect, never an error; a reset is an error and the
//    connection then stays "connected" until the owner closes it;
//  - Close() of a connected endpoint raises the disconnect event before it returns;
//  - a read event is raised again (from the event loop, not recursively) while received
//    bytes remain unread, and the disconnect of a closed peer comes after all its data;
//  - SendBuf returns -1 when the kernel buffer is full; a write event follows once the
//    peer has read enough.
//  - a peer that vanishes without a word (power cut, pulled cable) is found dead as the
//    endpoint's TPeerWatch says (link/PeerWatch.h), idle or with bytes in flight, and
//    reported by the error event, 10060, like any other failure; one that only stops
//    reading is never cut.
// Handlers absorb errors: nothing is raised past the error event.
//
// Choices made where Windows Sockets and POSIX part ways:
//  - EPIPE (a send on a connection the peer has already torn down) is reported as 10054:
//    on Linux it only follows a reset whose own error was already taken.
//  - An errno with no Windows Sockets counterpart is reported as 10050 (WSAENETDOWN), a
//    plain failure that no handler treats specially.
//  - A read handler that takes nothing while bytes wait is not called again in a loop (that
//    would spin); the event comes back once ReceiveBuf is called, as with FD_READ.
//  - A failed connection attempt gives up its descriptor at once (so the kernel stops
//    retrying); the endpoint stays Active until Close() or the next Open().
//  - Closing a connection first discards received bytes nobody read: closing a socket with
//    unread data makes the kernel send a reset and drop our unsent data instead of a FIN.
//  - An accepted connection that raised its error event is released silently right after
//    the handler returns (no disconnect event: the handler has already decided what the
//    failure means). Its object is deleted later, from the event loop, never while one of
//    its events is on the stack.
//  - After an error, a connection is dead: SendBuf returns -1 without raising the error a
//    second time and ReceiveBuf returns 0, until Close().

#include "link/ClientSocket.h"
#include "link/Connection.h"
#include "link/ServerSocket.h"
#include "link/SocketErrors.h"
