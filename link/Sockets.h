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

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QHostAddress;
class QSocketNotifier;
class QTimer;

namespace vsp {

// Windows Sockets error numbers: the ones handlers decide by, and those an errno maps to.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAHOST_NOT_FOUND = 11001;

// errno of a failed socket call, as the Windows Sockets number.
int WsaErrorFromErrno(int err);

class TCustomWinSocket;
class TClientSocket;
class TServerSocket;

using TSocketNotifyEvent = std::function<void(TCustomWinSocket* socket)>;
using TSocketErrorEvent = std::function<void(TCustomWinSocket* socket, int errorCode)>;

// One TCP connection: the client endpoint's, or one accepted by a server endpoint.
class TCustomWinSocket : public QObject {
    Q_OBJECT
public:
    ~TCustomWinSocket() override;

    // Up to count bytes; 0 when nothing is waiting (would block, closed or failed; a close
    // or failure found here is reported by its own event after the current handler).
    int ReceiveBuf(void* buffer, int count);
    // Bytes waiting to be received.
    int ReceiveLength() const;
    // Bytes the kernel accepted, or -1: would block (a write event follows when there is
    // room), or failed (the error event has already been raised, before SendBuf returns).
    int SendBuf(const void* buffer, int count);

    // The connection's lock, held around a send by the relay. Everything runs on the UI
    // thread, so it never waits; it is there so the sends stay serialised should that change.
    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }

    // From the connect (or accept) event until the disconnect event.
    bool Connected() const { return connected_; }
    // Closes the connection; if it was connected, the disconnect event is raised before
    // Close returns.
    void Close();

    QString RemoteAddress() const;
    int RemotePort() const;
    int Handle() const { return fd_; }

    // Where the events go: the owning endpoint dispatches to its handlers.
    TSocketNotifyEvent OnDisconnect, OnRead, OnWrite, OnConnect;
    TSocketErrorEvent OnError;

private:
    friend class TClientSocket;
    friend class TServerSocket;
    explicit TCustomWinSocket(QObject* parent);

    bool Live() const { return fd_ >= 0 && connected_ && !dead_; }
    bool Raise(TSocketNotifyEvent TCustomWinSocket::*event);
    void ClearHandlers();
    void AttachAccepted(int fd);
    void StartConnect(const QString& host, int port, int timeoutMs);
    void ConnectTo(const QHostAddress& address, int port);
    void FailConnectLater(int code);
    void FinishConnect(int code); // 0: connected
    void Release(); // drops the descriptor without any event
    void RaiseError(int code);
    void ScheduleRead();
    void Service();
    void OnReadable();
    void OnWritable();
    void OnConnectProgress();

    int fd_ = -1;
    std::uint64_t gen_ = 0; // bumped by every release, so queued work of an old descriptor is void
    bool connected_ = false;
    bool connecting_ = false;
    bool failed_ = false; // connection attempt failed, not yet closed
    bool dead_ = false; // failed: notifiers off, waiting for Close
    bool readScheduled_ = false;
    bool inRead_ = false;
    // What the current read handler's last ReceiveBuf found.
    enum LastRead { ReadNone, ReadFull, ReadDrained };
    LastRead lastRead_ = ReadNone;
    // The receive that tells data from a close or a failure; it goes to the next ReceiveBuf.
    // The size of the relay's block, which then takes it in one piece.
    char ahead_[512];
    int aheadLen_ = 0;
    int aheadOff_ = 0;
    bool aheadFull_ = false; // that receive filled ahead_: more may wait in the kernel
    bool parked_ = false; // bytes wait, but the last handler took none
    int pendingError_ = 0;
    bool pendingEof_ = false;
    QString remoteAddress_;
    int remotePort_ = 0;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer* connectTimer_ = nullptr;
    std::mutex mutex_;
};

// The client endpoint: one connection to Host:Port at a time.
class TClientSocket : public QObject {
    Q_OBJECT
public:
    explicit TClientSocket(QObject* parent = nullptr);
    ~TClientSocket() override;

    QString Host; // dotted IPv4 text, or a name that is looked up without blocking
    int Port = 0; // outside 1..65535 the attempt ends in an error event (0: 10049, else 10022)
    // A connect not answered in time ends with 10060 (0 or less: only the kernel's own limit).
    int ConnectTimeoutMs = 21000;

    // Starts a new connection attempt (raising the connecting event first) unless the
    // endpoint is connected; an earlier failed or pending attempt is dropped.
    void Open();
    // If connected: closes and raises the disconnect event before returning. A pending or
    // failed attempt is dropped silently.
    void Close();
    // Connecting (name lookup included), connected, or failed and not yet closed.
    bool Active() const;
    // An attempt is under way (name lookup included) and has not ended yet.
    bool Connecting() const;
    bool Connected() const { return socket_->Connected(); }
    TCustomWinSocket* Socket() const { return socket_; }

    TSocketNotifyEvent OnConnecting, OnConnect, OnDisconnect, OnRead, OnWrite;
    TSocketErrorEvent OnError;

private:
    TCustomWinSocket* socket_;
};

// The listening endpoint; every accepted connection raises its own events through the
// OnClient* handlers.
class TServerSocket : public QObject {
    Q_OBJECT
public:
    explicit TServerSocket(QObject* parent = nullptr);
    ~TServerSocket() override;

    int Port = 0; // listens on all local addresses

    // Starts listening; on failure returns the Windows Sockets error number (0 on success).
    int Open(); // when already listening: nothing, 0
    // Stops listening and closes every accepted connection without their disconnect events.
    void Close();
    bool Active() const { return listenFd_ >= 0; }
    int LocalPort() const; // the bound port (useful when Port is 0)
    int ActiveConnections() const { return int(connections_.size()); }
    TCustomWinSocket* Connections(int index) const { return connections_.at(size_t(index)); }

    TSocketNotifyEvent OnClientConnect; // accepted
    TSocketNotifyEvent OnClientDisconnect, OnClientRead, OnClientWrite;
    TSocketErrorEvent OnClientError;

private:
    void OnAcceptable();
    void Forget(TCustomWinSocket* socket);
    void Route(TCustomWinSocket* socket);

    int listenFd_ = -1;
    QSocketNotifier* acceptNotifier_ = nullptr;
    QTimer* acceptRetry_ = nullptr;
    std::vector<TCustomWinSocket*> connections_;
};

} // namespace vsp
