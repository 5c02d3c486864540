#pragma once
// Networks of the discovery tests' own making, so that no search they send can reach a
// real network and no other program holds the discovery ports they count on.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vsptest {

// Moves the calling process into a fresh network namespace with loopback up and nothing
// else: as root directly, otherwise inside a new user namespace. Call it first thing in
// main, while the process has one thread (child processes started later inherit it).
// False with the reason when no namespace could be made.
bool EnterPrivateNetwork(QString* why);

// This process is the run RerunInPrivateNetwork made.
bool InPrivateRerun();
struct RerunResult {
    bool Unavailable = false; // no private namespace could be made here
    bool Passed = false;
    QByteArray Output;
};
// Runs the current test function (and data row) of this test executable again, inside
// scripts/private-netns, and waits for its verdict.
RerunResult RerunInPrivateNetwork();

// In a test function whose case must not see the machine's network (name lookups, links of
// its own): outside the rerun, reruns it there and returns with its verdict.
#define VSPTEST_IN_PRIVATE_NETWORK()                                                               \
    do {                                                                                           \
        if (!vsptest::InPrivateRerun()) {                                                          \
            const vsptest::RerunResult rerun = vsptest::RerunInPrivateNetwork();                   \
            if (rerun.Unavailable)                                                                 \
                QSKIP("no private network namespace here (needs root or user namespaces)");        \
            QVERIFY2(rerun.Passed, rerun.Output.constData());                                      \
            return;                                                                                \
        }                                                                                          \
    } while (false)

// While it lives, the calling thread (and the threads it starts) makes its sockets in the
// named namespace (one of `ip netns`); sockets keep the namespace they were made in. Needs
// root.
class NamespaceScope {
public:
    explicit NamespaceScope(const QString& name);
    ~NamespaceScope();
    NamespaceScope(const NamespaceScope&) = delete;
    NamespaceScope& operator=(const NamespaceScope&) = delete;
    bool Ok() const { return entered_; }

private:
    int home_ = -1;
    bool entered_ = false;
};

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
    // B's end of the link up or down: down, B is cut off without a word, as at a power cut
    // (nothing of it is sent, nothing reaches it), while A's end stays as it was.
    bool SetLinkB(bool up);

private:
    bool Ip(const QStringList& args);

    QString nsA_, nsB_, vethA_, vethB_;
    QString error_;
};

} // namespace vsptest
