// The discovery datagrams: the search request byte for byte, the authentication of
// module replies, the reply fields and the text forms of the module list.

#include "setup/Discovery.h"
#include "tests/support/TestSupport.h"

#include <QtTest>
#include <vector>

using namespace vsp;
using vsptest::Hex;

namespace {

template <size_t N> QByteArray Bytes(const std::array<uint8_t, N>& a)
{
    return QByteArray(reinterpret_cast<const char*>(a.data()), qsizetype(N));
}

std::array<uint8_t, DiscoveryDatagramSize> SampleReply()
{
    return MakeModuleReply({ 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E }, { 192, 168, 1, 50 },
        { 255, 255, 255, 0 }, { 192, 168, 1, 1 }, 0x03, 4001);
}

// Verification over a heap copy of exactly the datagram, so that a look past its end is
// reported by ASan.
bool Verify(const QByteArray& datagram)
{
    std::vector<uint8_t> copy(datagram.begin(), datagram.end());
    return VerifyModuleReply(copy.data(), int(copy.size()));
}

} // namespace

class TstDiscoveryCodec : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void searchRequestBytes()
    {
        const QByteArray expected
            = Hex("ff ff ff ff ff ff") + "IIIIMMMMFFFFWWWWUC12345678" + "VSP SEARCH v2.18";
        QCOMPARE(expected.size(), 48);
        QCOMPARE(Bytes(SearchRequest()).toHex(' '), expected.toHex(' '));
    }

    void replyKnownAnswer()
    {
        // Authentication code computed with a separate Python transcription of TEA's
        // reference code and of the CBC-MAC over bytes 0-39.
        const QByteArray expected = Hex("00 1a 2b 3c 4d 5e c0 a8 01 32 ff ff ff 00 00 00"
                                        "00 00 00 00 00 00 00 00 c0 a8 01 01 03 00 0f a1"
                                        "00 00 00 00 00 00 00 00 ef 2c 2c b9 b5 79 e1 2c");
        QCOMPARE(Bytes(SampleReply()).toHex(' '), expected.toHex(' '));
        QVERIFY(Verify(expected));
    }

    void builtRepliesVerify_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("sample") << Bytes(SampleReply());
        QTest::newRow("all zero fields") << Bytes(MakeModuleReply({}, {}, {}, {}, 0, 0));
        QTest::newRow("all ones fields")
            << Bytes(MakeModuleReply({ 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF }, { 255, 255, 255, 255 },
                   { 255, 255, 255, 255 }, { 255, 255, 255, 255 }, 0xFF, 0xFFFF));
    }
    void builtRepliesVerify()
    {
        QFETCH(QByteArray, reply);
        QVERIFY(Verify(reply));
    }

    void everyFlippedBitFails()
    {
        const QByteArray reply = Bytes(SampleReply());
        for (int bit = 0; bit < DiscoveryDatagramSize * 8; ++bit) {
            QByteArray bad = reply;
            bad[bit / 8] = char(bad[bit / 8] ^ (1 << (bit % 8)));
            QVERIFY2(!Verify(bad), qPrintable(QStringLiteral("bit %1").arg(bit)));
        }
    }

    void rejectedOutright_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        const QByteArray reply = Bytes(SampleReply());
        QTest::newRow("our own request") << Bytes(SearchRequest());
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("47 bytes of a valid reply") << reply.left(47);
        QTest::newRow("1 byte") << reply.left(1);
        QTest::newRow("valid reply and one byte more") << reply + '\0';
        QTest::newRow("valid reply twice") << reply + reply;
    }
    void rejectedOutright()
    {
        QFETCH(QByteArray, datagram);
        QVERIFY(!Verify(datagram));
    }

    void shortLengthNeverReadsTheStaleTail()
    {
        // A valid reply left in the receive buffer must not make a shorter datagram
        // that overwrote its front pass.
        const auto reply = SampleReply();
        QVERIFY(!VerifyModuleReply(reply.data(), 47));
        QVERIFY(!VerifyModuleReply(reply.data(), 0));
        QVERIFY(!VerifyModuleReply(reply.data(), -1));
    }

    void replyFields()
    {
        const auto reply = SampleReply();
        QCOMPARE(ReplyMacText(reply.data()), QStringLiteral("00 1A 2B 3C 4D 5E"));
        QCOMPARE(ReplyIpText(reply.data()), QStringLiteral("192.168.1.50"));
        QCOMPARE(ReplyMaskText(reply.data()), QStringLiteral("255.255.255.0"));
        QCOMPARE(ReplyGatewayText(reply.data()), QStringLiteral("192.168.1.1"));
        QCOMPARE(ReplyPort(reply.data()), uint16_t(4001));
        QVERIFY(ReplyTeaEnabled(reply.data()));
        QVERIFY(ReplyNvtEnabled(reply.data()));
    }

    void replyFlags_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<bool>("tea");
        QTest::addColumn<bool>("nvt");
        QTest::newRow("none") << 0x00 << false << false;
        QTest::newRow("TEA") << 0x01 << true << false;
        QTest::newRow("NVT") << 0x02 << false << true;
        QTest::newRow("other bits ignored") << 0xFC << false << false;
        QTest::newRow("all") << 0xFF << true << true;
    }
    void replyFlags()
    {
        QFETCH(int, flags);
        QFETCH(bool, tea);
        QFETCH(bool, nvt);
        const auto reply = MakeModuleReply({}, {}, {}, {}, uint8_t(flags), 0);
        QCOMPARE(ReplyTeaEnabled(reply.data()), tea);
        QCOMPARE(ReplyNvtEnabled(reply.data()), nvt);
    }

    void replyPort_data()
    {
        QTest::addColumn<QByteArray>("portBytes");
        QTest::addColumn<int>("port");
        QTest::newRow("none") << Hex("00 00") << 0;
        QTest::newRow("23") << Hex("00 17") << 23;
        QTest::newRow("big-endian") << Hex("12 34") << 0x1234;
        QTest::newRow("highest") << Hex("ff ff") << 65535;
    }
    void replyPort()
    {
        QFETCH(QByteArray, portBytes);
        QFETCH(int, port);
        std::array<uint8_t, DiscoveryDatagramSize> reply {};
        reply[30] = uint8_t(portBytes[0]);
        reply[31] = uint8_t(portBytes[1]);
        QCOMPARE(int(ReplyPort(reply.data())), port);
    }

    void textForms_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QString>("dotted"); // of the first four bytes
        QTest::newRow("example") << Hex("12 34 56 78 9a bc") << "12 34 56 78 9A BC"
                                 << "18.52.86.120";
        QTest::newRow("leading zeros") << Hex("00 01 0a 0f 10 ff") << "00 01 0A 0F 10 FF"
                                       << "0.1.10.15";
        QTest::newRow("address") << Hex("c0 a8 01 01 00 00") << "C0 A8 01 01 00 00"
                                 << "192.168.1.1";
        QTest::newRow("broadcast") << Hex("ff ff ff ff ff ff") << "FF FF FF FF FF FF"
                                   << "255.255.255.255";
    }
    void textForms()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, mac);
        QFETCH(QString, dotted);
        const auto* b = reinterpret_cast<const uint8_t*>(bytes.constData());
        QCOMPARE(MacText(b), mac);
        QCOMPARE(MacText(b).size(), 17);
        QCOMPARE(DottedText(b), dotted);
    }
};

QTEST_GUILESS_MAIN(TstDiscoveryCodec)
#include "tst_discovery_codec.moc"
