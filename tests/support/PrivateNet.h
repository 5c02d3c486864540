#pragma once
// Networks of the discovery tests' own making, so that no search they send can reach a
// real network and no other program holds the discovery ports they count on.

#include <QString>
#include <QStringList>

namespace vsptest {

// Moves the calling process into a fresh network namespace with loopback up and nothing
// else: as root directly, otherwise inside a new user namespace. Call it first thing in
// main, while the process has one thread (child processes started later inherit it).
// False with the reason when no namespace could be made.
bool EnterPrivateNetwork(QString* why);

// Two network namespaces joined by a veth pair, each with loopback up, one address of
// 172.30.213.0/24 and a default route through the veth, so a broadcast to
// 255.255.255.255 from one reaches the other and stays between them. Needs root. The
// names carry the process id and a counter; everything is deleted by the destructor,
// also after a failed Build().
class NamespacePair {
public:
    NamespacePair();
    ~NamespacePair();
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    // False with the failing command in Error().
    bool Build();
    QString Error() const { return error_; }

    QString NameA() const { return nsA_; }
    QString NameB() const { return nsB_; }
    QString AddressA() const { return QStringLiteral("172.30.213.1"); }
    QString AddressB() const { return QStringLiteral("172.30.213.2"); }
    // "ip netns exec NAME": a prefix that runs a command inside one side.
    QStringList ExecA() const;
    QStringList ExecB() const;

private:
    bool Ip(const QStringList& args);

    QString nsA_, nsB_, vethA_, vethB_;
    QString error_;
};

} // namespace vsptest
