#include "tests/support/PortContract.h"

#include <QStringList>
#include <QtTest>

namespace vsptest {

namespace {

constexpr int Wait = 10000; // ms for anything another process has to do

// A port with every event it raises written down, in order.
struct Recorded {
    std::unique_ptr<vsp::TVSPort> port;
    QStringList log;
    int rxBytes = 0;

    explicit Recorded(std::unique_ptr<vsp::TVSPort> p)
        : port(std::move(p))
    {
        port->OnOpenClose = [this](bool on) { log << (on ? "open" : "close"); };
        port->OnRxChar = [this](int32_t count) {
            rxBytes += count;
            if (log.isEmpty() || log.last() != QLatin1String("rx")) log << QStringLiteral("rx");
        };
    }
    vsp::TVSPort* operator->() const { return port.get(); }

    int32_t Write(const QByteArray& bytes)
    {
        return port->Write(
            reinterpret_cast<const uint8_t*>(bytes.constData()), int32_t(bytes.size()));
    }
    QByteArray Read(int maxCount)
    {
        QByteArray out(maxCount, Qt::Uninitialized);
        out.resize(port->Read(reinterpret_cast<uint8_t*>(out.data()), maxCount));
        return out;
    }
};

QByteArray EveryByte()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    return all;
}

} // namespace

// Every case makes its own port and peer with these, and returns on the first failure.
#define VSP_MAKE_PORT(r)                                                                           \
    Recorded r(backend_.makePort());                                                               \
    QVERIFY(r->CreatePort(backend_.portName(++names_)))
#define VSP_MAKE_PEER(peer, r)                                                                     \
    std::unique_ptr<PortPeer> peer = backend_.makePeer(*r.port);                                   \
    QVERIFY(peer)

void PortContract::nothingBeforeCreate()
{
    Recorded r(backend_.makePort());
    QVERIFY(!r->IsOpened());
    QCOMPARE(r->GetInCount(), 0);
    QCOMPARE(r.Read(16), QByteArray());
    QCOMPARE(r.Write("x"), 0);
    r->Delete(); // harmless without a port
    QVERIFY(!r->IsOpened());
    QCOMPARE(r.log, QStringList());
}

void PortContract::createsOnceUntilDeleted()
{
    VSP_MAKE_PORT(r);
    QVERIFY(!r->IsOpened()); // made, but no program has it yet
    // A second port over a live one would cut off whoever has the first open.
    QVERIFY(!r->CreatePort(backend_.portName(++names_)));
    r->Delete();
    QVERIFY(r->CreatePort(backend_.portName(++names_)));
}

void PortContract::openAndCloseAreRaised()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(peer, r);
    QVERIFY(peer->Open());
    QTRY_COMPARE_WITH_TIMEOUT(r.log, QStringList { "open" }, Wait);
    QVERIFY(r->IsOpened());
    QVERIFY(peer->Close());
    QTRY_COMPARE_WITH_TIMEOUT(r.log, (QStringList { "open", "close" }), Wait);
    QVERIFY(!r->IsOpened());
    QVERIFY(peer->Open());
    QTRY_COMPARE_WITH_TIMEOUT(r.log, (QStringList { "open", "close", "open" }), Wait);
    QVERIFY(r->IsOpened());
}

void PortContract::writesWhileClosedAreRefused()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(peer, r);
    // Bytes for nobody would reach whoever opens the port next, long after they meant
    // anything: the port takes none of them.
    QCOMPARE(r.Write("early"), 0);
    QVERIFY(peer->Open());
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
    QCOMPARE(peer->Read(5, 300), QByteArray());
    QVERIFY(peer->Close());
    QTRY_VERIFY_WITH_TIMEOUT(!r->IsOpened(), Wait);
    QCOMPARE(r.Write("late"), 0);
    QVERIFY(peer->Open());
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
    QCOMPARE(peer->Read(4, 300), QByteArray());
}

void PortContract::bytesFromThePeerInOrder()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(peer, r);
    QVERIFY(peer->Open());
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
    const QByteArray all = EveryByte();
    QVERIFY(peer->Write(all));
    // Every byte is announced, and waits until the window reads it, as much at a time as
    // it asks for.
    QTRY_COMPARE_WITH_TIMEOUT(r.rxBytes, 256, Wait);
    QCOMPARE(r->GetInCount(), 256);
    QCOMPARE(r.Read(100), all.left(100));
    QCOMPARE(r->GetInCount(), 156);
    QCOMPARE(r.Read(1000), all.mid(100));
    QCOMPARE(r->GetInCount(), 0);
    QCOMPARE(r.log, (QStringList { "open", "rx" }));
}

void PortContract::bytesToThePeerInOrder()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(peer, r);
    QVERIFY(peer->Open());
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
    const QByteArray all = EveryByte();
    QCOMPARE(r.Write(all), 256);
    QCOMPARE(peer->Read(256, Wait), all);
    QCOMPARE(r->GetInCount(), 0); // nothing comes back by itself
}

