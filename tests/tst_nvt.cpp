// NVT codec and port control: 0xFF escaping both ways, removal of the Telnet commands in the
// module's stream however it is cut into reads, and the RFC 2217 frames and values the port
// settings become. What the receiver gives is judged by rows written by hand and by a second
// decoder written from RFC 854 (tests/support/TelnetReference.h).

#include "link/LineSettings.h"
#include "link/Nvt.h"
#include "link/Rfc2217.h"
#include "link/Telnet.h"
#include "tests/support/TelnetReference.h"
#include "tests/support/TestSupport.h"
#include "vport/Vsportlib_tlb.h"

#include <QRandomGenerator>
#include <QtTest>
#include <vector>

using namespace vsp;
using vsptest::DecodeTelnetStream;
using vsptest::Hex;
using vsptest::TelnetDecoded;

namespace {

// Heap copy with no slack, so that ASan reports any write past the caller's area.
std::vector<uint8_t> Bytes(const QByteArray& data, size_t capacity)
{
    std::vector<uint8_t> bytes(capacity);
    std::copy(data.begin(), data.end(), bytes.begin());
    return bytes;
}

QByteArray Prefix(const std::vector<uint8_t>& bytes, int32_t count)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), count);
}

// The reads through one receiver, as the relay passes them with "NVT filter" on.
struct Reception {
    QByteArray data; // what the program got from the reads
    bool heldIac = false; // the last read ended with a lone IAC that still waits
    int dropped = 0; // reads that gave up a subnegotiation
    // What the program has once the wait for the byte behind a lone IAC is over.
    QByteArray Settled() const { return heldIac ? data + char(telnet::IAC) : data; }
};

Reception Receive(const QList<QByteArray>& blocks)
{
    TNvtReceiver receiver;
    Reception r;
    for (const QByteArray& block : blocks) {
        auto in = Bytes(block, size_t(block.size()));
        // Exactly the room the receiver asks for, so that ASan sees a write past it.
        std::vector<uint8_t> out(size_t(block.size() + TNvtReceiver::MaxGrowth));
        const TNvtReceiver::TResult got
            = receiver.Receive(in.data(), int32_t(block.size()), out.data());
        r.data += Prefix(out, got.Count);
        r.dropped += got.SubnegotiationsDropped;
    }
    r.heldIac = receiver.HoldsIac();
    return r;
}

QByteArray Received(const QList<QByteArray>& blocks)
{
    return Receive(blocks).Settled();
}

QByteArray Reference(const QByteArray& stream)
{
    const TelnetDecoded d = DecodeTelnetStream(reinterpret_cast<const uint8_t*>(stream.constData()),
        size_t(stream.size()), size_t(TNvtReceiver::SubnegotiationLimit));
    return QByteArray(reinterpret_cast<const char*>(d.Data.data()), qsizetype(d.Data.size()));
}

QByteArray Frame(const TelnetFrame& frame)
{
    return QByteArray(reinterpret_cast<const char*>(frame.Bytes), frame.Size);
}

} // namespace

