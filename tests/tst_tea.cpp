// TEA, the protocols' Base64 dialect, key-box parsing and the data link's challenge
// answer.

#include "link/Tea.h"
#include "tests/support/TestSupport.h"

#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>
#include <vector>

using namespace vsp;
using vsptest::Hex;

namespace {

const uint8_t* U8(const QByteArray& bytes)
{
    return reinterpret_cast<const uint8_t*>(bytes.data());
}

// The designers' reference routines (Wheeler & Needham, "TEA, a Tiny Encryption
// Algorithm", FSE 1994), transcribed separately from the code under test. Deciphering
// does not exist in the program, so it checks the enciphering from the other side.
void ReferenceCode(uint32_t v[2], const uint32_t k[4])
{
    uint32_t y = v[0], z = v[1], sum = 0, delta = 0x9e3779b9, n = 32;
    while (n-- > 0) {
        sum += delta;
        y += ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        z += ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
    }
    v[0] = y;
    v[1] = z;
}
void ReferenceDecode(uint32_t v[2], const uint32_t k[4])
{
    uint32_t n = 32, y = v[0], z = v[1], delta = 0x9e3779b9, sum = delta << 5;
    while (n-- > 0) {
        z -= ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
        y -= ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        sum -= delta;
    }
    v[0] = y;
    v[1] = z;
}

bool AllInAlphabet(const char* text, int n)
{
    static const QByteArray alphabet
        = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < n; ++i)
        if (!alphabet.contains(text[i])) return false;
    return true;
}

QByteArray Encode(const QByteArray& bytes)
{
    std::vector<char> out(size_t(Base64EncodedLength(int(bytes.size()))) + 1);
    Base64Encode(U8(bytes), int(bytes.size()), out.data());
    return QByteArray(out.data());
}

// A well-formed challenge for the eight bytes: the check byte appended, then Base64.
QByteArray Challenge(const QByteArray& eight)
{
    QByteArray nine = eight;
    uint8_t sum = 0;
    for (char c : eight)
        sum = uint8_t(sum + uint8_t(c));
    nine.append(char(uint8_t(-sum)));
    return Encode(nine);
}

const TeaKey BoxDefaultKey { { 0x3A7F19C2, 0xB04E6D15, 0x5C92E8A1, 0x0F63D7B4 } };

} // namespace

