#pragma once
// One TCP connection of the socket layer; link/Sockets.h tells how it behaves.

#include "link/PeerWatch.h"
#include "link/SocketErrors.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <mutex>

class QHostAddress;
class QSocketNotifier;
class QTimer;

namespace vsp {

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
    // Bytes the kernel took from SendBuf that the peer has not acknowledged (sent or not).
    // Still known after the connection broke, until Close.
    int UnacknowledgedBytes() const;

    // The connection's lock, held around a send by the relay. Everything runs on the UI
    // thread, so it never waits; it is there so the sends stay serialised should that change.
    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }

    // From the connect (or accept) event until the disconnect event.
    bool Connected() const { return state_ == State::Connected || state_ == State::Broken; }
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
    // Release takes every state back to Closed; otherwise the life runs one way:
    //   Closed -> Connecting -> Connected -> Broken
    //                       \-> Failed
    enum class State {
        Closed, // no descriptor and nothing under way
        Connecting, // name lookup or connect under way, or accepted and not yet announced
        Connected, // from the connect event on
        Broken, // an error after connecting: notifiers off, still Connected() until Close
        Failed, // the attempt ended in an error: descriptor given up, Active until Close
    };

    friend class TClientSocket;
    friend class TServerSocket;
    explicit TCustomWinSocket(QObject* parent);

    bool Live() const { return fd_ >= 0 && state_ == State::Connected; }
    bool Raise(TSocketNotifyEvent TCustomWinSocket::*event);
    void ClearHandlers();
    void AttachAccepted(int fd);
    void StartConnect(const QString& host, int port, int timeoutMs);
    void ConnectTo(const QHostAddress& address, int port);
    void FailConnectLater(int code);
    void FinishConnect(int code); // 0: connected
    void CheckPeer();
    void Release(); // drops the descriptor without any event
    void RaiseError(int code);
    void ScheduleRead();
    void Service();
    void OnReadable();
    void OnWritable();
    void OnConnectProgress();

    int fd_ = -1;
    std::uint64_t gen_ = 0; // bumped by every release, so queued work of an old descriptor is void
    State state_ = State::Closed;
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
    TPeerWatch watch_;
    bool peerDead_ = false; // found dead by the watch: the close is abortive
    QString remoteAddress_;
    int remotePort_ = 0;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer* connectTimer_ = nullptr;
    QTimer* peerTimer_ = nullptr; // runs while sent bytes wait for their acknowledgement
    std::mutex mutex_;
};

} // namespace vsp
