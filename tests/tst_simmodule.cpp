// The simulated module as the other tests see it through its wrapper: started on
// OS-chosen loopback ports, it echoes, reports what it received, runs a TEA challenge that a
// response computed here from published values passes (and a wrong one fails), and answers
// a discovery search; and it runs inside a network namespace through a command prefix.

#include "tests/support/SimModule.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

using vsptest::SimModule;

namespace {

QByteArray ReadExactly(QTcpSocket& socket, qsizetype size, int timeoutMs = 5000)
{
    QByteArray data;
    QDeadlineTimer deadline(timeoutMs);
    while (data.size() < size && !deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0
            && !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        data += socket.read(size - data.size());
    }
    return data;
}

// Zero key, zero block: the published TEA result 41ea3a0a 94baa940, plus the check byte that
// makes the nine bytes sum to 0 modulo 256. Base64 of 9 bytes has no padding.
QByteArray ZeroKeyResponse()
{
    QByteArray r = QByteArray::fromHex("41ea3a0a94baa940");
    int sum = 0;
    for (char c : r)
        sum += static_cast<unsigned char>(c);
    r.append(static_cast<char>((256 - sum % 256) % 256));
    return r.toBase64();
}

} // namespace

class TstSimModule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void echoesAndReports()
    {
        SimModule sim;
        QVERIFY2(sim.Start(), qPrintable(sim.ErrorString()));
        QVERIFY(sim.DataPort() != 0);
        QVERIFY(sim.SetupPort() != 0);
        QVERIFY(sim.UdpPort() != 0);

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, sim.DataPort());
        QVERIFY(socket.waitForConnected(5000));
        QVERIFY(sim.WaitForEvent(QStringLiteral("connected")));
        const QByteArray payload = QByteArray("hello\xff\x00world", 12);
        socket.write(payload);
        QCOMPARE(ReadExactly(socket, payload.size()), payload);
        QVERIFY2(sim.WaitForReceived(payload.size()), qPrintable(sim.Describe()));
        QCOMPARE(sim.Received(), payload);

        // Module to program, in two pieces; then a graceful close.
        QVERIFY(sim.Configure({ { QStringLiteral("mode"), QStringLiteral("script") },
            { QStringLiteral("conn"), sim.LatestConn() } }));
        QVERIFY(sim.SendPieces(QByteArray("abcdef"), { 2 }, 20));
        QCOMPARE(ReadExactly(socket, 6), QByteArray("abcdef"));
        const qsizetype mark = sim.Mark();
        QVERIFY(sim.Close());
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
        const auto gone = sim.WaitForEvent(QStringLiteral("disconnected"), 5000, mark);
        QVERIFY2(gone, qPrintable(sim.Describe()));
        QCOMPARE(gone->value(QStringLiteral("how")).toString(), QStringLiteral("fin"));

        const QJsonObject stats = sim.Stats();
        QCOMPARE(stats.value(QStringLiteral("rx_data")).toInt(), payload.size());
        QVERIFY(!sim.Ok({ { QStringLiteral("cmd"), QStringLiteral("no-such-command") } }));
    }

    void teaChallengeAndResponse()
    {
        SimModule sim;
        QVERIFY2(sim.Start({ QStringLiteral("--tea"), QStringLiteral("--tea-challenge"),
                     QStringLiteral("0000000000000000"), QStringLiteral("--tea-key"),
                     QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("0"),
                     QStringLiteral("0") }),
            qPrintable(sim.ErrorString()));

        QTcpSocket good;
        good.connectToHost(QHostAddress::LocalHost, sim.DataPort());
        QVERIFY(good.waitForConnected(5000));
        QCOMPARE(ReadExactly(good, 12), QByteArray("AAAAAAAAAAAA"));
        good.write(ZeroKeyResponse());
        const auto verdict = sim.WaitForEvent(QStringLiteral("tea"));
        QVERIFY2(verdict, qPrintable(sim.Describe()));
        QVERIFY(verdict->value(QStringLiteral("ok")).toBool());

        const qsizetype mark = sim.Mark();
        QTcpSocket bad;
        bad.connectToHost(QHostAddress::LocalHost, sim.DataPort());
        QVERIFY(bad.waitForConnected(5000));
        QCOMPARE(ReadExactly(bad, 12), QByteArray("AAAAAAAAAAAA"));
        bad.write("AAAAAAAAAAAA");
        const auto refused = sim.WaitForEvent(QStringLiteral("tea"), 5000, mark);
        QVERIFY(refused);
        QVERIFY(!refused->value(QStringLiteral("ok")).toBool());
        QTRY_COMPARE_WITH_TIMEOUT(bad.state(), QAbstractSocket::UnconnectedState, 5000);
        QCOMPARE(good.state(), QAbstractSocket::ConnectedState);
    }

    void answersDiscoverySearch()
    {
        SimModule sim;
        QVERIFY2(sim.Start({ QStringLiteral("--module"),
                     QStringLiteral("mac=00:1a:2b:3c:4d:5e,ip=127.0.0.1,port=4001,flags=2") }),
            qPrintable(sim.ErrorString()));
        QUdpSocket udp;
        QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
        QByteArray request(6, '\xff');
        request += "IIIIMMMMFFFFWWWWUC12345678";
        request += sim.ReadyEvent().value(QStringLiteral("maker_tag")).toString().toLatin1();
        QCOMPARE(request.size(), 48);
        udp.writeDatagram(request, QHostAddress::LocalHost, sim.UdpPort());
        QTRY_VERIFY_WITH_TIMEOUT(udp.hasPendingDatagrams(), 5000);
        QByteArray reply(static_cast<int>(udp.pendingDatagramSize()), '\0');
        udp.readDatagram(reply.data(), reply.size());
        QCOMPARE(reply.size(), 48);
        QCOMPARE(reply.left(6), QByteArray::fromHex("001a2b3c4d5e"));
        QCOMPARE(reply.mid(28, 1), QByteArray("\x02"));
        QCOMPARE(reply.mid(30, 2), QByteArray::fromHex("0fa1"));
        const auto search = sim.WaitForEvent(QStringLiteral("search"));
        QVERIFY(search);
        QVERIFY(search->value(QStringLiteral("tag_ok")).toBool());
    }

    // The prefix puts the tool into a namespace the test built; there it knows it may talk
    // beyond loopback.
    void runsInsideANamespace()
    {
        if (!vsptest::IsRoot()) QSKIP("building a network namespace needs root");
        const QString ns = QStringLiteral("simmod%1").arg(QCoreApplication::applicationPid());
        const QString ip = QStringLiteral("ip");
        QCOMPARE(QProcess::execute(ip, { QStringLiteral("netns"), QStringLiteral("add"), ns }), 0);
        auto cleanup = qScopeGuard([&] {
            QProcess::execute(ip, { QStringLiteral("netns"), QStringLiteral("del"), ns });
        });
        QCOMPARE(QProcess::execute(ip,
                     { QStringLiteral("-n"), ns, QStringLiteral("link"), QStringLiteral("set"),
                         QStringLiteral("lo"), QStringLiteral("up") }),
            0);
        SimModule sim;
        sim.SetPrefix({ ip, QStringLiteral("netns"), QStringLiteral("exec"), ns });
        QVERIFY2(sim.Start(), qPrintable(sim.ErrorString()));
        QVERIFY(sim.ReadyEvent().value(QStringLiteral("private_netns")).toBool());
        QVERIFY(sim.Ok({ { QStringLiteral("cmd"), QStringLiteral("ping") } }));
        sim.Quit();
        QTRY_VERIFY_WITH_TIMEOUT(!sim.IsRunning(), 5000);
    }
};

QTEST_MAIN(TstSimModule)
#include "tst_simmodule.moc"