class TstTea : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void encipherKnownAnswers_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("cipher");
        // The published all-zero vector (key and plaintext zero), quoted with the TEA
        // reference code and in most TEA test suites.
        QTest::newRow("zero key, zero block")
            << Hex("00000000 00000000 00000000 00000000") << Hex("00000000 00000000")
            << Hex("41ea3a0a 94baa940");
        // The next two were computed with a separate Python transcription of the
        // designers' reference code, not with this program.
        QTest::newRow("key-box default key")
            << Hex("3a7f19c2 b04e6d15 5c92e8a1 0f63d7b4") << Hex("01234567 89abcdef")
            << Hex("00ef1185 0997865d");
        QTest::newRow("all ones") << Hex("ffffffff ffffffff ffffffff ffffffff")
                                  << Hex("ffffffff ffffffff") << Hex("319bbefb 016abdb2");
    }
    void encipherKnownAnswers()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, cipher);
        TeaKey k {};
        for (int i = 0; i < 4; ++i)
            k.k[i] = qFromBigEndian<uint32_t>(key.constData() + 4 * i);
        // Through the chain step from zero, as the challenge answer and the discovery
        // check use it; the stored bytes are the words most significant first.
        uint32_t y = 0, z = 0;
        TeaChainBlock(y, z, U8(plain), k);
        uint8_t out[8];
        TeaStoreBlock(y, z, out);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(out), 8).toHex(' '), cipher.toHex(' '));
    }

    void encipherAgreesWithReference()
    {
        QRandomGenerator random(1994);
        for (int round = 0; round < 1000; ++round) {
            TeaKey key;
            random.fillRange(key.k);
            uint32_t v[2];
            random.fillRange(v);
            uint32_t y = v[0], z = v[1];
            TeaEncipher(y, z, key);
            uint32_t expected[2] = { v[0], v[1] };
            ReferenceCode(expected, key.k);
            QCOMPARE(y, expected[0]);
            QCOMPARE(z, expected[1]);
            uint32_t back[2] = { y, z };
            ReferenceDecode(back, key.k);
            QCOMPARE(back[0], v[0]);
            QCOMPARE(back[1], v[1]);
        }
    }

    void chainAndXorBlocks()
    {
        const QByteArray block = Hex("01 02 03 04 f0 e0 d0 c0");
        uint32_t y = 0x11111111, z = 0x22222222;
        TeaXorBlock(y, z, U8(block));
        QCOMPARE(y, 0x10131215u);
        QCOMPARE(z, 0xD2C2F2E2u);
        uint32_t cy = 0x11111111, cz = 0x22222222;
        TeaChainBlock(cy, cz, U8(block), BoxDefaultKey);
        TeaEncipher(y, z, BoxDefaultKey);
        QCOMPARE(cy, y);
        QCOMPARE(cz, z);
    }

    void base64Char_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QChar>("character");
        QTest::newRow("0") << 0 << QChar('A');
        QTest::newRow("25") << 25 << QChar('Z');
        QTest::newRow("26") << 26 << QChar('a');
        QTest::newRow("51") << 51 << QChar('z');
        QTest::newRow("52") << 52 << QChar('0');
        QTest::newRow("61") << 61 << QChar('9');
        QTest::newRow("62") << 62 << QChar('+');
        QTest::newRow("63") << 63 << QChar('/');
        QTest::newRow("64") << 64 << QChar('=');
        QTest::newRow("255") << 255 << QChar('=');
        QTest::newRow("-1") << -1 << QChar('=');
    }
    void base64Char()
    {
        QFETCH(int, value);
        QFETCH(QChar, character);
        QCOMPARE(QChar(Base64Char(value)), character);
    }

    void base64Encode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("abc") << QByteArray("abc") << QByteArray("YWJj");
        QTest::newRow("ab, no padding") << QByteArray("ab") << QByteArray("YW");
        QTest::newRow("a, one character") << QByteArray("a") << QByteArray("Y");
        // RFC 4648 section 10 vectors, cut where this dialect stops: no "=", and only
        // the characters whose top bits a final 1 or 2 bytes fill.
        QTest::newRow("rfc4648 f") << QByteArray("f") << QByteArray("Z");
        QTest::newRow("rfc4648 fo") << QByteArray("fo") << QByteArray("Zm");
        QTest::newRow("rfc4648 foo") << QByteArray("foo") << QByteArray("Zm9v");
        QTest::newRow("rfc4648 foob") << QByteArray("foob") << QByteArray("Zm9vY");
        QTest::newRow("rfc4648 fooba") << QByteArray("fooba") << QByteArray("Zm9vYm");
        QTest::newRow("rfc4648 foobar") << QByteArray("foobar") << QByteArray("Zm9vYmFy");
        QTest::newRow("all bits") << Hex("ff ff ff fb ef be 00 10 83")
                                  << QByteArray("////++++ABCD");
    }
    void base64Encode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, text);
        // Exactly the characters and the terminator: ASan reports a byte more.
        std::vector<char> out(size_t(text.size()) + 1, 'x');
        QCOMPARE(Base64EncodedLength(int(bytes.size())), int(text.size()));
        Base64Encode(U8(bytes), int(bytes.size()), out.data());
        QCOMPARE(QByteArray(out.data(), qsizetype(out.size())), text + '\0');
    }

    void base64Decode_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("n");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("YW=Jj, = skipped") << QByteArray("YW=Jj") << 5 << QByteArray("abc");
        QTest::newRow("padded rfc4648 foob") << QByteArray("Zm9vYg==") << 8 << QByteArray("foob");
        QTest::newRow("padded rfc4648 fooba") << QByteArray("Zm9vYmE=") << 8 << QByteArray("fooba");
        QTest::newRow("rfc4648 foobar") << QByteArray("Zm9vYmFy") << 8 << QByteArray("foobar");
        QTest::newRow("only the first n characters")
            << QByteArray("YWJjZGVm") << 4 << QByteArray("abc");
        QTest::newRow("blanks and line ends skipped")
            << QByteArray(" Y W\r\nJ j") << 9 << QByteArray("abc");
        QTest::newRow("NUL is skipped, not an end")
            << QByteArray("YW\0Jj", 5) << 5 << QByteArray("abc");
        QTest::newRow("one character gives nothing") << QByteArray("Y") << 1 << QByteArray();
        QTest::newRow("n = 0") << QByteArray("YWJj") << 0 << QByteArray();
        QTest::newRow("all bits") << QByteArray("////++++ABCD") << 12
                                  << Hex("ff ff ff fb ef be 00 10 83");
    }
    void base64Decode()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, n);
        QFETCH(QByteArray, bytes);
        std::vector<uint8_t> out(size_t(bytes.size()) + 1, 0xAA);
        QCOMPARE(Base64Decode(text.constData(), n, out.data(), int(out.size())), n);
        QCOMPARE(
            QByteArray(reinterpret_cast<char*>(out.data()), qsizetype(out.size())), bytes + '\0');
    }

    void base64DecodeNeverOverruns()
    {
        // 12 characters are 9 bytes plus the terminator: a 9-byte area gets 8 of them.
        const QByteArray text = "Zm9vYmFyZm9v";
        std::vector<uint8_t> nine(9, 0xAA);
        Base64Decode(text.constData(), 12, nine.data(), 9);
        QCOMPARE(
            QByteArray(reinterpret_cast<char*>(nine.data()), 9), QByteArray("foobarfo") + '\0');
        std::vector<uint8_t> ten(10, 0xAA);
        Base64Decode(text.constData(), 12, ten.data(), 10);
        QCOMPARE(
            QByteArray(reinterpret_cast<char*>(ten.data()), 10), QByteArray("foobarfoo") + '\0');
        // Far more text than room.
        const QByteArray longText(400, 'Q');
        std::vector<uint8_t> small(4, 0xAA);
        Base64Decode(longText.constData(), int(longText.size()), small.data(), 4);
        QCOMPARE(small[3], uint8_t(0));
        std::vector<uint8_t> one(1, 0xAA);
        Base64Decode(text.constData(), 12, one.data(), 1);
        QCOMPARE(one[0], uint8_t(0));
        Base64Decode(text.constData(), 12, nullptr, 0); // no room at all: nothing written
    }

    void base64DecodeCountsIn8Bits_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("examined");
        QTest::newRow("255") << 255 << 255;
        QTest::newRow("256") << 256 << 0;
        QTest::newRow("300") << 300 << 44;
        QTest::newRow("negative") << -5 << 0;
    }
    void base64DecodeCountsIn8Bits()
    {
        QFETCH(int, n);
        QFETCH(int, examined);
        const QByteArray text(qMax(n, 0), 'A');
        std::vector<uint8_t> out(size_t(text.size()) + 1);
        QCOMPARE(Base64Decode(text.constData(), n, out.data(), int(out.size())), examined);
        // All n characters were decoded, whatever the count says.
        if (n > 255) QCOMPARE(out[size_t(n / 4 * 3)], uint8_t(0));
    }

    void keyWord_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<uint>("word");
        QTest::newRow("box default") << "3A7F19C2" << true << 0x3A7F19C2u;
        QTest::newRow("lower case") << "b04e6d15" << true << 0xB04E6D15u;
        QTest::newRow("mixed case, short") << "abcDEF" << true << 0x00ABCDEFu;
        QTest::newRow("one digit") << "0" << true << 0u;
        QTest::newRow("leading zeros") << "00000001" << true << 1u;
        QTest::newRow("all ones") << "FFFFFFFF" << true << 0xFFFFFFFFu;
        QTest::newRow("empty") << "" << false << 0u;
        QTest::newRow("not hex") << "XYZ" << false << 0u;
        QTest::newRow("nine digits") << "123456789" << false << 0u;
        QTest::newRow("leading blank") << " 12" << false << 0u;
        QTest::newRow("trailing blank") << "12 " << false << 0u;
        QTest::newRow("0x prefix") << "0x12" << false << 0u;
        QTest::newRow("$ prefix") << "$12" << false << 0u;
        QTest::newRow("sign") << "-1" << false << 0u;
        QTest::newRow("full-width digit") << QString::fromUtf8("\xEF\xBC\x91") << false << 0u;
        QTest::newRow("hex letter g") << "12G4" << false << 0u;
    }
    void keyWord()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(uint, word);
        uint32_t parsed = 0xDEADBEEF;
        QCOMPARE(ParseTeaKeyWord(text, &parsed), ok);
        QCOMPARE(parsed, ok ? word : 0xDEADBEEFu);
    }

    void keyBoxes()
    {
        const TeaKeyParse good = ParseTeaKey({ "3A7F19C2", "B04E6D15", "5C92E8A1", "0F63D7B4" });
        QVERIFY(good.Key.has_value());
        QCOMPARE(good.BadBox, 0);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(good.Key->k[i], BoxDefaultKey.k[i]);

        const TeaKeyParse second = ParseTeaKey({ "3A7F19C2", "XYZ", "", "0F63D7B4" });
        QVERIFY(!second.Key.has_value());
        QCOMPARE(second.BadBox, 2); // the first bad box is named
        const TeaKeyParse fourth = ParseTeaKey({ "1", "2", "3", "" });
        QCOMPARE(fourth.BadBox, 4);

        QCOMPARE(TeaKeyErrorText(2, QStringLiteral("XYZ")),
            QStringLiteral("Invalid TEA key word 2: 'XYZ' is not a hexadecimal number of "
                           "at most 8 digits"));
    }

    void challengeAnswered()
    {
        // Challenge and response computed with Python's base64 module and the separate
        // transcription of the reference code.
        const QByteArray challenge = Challenge(Hex("01 23 45 67 89 ab cd ef"));
        QCOMPARE(challenge, QByteArray("ASNFZ4mrze9A"));
        const TeaAnswer answer
            = AnswerTeaChallengeBytes(U8(challenge), int(challenge.size()), BoxDefaultKey);
        QVERIFY(answer.CrcOk);
        QCOMPARE(QByteArray(answer.Response), QByteArray("AO8RhQmXhl34"));
    }

    void challengeResponseShape()
    {
        QRandomGenerator random(854);
        for (int round = 0; round < 300; ++round) {
            QByteArray eight(8, '\0');
            for (char& c : eight)
                c = char(random.bounded(256));
            TeaKey key;
            random.fillRange(key.k);
            const QByteArray challenge = Challenge(eight);
            const TeaAnswer answer
                = AnswerTeaChallengeBytes(U8(challenge), int(challenge.size()), key);
            QVERIFY(answer.CrcOk);
            QCOMPARE(qstrlen(answer.Response), size_t(TeaChallengeChars));
            QVERIFY(AllInAlphabet(answer.Response, TeaChallengeChars));

            uint8_t r[TeaChallengeBytes + 1];
            Base64Decode(answer.Response, TeaChallengeChars, r, sizeof r);
            uint8_t sum = 0;
            for (int i = 0; i < TeaChallengeBytes; ++i)
                sum = uint8_t(sum + r[i]);
            QCOMPARE(sum, uint8_t(0));
            uint32_t v[2] = { qFromBigEndian<uint32_t>(eight.constData()),
                qFromBigEndian<uint32_t>(eight.constData() + 4) };
            ReferenceCode(v, key.k);
            QCOMPARE(qFromBigEndian<uint32_t>(r), v[0]);
            QCOMPARE(qFromBigEndian<uint32_t>(r + 4), v[1]);
        }
    }

    void challengeRejected_data()
    {
        QTest::addColumn<QByteArray>("block");
        // Nine bytes summing to 1: 00 .. 00 01.
        QTest::newRow("sum 1") << Encode(Hex("00 00 00 00 00 00 00 00 01"));
        QTest::newRow("sum 0xFF") << Encode(Hex("ff 00 00 00 00 00 00 00 00"));
        QTest::newRow("one character changed")
            << QByteArray("ASNFZ4mrze9B"); // last character off by one
        QTest::newRow("short, sum 1") << QByteArray("AQ"); // decodes to 01
        QTest::newRow("plain data instead of a challenge") << QByteArray("Hello world!\r\n");
    }
    void challengeRejected()
    {
        QFETCH(QByteArray, block);
        const TeaAnswer answer
            = AnswerTeaChallengeBytes(U8(block), int(block.size()), BoxDefaultKey);
        QVERIFY(!answer.CrcOk);
        QCOMPARE(QByteArray(answer.Response), QByteArray()); // nothing to send
    }

    void challengeShortOrFollowed()
    {
        auto respond = [](const QByteArray& block) {
            return QByteArray(
                AnswerTeaChallengeBytes(U8(block), int(block.size()), BoxDefaultKey).Response);
        };
        const QByteArray challenge = "ASNFZ4mrze9A";
        // Anything after the 12th character is ignored, even Base64 that would change the
        // check.
        QCOMPARE(respond(challenge + "AQID\r\n"), QByteArray("AO8RhQmXhl34"));
        QCOMPARE(respond(challenge + "////"), QByteArray("AO8RhQmXhl34"));
        // A short challenge decodes to fewer bytes, the rest being zeros, and is checked
        // the same way.
        const QByteArray zeros = respond(QByteArray(12, 'A'));
        QCOMPARE(zeros.size(), 12);
        QCOMPARE(respond("AAAAAAAA"), zeros);
        QCOMPARE(respond(""), zeros);
        // A character outside the alphabet among the first 12 costs one: the 13th is not
        // looked at.
        QCOMPARE(respond("AAAAA=AAAAAAQ"), zeros);
    }
};

QTEST_GUILESS_MAIN(TstTea)
#include "tst_tea.moc"