class TstNvt : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void escapeOutgoing_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("empty") << Hex("") << Hex("");
        QTest::newRow("no 0xFF") << Hex("41 42 43") << Hex("41 42 43");
        QTest::newRow("single 0xFF") << Hex("ff") << Hex("ff ff");
        QTest::newRow("all 0xFF") << Hex("ff ff ff") << Hex("ff ff ff ff ff ff");
        QTest::newRow("CR LF NUL untouched") << Hex("0d 0a 00 ff 41") << Hex("0d 0a 00 ff ff 41");
        QTest::newRow("first and last") << Hex("ff 41 42 ff") << Hex("ff ff 41 42 ff ff");
        QTest::newRow("commands look-alikes")
            << Hex("ff fa 2c ff f0") << Hex("ff ff fa 2c ff ff f0");
    }
    void escapeOutgoing()
    {
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, out);
        auto bytes = Bytes(in, size_t(in.size()) * 2);
        const int32_t n = NvtEscapeOutgoing(bytes.data(), int32_t(in.size()));
        QCOMPARE(Prefix(bytes, n).toHex(' '), out.toHex(' '));
    }

    // One read through the receiver, once any wait for a lone IAC is over.
    void incoming_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QByteArray>("port");
        QTest::newRow("NOP then data") << Hex("ff f1 41 42") << Hex("41 42");
        QTest::newRow("subnegotiation then data")
            << Hex("ff fa 2c 65 00 00 25 80 ff f0 41") << Hex("41");
        QTest::newRow("two commands") << Hex("ff f1 ff f1 41") << Hex("41");
        QTest::newRow("subnegotiation cut at the end") << Hex("ff fa 2c 01") << Hex("");
        QTest::newRow("subnegotiation cut after a removed one")
            << Hex("ff fa 2c 65 00 00 25 80 ff f0 ff fa 2c 02") << Hex("");
        QTest::newRow("bare IAC SB") << Hex("ff fa") << Hex("");
        QTest::newRow("empty subnegotiation") << Hex("ff fa ff f0 41") << Hex("41");
        // Wherever a command stands, it goes: an RFC 2217 server answers between data.
        QTest::newRow("command after data") << Hex("41 ff f1") << Hex("41");
        QTest::newRow("negotiation after data") << Hex("41 ff fb 01") << Hex("41");
        QTest::newRow("server's answer between data")
            << Hex("41 42 43 ff fa 2c 65 00 01 c2 00 ff f0 44 45 46") << Hex("41 42 43 44 45 46");
        QTest::newRow("NOP between data")
            << Hex("47 48 49 ff f1 4a 4b 4c") << Hex("47 48 49 4a 4b 4c");
        QTest::newRow("WILL ECHO between data")
            << Hex("4d 4e 4f ff fb 01 50 51 52") << Hex("4d 4e 4f 50 51 52");
        QTest::newRow("every two-byte command between data")
            << Hex("41 ff f0 ff f1 ff f2 ff f3 ff f4 ff f5 ff f6 ff f7 ff f8 ff f9 42")
            << Hex("41 42");
        QTest::newRow("line state report after data, then more")
            << Hex("30 31 ff fa 2c 6a 31 ff f0 ff fa 2c 6b 30 ff f0 32") << Hex("30 31 32");
        QTest::newRow("lone 0xFF: data once the wait is over") << Hex("ff") << Hex("ff");
        QTest::newRow("lone 0xFF last") << Hex("41 ff") << Hex("41 ff");
        QTest::newRow("lone 0xFF after a command") << Hex("ff f1 ff") << Hex("ff");
        // A 0xFF the module did not escape, with a byte that is no command behind it.
        QTest::newRow("unescaped 0xFF between data") << Hex("41 ff 42") << Hex("41 ff 42");
        QTest::newRow("unescaped 0xFF leading") << Hex("ff 41 42") << Hex("ff 41 42");
        QTest::newRow("unescaped 0xFF before NUL") << Hex("ff 00") << Hex("ff 00");
        QTest::newRow("unescaped 0xFF before 0xEF") << Hex("ff ef 41") << Hex("ff ef 41");
        QTest::newRow("escaped 0xFF inside") << Hex("41 ff ff 42") << Hex("41 ff 42");
        QTest::newRow("escaped 0xFF leading") << Hex("ff ff 41") << Hex("ff 41");
        QTest::newRow("escaped 0xFF alone") << Hex("ff ff") << Hex("ff");
        QTest::newRow("escaped 0xFF after a command") << Hex("ff f1 ff ff 41") << Hex("ff 41");
        QTest::newRow("two escaped 0xFF leading") << Hex("ff ff ff ff") << Hex("ff ff");
        QTest::newRow("escaped pairs apart") << Hex("ff ff 41 ff ff") << Hex("ff 41 ff");
        QTest::newRow("three 0xFF leading: the third waits, then is data")
            << Hex("ff ff ff") << Hex("ff ff");
        QTest::newRow("escaped 0xFF then a command") << Hex("ff ff ff f1") << Hex("ff");
        // What ser2net and other RFC 2217 servers send first on every connection.
        QTest::newRow("server opening negotiation")
            << Hex("ff fb 03 ff fd 03 ff fb 01 ff fe 01 ff fd 00 ff fb 00 ff fd 2c") << Hex("");
        QTest::newRow("server opening negotiation, then data")
            << Hex("ff fb 03 ff fd 03 ff fb 01 ff fe 01 ff fd 00 ff fb 00 ff fd 2c 48 69")
            << Hex("48 69");
        QTest::newRow("negotiation of option 0xFF is one command")
            << Hex("ff fb ff 41") << Hex("41");
        QTest::newRow("WONT and DONT take their option")
            << Hex("ff fc 01 ff fe 2c 41") << Hex("41");
        QTest::newRow("negotiation cut before its option") << Hex("ff fb") << Hex("");
        QTest::newRow("negotiation cut after others") << Hex("ff fd 03 ff fb") << Hex("");
        QTest::newRow("negotiation then subnegotiation")
            << Hex("ff fb 2c ff fa 2c 65 00 01 c2 00 ff f0 41") << Hex("41");
        QTest::newRow("server acknowledgements only")
            << Hex("ff fa 2c 65 00 01 c2 00 ff f0 ff fa 2c 67 01 ff f0") << Hex("");
        // Inside a subnegotiation IAC IAC is a data byte: the F0 after it is not an end.
        QTest::newRow("escaped 0xFF then F0 inside a subnegotiation")
            << Hex("ff fa 2c 64 41 ff ff f0 42 ff f0 43") << Hex("43");
        QTest::newRow("escaped 0xFF just before IAC SE")
            << Hex("ff fa 2c 6b ff ff ff f0 41") << Hex("41");
        QTest::newRow("lone SE command") << Hex("ff f0 41") << Hex("41");
        QTest::newRow("plain data") << Hex("48 65 6c 6c 6f") << Hex("48 65 6c 6c 6f");
        QTest::newRow("CR LF NUL untouched") << Hex("0d 0a 00 0d 00") << Hex("0d 0a 00 0d 00");
    }
    void incoming()
    {
        QFETCH(QByteArray, block);
        QFETCH(QByteArray, port);
        const Reception r = Receive({ block });
        QCOMPARE(r.Settled().toHex(' '), port.toHex(' '));
        // Before the wait is over, a lone IAC at the end is not given out yet.
        if (r.heldIac) QVERIFY(port.endsWith(char(telnet::IAC)));
        QCOMPARE(r.dropped, 0);
        // The second decoder reads the rows the same way.
        QCOMPARE(Reference(block).toHex(' '), port.toHex(' '));
    }

    // A subnegotiation is followed up to 64 bytes, IAC SB and IAC SE included; one that is
    // not closed by then is given up, its bytes dropped, and what follows read afresh.
    void subnegotiationLimit_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("port");
        QTest::addColumn<int>("dropped");
        const QByteArray open = Hex("ff fa 2c");
        const QByteArray close = Hex("ff f0");
        auto filled = [](int n) { return QByteArray(n, 'x'); };
        QTest::newRow("64 bytes, closed")
            << open + filled(59) + close + "A" << QByteArray("A") << 0;
        QTest::newRow("65 bytes: given up at 64, its IAC SE read afresh as a command")
            << open + filled(60) + close + "A" << QByteArray("A") << 1;
        QTest::newRow("never closed: what follows the 64 bytes is data")
            << open + filled(61) + "ABC" << QByteArray("ABC") << 1;
        QTest::newRow("IAC IAC inside counts two bytes")
            << open + filled(57) + Hex("ff ff") + close + "A" << QByteArray("A") << 0;
        QTest::newRow("IAC as the 64th byte: read afresh with the byte behind it")
            << open + filled(60) + Hex("ff 41 42") << Hex("ff 41 42") << 1;
        QTest::newRow("two in a row, each given up")
            << open + filled(61) + open + filled(61) + "A" << QByteArray("A") << 2;
        QTest::newRow("long one still open at the end") << open + filled(40) << QByteArray() << 0;
    }
    void subnegotiationLimit()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, port);
        QFETCH(int, dropped);
        const Reception r = Receive({ stream });
        QCOMPARE(r.Settled(), port);
        QCOMPARE(r.dropped, dropped);
        const TelnetDecoded d
            = DecodeTelnetStream(reinterpret_cast<const uint8_t*>(stream.constData()),
                size_t(stream.size()), size_t(TNvtReceiver::SubnegotiationLimit));
        QCOMPARE(d.DroppedSubnegotiations, dropped);
        QCOMPARE(Reference(stream), port);
        // Cut into reads of 7 bytes, the limit is the same.
        QList<QByteArray> reads;
        for (qsizetype at = 0; at < stream.size(); at += 7)
            reads << stream.mid(at, 7);
        QCOMPARE(Received(reads), port);
    }

    // A read ends wherever TCP had bytes: the program gets what one read of everything
    // gives, a command at the front of a read or inside it alike.
    void receivedAcrossReads_data()
    {
        QTest::addColumn<QList<QByteArray>>("blocks");
        QTest::addColumn<QByteArray>("port");
        using L = QList<QByteArray>;
        QTest::newRow("lone IAC after data, then a command byte")
            << L { Hex("41 ff"), Hex("f1 42") } << Hex("41 42");
        QTest::newRow("lone IAC after data, then a subnegotiation's bytes")
            << L { Hex("41 ff"), Hex("fa 2c 01 ff f0 42") } << Hex("41 42");
        QTest::newRow("escaped 0xFF cut in two")
            << L { Hex("41 ff"), Hex("ff 42") } << Hex("41 ff 42");
        QTest::newRow("escaped 0xFF cut, then an unescaped one")
            << L { Hex("41 ff"), Hex("ff ff 42") } << Hex("41 ff ff 42");
        QTest::newRow("IAC at the front, then its command")
            << L { Hex("ff"), Hex("f1 42") } << Hex("42");
        QTest::newRow("IAC at the front, then the escape's second half")
            << L { Hex("ff"), Hex("ff 42") } << Hex("ff 42");
        QTest::newRow("IAC at the front, then a plain byte: both data")
            << L { Hex("ff"), Hex("41 42") } << Hex("ff 41 42");
        QTest::newRow("negotiation cut before its option")
            << L { Hex("ff fb"), Hex("03 41") } << Hex("41");
        QTest::newRow("negotiation after data, cut before its option")
            << L { Hex("41 ff fb"), Hex("01 42") } << Hex("41 42");
        QTest::newRow("server's answer cut inside its value")
            << L { Hex("ff fa 2c 65 00 01"), Hex("c2 00 ff f0 41") } << Hex("41");
        QTest::newRow("server's answer after data, cut inside its value")
            << L { Hex("41 42 43 ff fa 2c 65 00"), Hex("01 c2 00 ff f0 44 45 46") }
            << Hex("41 42 43 44 45 46");
        QTest::newRow("subnegotiation cut between IAC and SE")
            << L { Hex("ff fa 2c 65 00 00 25 80 ff"), Hex("f0 41") } << Hex("41");
        QTest::newRow("escaped 0xFF inside a subnegotiation, cut")
            << L { Hex("ff fa 2c 64 41 ff"), Hex("ff f0 42 ff f0 43") } << Hex("43");
        QTest::newRow("subnegotiation over three reads")
            << L { Hex("ff fa"), Hex("2c 01 00"), Hex("01 c2 00 ff f0 48") } << Hex("48");
        QTest::newRow("next read opens with a command")
            << L { Hex("41"), Hex("ff f1 42") } << Hex("41 42");
        QTest::newRow("server's answer opening the next read")
            << L { Hex("48 69"), Hex("ff fa 2c 65 00 01 c2 00 ff f0") } << Hex("48 69");
        QTest::newRow("escaped 0xFF opening the next read")
            << L { Hex("41"), Hex("ff ff 42") } << Hex("41 ff 42");
        QTest::newRow("lone IAC, then an empty read, then its command")
            << L { Hex("41 ff"), QByteArray(), Hex("f1 42") } << Hex("41 42");
    }
    void receivedAcrossReads()
    {
        QFETCH(QList<QByteArray>, blocks);
        QFETCH(QByteArray, port);
        QCOMPARE(Received(blocks).toHex(' '), port.toHex(' '));
        QCOMPARE(Reference(blocks.join()).toHex(' '), port.toHex(' '));
    }

    // Every cut of a stream into two or three reads gives what the stream in one read gives,
    // and that is what the second decoder reads in it; a reset forgets a cut command.
    void receiverSplitProperty()
    {
        QRandomGenerator random(854);
        static const uint8_t pool[]
            = { 0xFF, 0xFF, 0xFF, 0xFA, 0xF0, 0xF1, 0xFB, 0x2C, 0x41, 0x00 };
        for (int round = 0; round < 3000; ++round) {
            QByteArray stream(1 + int(random.bounded(24)), '\0');
            for (char& c : stream)
                c = char(pool[random.bounded(int(sizeof pool))]);
            const Reception whole = Receive({ stream });
            const QByteArray what = stream.toHex(' ');
            QVERIFY2(whole.Settled() == Reference(stream), qPrintable(what));
            for (int a = 1; a < stream.size(); ++a) {
                const QByteArray first = stream.left(a);
                QVERIFY2(Receive({ first, stream.mid(a) }).data == whole.data,
                    qPrintable(what + " cut at " + QByteArray::number(a)));
                for (int b = a + 1; b < stream.size(); ++b)
                    QVERIFY2(
                        Receive({ first, stream.mid(a, b - a), stream.mid(b) }).data == whole.data,
                        qPrintable(what + " cut at " + QByteArray::number(a) + " and "
                            + QByteArray::number(b)));
            }
        }
        TNvtReceiver receiver;
        const QByteArray cut = Hex("ff fa 2c 01");
        uint8_t out[8];
        receiver.Receive(reinterpret_cast<const uint8_t*>(cut.constData()), 4, out);
        receiver.Reset();
        const QByteArray fresh = Hex("41 42");
        QCOMPARE(
            receiver.Receive(reinterpret_cast<const uint8_t*>(fresh.constData()), 2, out).Count, 2);
    }

    // Whatever the application writes reaches the other application unchanged through the
    // escape on one side and the receiver on the other, however the stream is cut.
    void roundTrip()
    {
        QRandomGenerator random(2217);
        for (int round = 0; round < 2000; ++round) {
            const int size = 1 + int(random.bounded(40));
            QByteArray data(size, '\0');
            for (char& c : data) {
                // Mostly 0xFF and command-like bytes: those are what can go wrong.
                static const uint8_t pool[] = { 0xFF, 0xFF, 0xFA, 0xF0, 0xF1, 0xFB, 0x41, 0x00 };
                c = char(pool[random.bounded(int(sizeof pool))]);
            }
            auto bytes = Bytes(data, size_t(size) * 2);
            const QByteArray wire = Prefix(bytes, NvtEscapeOutgoing(bytes.data(), size));
            const int cut = int(random.bounded(int(wire.size()) + 1));
            const Reception r = Receive({ wire.left(cut), wire.mid(cut) });
            QCOMPARE(r.data.toHex(' '), data.toHex(' '));
            QVERIFY(!r.heldIac);
        }
    }

    // The frames of a port opened at 115,200 baud, 8 data bits, no parity, one stop bit,
    // no flow control, in the order the events send them.
    void portControlFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("SET-BAUDRATE 115200")
            << Frame(BaudRateFrame(115200)) << Hex("ff fa 2c 01 00 01 c2 00 ff f0");
        QTest::newRow("SET-PARITY none")
            << Frame(PortControlFrame(telnet::SET_PARITY, SetParityValue(0)))
            << Hex("ff fa 2c 03 01 ff f0");
        QTest::newRow("SET-STOPSIZE one")
            << Frame(PortControlFrame(telnet::SET_STOPSIZE, SetStopSizeValue(0)))
            << Hex("ff fa 2c 04 01 ff f0");
        QTest::newRow("SET-DATASIZE 8")
            << Frame(PortControlFrame(telnet::SET_DATASIZE, SetDataSizeValue(8)))
            << Hex("ff fa 2c 02 08 ff f0");
        QTest::newRow("SET-CONTROL none")
            << Frame(PortControlFrame(telnet::SET_CONTROL, SetControlValue(0, 0)))
            << Hex("ff fa 2c 05 01 ff f0");
        QTest::newRow("SET-BAUDRATE 300")
            << Frame(BaudRateFrame(300)) << Hex("ff fa 2c 01 00 00 01 2c ff f0");
        QTest::newRow("SET-BAUDRATE 511: value 0xFF doubled")
            << Frame(BaudRateFrame(511)) << Hex("ff fa 2c 01 00 00 01 ff ff ff f0");
        QTest::newRow("SET-BAUDRATE bit pattern of -1: every value byte doubled")
            << Frame(BaudRateFrame(-1)) << Hex("ff fa 2c 01 ff ff ff ff ff ff ff ff ff f0");
        QTest::newRow("one-byte value 0xFF doubled")
            << Frame(PortControlFrame(telnet::SET_DATASIZE, 0xFF))
            << Hex("ff fa 2c 02 ff ff ff f0");
        QTest::newRow("keep connection") << Frame(KeepConnectionMessage()) << Hex("ff f1");
    }
    void portControlFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, wire);
        QCOMPARE(frame.toHex(' '), wire.toHex(' '));
    }

    void lineControlValues_data()
    {
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("parityValue");
        QTest::addColumn<QString>("parityText");
        QTest::newRow("none") << 0 << 1 << "none";
        QTest::newRow("odd") << 1 << 2 << "odd";
        QTest::newRow("even") << 2 << 3 << "even";
        QTest::newRow("mark") << 3 << 4 << "mark";
        QTest::newRow("space") << 4 << 5 << "space";
        QTest::newRow("5") << 5 << 0 << "unknown";
        QTest::newRow("7") << 7 << 0 << "unknown";
        QTest::newRow("-1: the backend cannot know") << PARITY_UNKNOWN << 0 << "unknown";
    }
    void lineControlValues()
    {
        QFETCH(int, parity);
        QFETCH(int, parityValue);
        QFETCH(QString, parityText);
        QCOMPARE(int(SetParityValue(parity)), parityValue);
        QCOMPARE(ParityText(parity), parityText);
    }

    void stopBitsValues_data()
    {
        QTest::addColumn<int>("stopBits");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text"); // "-" : the label keeps its text
        QTest::newRow("one") << 0 << 1 << "1";
        QTest::newRow("one and a half") << 1 << 3 << "1 1/2";
        QTest::newRow("two") << 2 << 2 << "2";
        QTest::newRow("3") << 3 << 4 << "-";
        QTest::newRow("-1") << -1 << 0 << "-";
        QTest::newRow("255 wraps") << 255 << 0 << "-";
    }
    void stopBitsValues()
    {
        QFETCH(int, stopBits);
        QFETCH(int, value);
        QFETCH(QString, text);
        QCOMPARE(int(SetStopSizeValue(stopBits)), value);
        const std::optional<QString> label = StopBitsText(stopBits);
        QCOMPARE(label.value_or(QStringLiteral("-")), text);
    }

    void dataSizeValue()
    {
        QCOMPARE(int(SetDataSizeValue(5)), 5);
        QCOMPARE(int(SetDataSizeValue(8)), 8);
        QCOMPARE(int(SetDataSizeValue(0x107)), 7);
        QCOMPARE(DataBitsText(7), QStringLiteral("7"));
        // Unknown to the backend: the module keeps its own, and the label says nothing.
        QCOMPARE(int(SetDataSizeValue(WORDLENGTH_UNKNOWN)), 0);
        QCOMPARE(DataBitsText(WORDLENGTH_UNKNOWN), QStringLiteral("-"));
    }

    // What the store reports as it is filled, sent and cut, and the settings that go with
    // its first byte: the store holds `stored` bytes at each call.
    void lineSettingsFollowTheStore()
    {
        TPendingSettings s;
        const auto baud = [](int32_t rate) {
            TLineSettings l;
            l.BaudRate = rate;
            return l;
        };
        const auto headBaud = [&](int32_t stored) { return s.AtHead(stored).BaudRate.value_or(0); };
        // Nothing waits: a change holds for the next byte at once.
        s.Changed(baud(9600), 0, 0);
        QCOMPARE(headBaud(0), 9600);
        // 5 bytes wait, a change puts its 10 bytes of frames behind them, 3 more bytes follow.
        s.Changed(baud(115200), 15, 10);
        QCOMPARE(headBaud(18), 9600);
        QCOMPARE(s.Current().BaudRate.value_or(0), 115200);
        QCOMPARE(s.LeftHead(4), 0); // program bytes only
        QCOMPARE(s.LeftHead(3), 2); // the last of them and 2 bytes of the frames
        // The connection broke there: the next one must not start with the frames' rest.
        QCOMPARE(s.CutFrameRest(), 8);
        QCOMPARE(headBaud(11), 9600);
        QCOMPARE(s.LeftHead(8), 8);
        QCOMPARE(s.CutFrameRest(), 0);
        QCOMPARE(headBaud(3), 115200); // the 3 bytes written after the change
        // A message put in front of the head (a TEA answer) moves nothing; a change that put
        // no frames in (the store was full) still holds from its place.
        s.PutAtHead(12);
        s.Changed(baud(300), 15, 0);
        QCOMPARE(s.LeftHead(12), 0);
        QCOMPARE(headBaud(3), 115200);
        QCOMPARE(s.LeftHead(3), 0);
        QCOMPARE(headBaud(0), 300);
        // A store emptied without a word here: what waits is nothing, the current ones hold.
        s.Changed(baud(1200), 20, 7);
        QCOMPARE(headBaud(0), 1200);
        // Cut back to a message the connection took in part: 6 bytes of a program that has
        // gone, and the frames of its change behind them, are dropped. The change holds for
        // the next program's bytes, and nothing of theirs is taken for frames.
        s.PutAtHead(4);
        s.Changed(baud(4800), 4 + 6 + 7, 7);
        s.DroppedTail(4);
        QCOMPARE(headBaud(4), 1200);
        QCOMPARE(s.LeftHead(4), 0);
        QCOMPARE(headBaud(7), 4800);
        QCOMPARE(s.LeftHead(7), 0);
    }

    void controlValues_data()
    {
        QTest::addColumn<int>("controlHandShake");
        QTest::addColumn<int>("flowReplace");
        QTest::addColumn<int>("value");
        QTest::newRow("no flow control") << 0x00 << 0x00 << 1;
        QTest::newRow("XON/XOFF") << 0x00 << 0x03 << 2;
        QTest::newRow("RTS/CTS") << 0x08 << 0x80 << 3;
        QTest::newRow("DTR and RTS on, no handshake") << 0x01 << 0x40 << 0;
        QTest::newRow("XON/XOFF one way") << 0x00 << 0x01 << 0;
        QTest::newRow("CTS without RTS") << 0x08 << 0x00 << 0;
        QTest::newRow("RTS/CTS and DTR on") << 0x09 << 0x80 << 0;
        QTest::newRow("XON/XOFF and RTS on") << 0x00 << 0x43 << 0;
    }
    void controlValues()
    {
        QFETCH(int, controlHandShake);
        QFETCH(int, flowReplace);
        QFETCH(int, value);
        QCOMPARE(int(SetControlValue(controlHandShake, flowReplace)), value);
    }
};

QTEST_GUILESS_MAIN(TstNvt)
#include "tst_nvt.moc"