void PortContract::lastBytesBeforeCloseStayReadable()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(peer, r);
    QVERIFY(peer->Open());
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
    QVERIFY(peer->Write("last words"));
    QVERIFY(peer->Close());
    // The bytes are announced before the close, and the close does not take them away.
    QTRY_COMPARE_WITH_TIMEOUT(r.log, (QStringList { "open", "rx", "close" }), Wait);
    QCOMPARE(r.Read(100), QByteArray("last words"));
}

void PortContract::deleteDropsWaitingBytes()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(peer, r);
    QVERIFY(peer->Open());
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
    QVERIFY(peer->Write("abc"));
    QTRY_COMPARE_WITH_TIMEOUT(r->GetInCount(), 3, Wait);
    r->Delete();
    QVERIFY(!r->IsOpened());
    QCOMPARE(r->GetInCount(), 0);
    QCOMPARE(r.Read(16), QByteArray());
    QCOMPARE(r.Write("x"), 0);
    r->Delete(); // twice is harmless
}

void PortContract::emptyAndNullCallsDoNothing()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(peer, r);
    QVERIFY(peer->Open());
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
    QVERIFY(peer->Write("kept"));
    QTRY_COMPARE_WITH_TIMEOUT(r->GetInCount(), 4, Wait);
    uint8_t byte = 0;
    QCOMPARE(r->Write(nullptr, 5), 0);
    QCOMPARE(r->Write(&byte, 0), 0);
    QCOMPARE(r->Write(&byte, -1), 0);
    QCOMPARE(r->Read(nullptr, 5), 0);
    QCOMPARE(r->Read(&byte, 0), 0);
    QCOMPARE(r->Read(&byte, -1), 0);
    QCOMPARE(r.Read(16), QByteArray("kept"));
    QCOMPARE(peer->Read(1, 300), QByteArray());
}

// A writer holding back what a full port refused goes on when the port says it has room,
// not at some later poll: said once per refusal, and only after the peer has read.
void PortContract::fullPortSaysWhenItHasRoom()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(peer, r);
    int rooms = 0;
    r->OnWriteRoom = [&rooms] { ++rooms; };
    QVERIFY(peer->Open());
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
    QByteArray block;
    for (int i = 0; i < 256; ++i)
        block += EveryByte();
    QByteArray accepted;
    bool refused = false;
    for (int i = 0; i < 64 && !refused; ++i) {
        const int32_t n = r.Write(block);
        accepted += block.left(n);
        refused = n < block.size();
    }
    QVERIFY2(refused, "the port took 4 MiB without refusing");
    QCOMPARE(rooms, 0);
    QVERIFY(peer->Read(int(accepted.size()), Wait) == accepted);
    QTRY_COMPARE_WITH_TIMEOUT(rooms, 1, Wait);
    QCOMPARE(r.Write("more"), 4); // taken whole: nothing is owed
    QCOMPARE(peer->Read(4, Wait), QByteArray("more"));
    QCOMPARE(rooms, 1);
}

// Exclusive mode (screen sets it) keeps every other program out while its program has the
// port, and ends with that program's close, as on a serial line: the next program gets in.
// Root may open an exclusive port anyway, so the other programs must be ordinary users.
void PortContract::exclusiveModeEndsWithTheProgram()
{
    VSP_MAKE_PORT(r);
    VSP_MAKE_PEER(first, r);
    VSP_MAKE_PEER(next, r);
    QVERIFY2(first->Open(), qPrintable(first->Error()));
    QTRY_COMPARE_WITH_TIMEOUT(r.log, QStringList { "open" }, Wait);
    QVERIFY2(first->MakeExclusive(), qPrintable(first->Error()));
    if (next->Open())
        QSKIP("The other program may open an exclusive port here (it runs privileged)");
    QVERIFY2(next->Error().isEmpty() || next->Error().contains(QLatin1String("busy")),
        qPrintable(next->Error()));
    QVERIFY(first->Close());
    QTRY_COMPARE_WITH_TIMEOUT(r.log, (QStringList { "open", "close" }), Wait);
    QVERIFY2(next->Open(), qPrintable(next->Error()));
    QTRY_COMPARE_WITH_TIMEOUT(r.log, (QStringList { "open", "close", "open" }), Wait);
    QCOMPARE(r.Write("in"), 2);
    QCOMPARE(next->Read(2, Wait), QByteArray("in"));
    // The first one, back again, is the one left out while the next holds it exclusively.
    QVERIFY2(next->MakeExclusive(), qPrintable(next->Error()));
    QVERIFY(!first->Open());
    QVERIFY(next->Close());
    QTRY_COMPARE_WITH_TIMEOUT(r.log, (QStringList { "open", "close", "open", "close" }), Wait);
    QVERIFY2(first->Open(), qPrintable(first->Error()));
    QTRY_VERIFY_WITH_TIMEOUT(r->IsOpened(), Wait);
}

#undef VSP_MAKE_PORT
#undef VSP_MAKE_PEER

} // namespace vsptest
