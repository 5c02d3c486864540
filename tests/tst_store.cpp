// The settings store: its text form, its atomic rewrite, opening for full access, the
// autostart entries behind the Run key, and the vsp-driver-install command.

#include "app/Autostart.h"
#include "app/Registry.h"
#include "tests/support/TempStore.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <sys/stat.h>

using namespace vsp;
using vsptest::Backdate;
using vsptest::FileSizeLimit;
using vsptest::NoPermissionOverride;
using vsptest::TempStore;

namespace {

const QString VspKey = QStringLiteral("Software\\Kelmar\\VSP");

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

unsigned ModeOf(const QString& path)
{
    struct stat st { };
    stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

} // namespace

class TstStore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // ---- The text form ----

    void quoting_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("quoted");
        QTest::newRow("plain") << QStringLiteral("192.168.1.60") << QByteArray("\"192.168.1.60\"");
        QTest::newRow("empty") << QString() << QByteArray("\"\"");
        QTest::newRow("quote") << QStringLiteral("a\"b") << QByteArray("\"a\\\"b\"");
        QTest::newRow("backslash")
            << QStringLiteral("C:\\dir\\") << QByteArray("\"C:\\\\dir\\\\\"");
        QTest::newRow("escape-looking text")
            << QStringLiteral("\\n is not a newline") << QByteArray("\"\\\\n is not a newline\"");
        QTest::newRow("line breaks") << QStringLiteral("a\r\nb") << QByteArray("\"a\\r\\nb\"");
        QTest::newRow("tab") << QStringLiteral("a\tb") << QByteArray("\"a\\tb\"");
        QTest::newRow("other controls") << QString(QChar(1)) + QChar(0x1F) + QChar(0x7F) + QChar(0)
                                        << QByteArray("\"\\x01\\x1f\\x7f\\x00\"");
        QTest::newRow("non-ASCII")
            << QStringLiteral("Zürich €") << QByteArray("\"Z\xc3\xbcrich \xe2\x82\xac\"");
    }
    void quoting()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, quoted);
        QCOMPARE(TRegDocument::Quote(text), quoted);

        // Whatever the text, it comes back from the file as it went in, as a value and as
        // a value name.
        TRegDocument doc;
        doc.SetValue(VspKey, QStringLiteral("v"), TRegValue::String(text));
        doc.SetValue(VspKey, text.isEmpty() ? QStringLiteral("x") : text, TRegValue::Integer(7));
        TRegDocument back;
        QVERIFY2(back.Parse(doc.Serialize()), qPrintable(back.ErrorString()));
        QCOMPARE(back.Value(VspKey, QStringLiteral("v"))->Text, text);
        QCOMPARE(back.ValueNames(VspKey), doc.ValueNames(VspKey));
        QCOMPARE(back.Serialize(), doc.Serialize());
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("text");
        QTest::addColumn<uint>("number");
        const int S = int(TRegDataType::String), E = int(TRegDataType::ExpandString),
                  I = int(TRegDataType::Integer);
        QTest::newRow("string") << QByteArray(
            "REGEDIT4\n\n[Software\\Kelmar\\VSP]\n\"IP\"=\"10.0.0.5\"\n")
                                << VspKey << "IP" << S << "10.0.0.5" << 0u;
        QTest::newRow("dword") << QByteArray(
            "REGEDIT4\n[Software\\Kelmar\\VSP]\n\"NVT Enabled\"=dword:00000001\n")
                               << VspKey << "NVT Enabled" << I << "" << 1u;
        QTest::newRow("dword short, upper case")
            << QByteArray("REGEDIT4\n[K]\n\"n\"=dword:FfFf\n") << "K"
            << "n" << I << "" << 0xffffu;
        QTest::newRow("dword all bits")
            << QByteArray("REGEDIT4\n[K]\n\"n\"=dword:ffffffff\n") << "K"
            << "n" << I << "" << 0xffffffffu;
        QTest::newRow("expandable")
            << QByteArray("REGEDIT4\n[K]\n\"P\"=expand:\"%HOME%\\\\x\"\n") << "K"
            << "P" << E << "%HOME%\\x" << 0u;
        QTest::newRow("unnamed value") << QByteArray("REGEDIT4\n[K]\n@=\"d\"\n") << "K"
                                       << "" << S << "d" << 0u;
        QTest::newRow("CRLF, BOM, comments, blanks around =") << QByteArray(
            "\xEF\xBB\xBF; made by hand\r\nREGEDIT4\r\n\r\n  ; about K\r\n[K]\r\n  "
            "\"a b\" = \"x y\"  \r\n") << "K"
                                                              << "a b" << S << "x y" << 0u;
        QTest::newRow("names match in any case")
            << QByteArray("REGEDIT4\n[software\\kelmar\\vsp]\n\"ip\"=\"1\"\n") << VspKey << "IP"
            << S << "1" << 0u;
        QTest::newRow("key named twice is merged")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"1\"\n[L]\n\"b\"=\"2\"\n[K]\n\"c\"=\"3\"\n") << "K"
            << "c" << S << "3" << 0u;
        QTest::newRow("escapes") << QByteArray(
            "REGEDIT4\n[K]\n\"e\"=\"\\\"\\\\\\n\\r\\t\\x41\\x7e\"\n")
                                 << "K"
                                 << "e" << S << "\"\\\n\r\tA~" << 0u;
        QTest::newRow("raw tab kept") << QByteArray("REGEDIT4\n[K]\n\"t\"=\"a\tb\"\n") << "K"
                                      << "t" << S << "a\tb" << 0u;
        QTest::newRow("bracket inside key path")
            << QByteArray("REGEDIT4\n[K]x]\n\"t\"=\"1\"\n") << "K]x"
            << "t" << S << "1" << 0u;
    }
    void parse()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, key);
        QFETCH(QString, name);
        QFETCH(int, type);
        QFETCH(QString, text);
        QFETCH(uint, number);
        TRegDocument doc;
        QVERIFY2(doc.Parse(file), qPrintable(doc.ErrorString()));
        const TRegValue* v = doc.Value(key, name);
        QVERIFY(v);
        QCOMPARE(int(v->Type), type);
        QCOMPARE(v->Text, text);
        QCOMPARE(v->Number, number);
        // What the program writes reads back the same.
        TRegDocument again;
        QVERIFY(again.Parse(doc.Serialize()));
        QCOMPARE(again.Serialize(), doc.Serialize());
    }

    void emptyFileIsEmptyStore()
    {
        for (const QByteArray& text :
            { QByteArray(), QByteArray("\n \n"), QByteArray("REGEDIT4\n") }) {
            TRegDocument doc;
            QVERIFY(doc.Parse(text));
            QVERIFY(doc.Keys().isEmpty());
        }
    }

    void corrupt_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("what");
        QTest::newRow("no header") << QByteArray("[K]\n\"a\"=\"1\"\n") << 1 << "REGEDIT4";
        QTest::newRow("other header")
            << QByteArray("\nWindows Registry Editor Version 5.00\n") << 2 << "REGEDIT4";
        QTest::newRow("value before key")
            << QByteArray("REGEDIT4\n\"a\"=\"1\"\n") << 2 << "before the first";
        QTest::newRow("unterminated key") << QByteArray("REGEDIT4\n[K\n") << 2 << "\"]\"";
        QTest::newRow("empty key") << QByteArray("REGEDIT4\n[]\n") << 2 << "empty key path";
        QTest::newRow("empty key part") << QByteArray("REGEDIT4\n[A\\\\B]\n") << 2 << "empty part";
        QTest::newRow("key deletion") << QByteArray("REGEDIT4\n[-K]\n") << 2 << "not supported";
        QTest::newRow("unterminated quote")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"1\n") << 3 << "closing quote";
        QTest::newRow("quote cut by a line break")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"x\ny\"\n") << 3 << "closing quote";
        QTest::newRow("backslash at the end")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"x\\\n") << 3 << "closing quote";
        QTest::newRow("unknown escape")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"\\q\"\n") << 3 << "unknown escape \\q";
        QTest::newRow("short \\x")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"\\x4\"\n") << 3 << "two hexadecimal";
        QTest::newRow("raw control")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"x\x01\"\n") << 3 << "control character";
        QTest::newRow("no name") << QByteArray("REGEDIT4\n[K]\na=\"1\"\n") << 3
                                 << "expected \"name\"";
        QTest::newRow("no =") << QByteArray("REGEDIT4\n[K]\n\"a\" \"1\"\n") << 3 << "\"=\"";
        QTest::newRow("binary") << QByteArray("REGEDIT4\n[K]\n\"a\"=hex:01,02\n") << 3
                                << "unsupported value type";
        QTest::newRow("bare word")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=1\n") << 3 << "unsupported value type";
        QTest::newRow("dword too long")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=dword:100000000\n") << 3 << "1 to 8";
        QTest::newRow("dword not hex")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=dword:0000000g\n") << 3 << "1 to 8";
        QTest::newRow("dword empty")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=dword:\n") << 3 << "1 to 8";
        QTest::newRow("text after string")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"1\" x\n") << 3 << "after the closing";
        QTest::newRow("value twice")
            << QByteArray("REGEDIT4\n[K]\n\"IP\"=\"1\"\n\n\"ip\"=\"2\"\n") << 5 << "appears twice";
        QTest::newRow("not UTF-8")
            << QByteArray("REGEDIT4\n[K]\n\"a\"=\"\xff\xfe\"\n") << 3 << "UTF-8";
        QTest::newRow("binary garbage") << QByteArray("\x7f"
                                                      "ELF\x02\x01\x01\0\0\0",
            10) << 1 << "REGEDIT4";
    }
    void corrupt()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, line);
        QFETCH(QString, what);
        TRegDocument doc;
        QVERIFY(!doc.Parse(file));
        QCOMPARE(doc.ErrorLine(), line);
        QVERIFY2(doc.ErrorString().contains(what), qPrintable(doc.ErrorString()));
        QVERIFY(doc.Keys().isEmpty());
    }

    // ---- The file ----

    void defaultPath()
    {
        const QString home = QDir::homePath();
        QCOMPARE(TRegFile::StorePathFor("/x/s.reg", "/c"), "/x/s.reg");
        QCOMPARE(TRegFile::StorePathFor("", "/c"), "/c/vsp/settings.reg");
        QCOMPARE(TRegistry::AutostartDirFor("/c"), "/c/autostart");
        QCOMPARE(TRegFile::StorePathFor("", ""), home + "/.config/vsp/settings.reg");
        // A relative configuration folder is not to be used; a relative store file is the
        // user's own choice, taken from where the program starts.
        QCOMPARE(TRegFile::StorePathFor("", "relative/dir"), home + "/.config/vsp/settings.reg");
        QCOMPARE(TRegistry::AutostartDirFor("relative/dir"), home + "/.config/autostart");
        QCOMPARE(TRegFile::StorePathFor("s.reg", ""), QDir::currentPath() + "/s.reg");
    }

    void firstWriteMakesPrivateFolderAndFile()
    {
        TempStore store(false);
        const QString path = store.Dir() + "/a/b/settings.reg";
        TRegistry reg(path, store.AutostartDir());
        QVERIFY2(reg.OpenKey(VspKey, true), qPrintable(reg.ErrorString()));
        QVERIFY(!QFile::exists(path)); // opening alone writes nothing
        reg.WriteString("IP", "10.0.0.5");
        QVERIFY2(reg.CloseKey(), qPrintable(reg.ErrorString()));
        QCOMPARE(ReadFile(path),
            QByteArray("REGEDIT4\n\n[Software\\Kelmar\\VSP]\n\"IP\"=\"10.0.0.5\"\n"));
        // The store holds the authentication key: only its owner may read it.
        QCOMPARE(ModeOf(path), 0600u);
        QCOMPARE(ModeOf(store.Dir() + "/a"), 0700u);
        QCOMPARE(ModeOf(store.Dir() + "/a/b"), 0700u);
        // An existing file keeps its mode.
        chmod(QFile::encodeName(path).constData(), 0640);
        QVERIFY(reg.OpenKey(VspKey, true));
        reg.WriteString("IP", "10.0.0.6");
        QVERIFY(reg.CloseKey());
        QCOMPARE(ModeOf(path), 0640u);
    }

    void unchangedValuesAreNotRewritten()
    {
        TempStore store;
        const QByteArray before = store.Read();
        const qint64 mtime = Backdate(store.StorePath());
        TRegistry reg = store.Registry();
        QVERIFY(reg.OpenKey("Software\\Kelmar\\VSPDriver", true));
        reg.WriteInteger("DriverInstalled", 1);
        QVERIFY(reg.CloseKey());
        QCOMPARE(store.Read(), before);
        QCOMPARE(vsptest::ModifiedAt(store.StorePath()), mtime);
    }

    void otherWritersChangesAreKept()
    {
        // Each close re-reads the file, so two programs that opened it at the same time
        // don't undo each other's values.
        TempStore store;
        TRegistry window = store.Registry(), installer = store.Registry();
        QVERIFY(window.OpenKey(VspKey, true));
        QVERIFY(installer.OpenKey("Software\\Kelmar\\VSPDriver", true));
        installer.WriteInteger("Attempts", 3);
        QVERIFY(installer.CloseKey());
        window.WriteString("IP", "10.0.0.5");
        QVERIFY(window.CloseKey());
        TRegDocument doc;
        QVERIFY(doc.Parse(store.Read()));
        QCOMPARE(doc.Value("Software\\Kelmar\\VSPDriver", "DriverInstalled")->Number, 1u);
        QCOMPARE(doc.Value("Software\\Kelmar\\VSPDriver", "Attempts")->Number, 3u);
        QCOMPARE(doc.Value(VspKey, "IP")->Text, QStringLiteral("10.0.0.5"));
    }

    void leftoverTempFileIsHarmless()
    {
        // A crash between writing the temporary file and renaming it leaves the stray file
        // beside an intact store; the next write reuses it.
        TempStore store;
        const QByteArray good = store.Read();
        WriteFile(
            store.StorePath() + ".tmp", "REGEDIT4\n[Software\\Kelmar\\VSPDriver]\n\"DriverInst");
        TRegistry reg = store.Registry();
        QVERIFY(reg.OpenKey("Software\\Kelmar\\VSPDriver", false));
        uint32_t n = 0;
        QCOMPARE(reg.ReadInteger("DriverInstalled", n), TReadStatus::Ok);
        QCOMPARE(n, 1u);
        QCOMPARE(store.Read(), good);
        QVERIFY(reg.OpenKey(VspKey, true));
        reg.WriteString("IP", "10.0.0.5");
        QVERIFY(reg.CloseKey());
        QVERIFY(!QFile::exists(store.StorePath() + ".tmp"));
        QVERIFY(store.Read().startsWith(good));
        QVERIFY(store.Read().endsWith("\"IP\"=\"10.0.0.5\"\n"));
    }

    void failedWriteKeepsOriginal()
    {
        TempStore store;
        const QByteArray before = store.Read();
        TRegistry reg = store.Registry();
        QVERIFY(reg.OpenKey(VspKey, true));
        reg.WriteString("IP", QString(4096, u'x'));
        {
            FileSizeLimit disk(rlim_t(before.size() + 10));
            QVERIFY(!reg.CloseKey());
        }
        QCOMPARE(reg.Error(), TStoreError::WriteFailed);
        QVERIFY2(
            reg.ErrorString().startsWith(store.StorePath() + ": "), qPrintable(reg.ErrorString()));
        QCOMPARE(store.Read(), before);
        QVERIFY(!QFile::exists(store.StorePath() + ".tmp"));
    }

    void corruptFileIsNeverReplaced()
    {
        TempStore store(false);
        const QByteArray damaged(
            "REGEDIT4\n[Software\\Kelmar\\VSP]\n\"IP\"=\"10.0.0.5\"\n\"Port\"=\"100");
        store.Write(damaged);
        TRegistry reg = store.Registry();
        QVERIFY(!reg.OpenKey(VspKey, true));
        QCOMPARE(reg.Error(), TStoreError::Corrupt);
        QCOMPARE(reg.ErrorString(), store.StorePath() + ", line 4: missing closing quote");
        // Nor by a write that began before the damage.
        store.Write("REGEDIT4\n");
        QVERIFY(reg.OpenKey(VspKey, true));
        reg.WriteString("IP", "1");
        store.Write(damaged);
        QVERIFY(!reg.CloseKey());
        QCOMPARE(reg.Error(), TStoreError::Corrupt);
        QCOMPARE(store.Read(), damaged);
    }

    void symlinkedStoreStaysALink()
    {
        TempStore store;
        const QString real = store.Dir() + "/real.reg";
        QVERIFY(QFile::rename(store.StorePath(), real));
        QVERIFY(QFile::link(real, store.StorePath()));
        TRegistry reg = store.Registry();
        QVERIFY(reg.OpenKey(VspKey, true));
        reg.WriteString("IP", "10.0.0.5");
        QVERIFY(reg.CloseKey());
        QVERIFY(QFileInfo(store.StorePath()).isSymLink());
        QVERIFY(ReadFile(real).contains("\"IP\"=\"10.0.0.5\""));
    }

    void openForFullAccess_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("names");
        QTest::newRow("read-only file")
            << "file 0444" << int(TStoreError::NotWritable) << "settings.reg: ";
        QTest::newRow("read-only folder") << "dir 0555" << int(TStoreError::NotWritable) << "";
        QTest::newRow("unreadable file")
            << "file 0000" << int(TStoreError::Unreadable) << "settings.reg: ";
        QTest::newRow("a folder where the file should be")
            << "folder" << int(TStoreError::Unreadable) << "not a regular file";
        QTest::newRow("a file where the folder should be")
            << "file-as-dir" << int(TStoreError::NotWritable) << "Not a directory";
        QTest::newRow("missing folders under a read-only one")
            << "deep 0555" << int(TStoreError::NotWritable) << "";
    }
    void openForFullAccess()
    {
        QFETCH(QString, setup);
        QFETCH(int, error);
        QFETCH(QString, names);
        TempStore store;
        QString path = store.StorePath();
        QString lockedDir;
        if (setup == "file 0444")
            QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        else if (setup == "file 0000")
            QFile::setPermissions(path, QFileDevice::Permissions());
        else if (setup == "dir 0555")
            lockedDir = store.Dir();
        else if (setup == "folder") {
            QFile::remove(path);
            QDir().mkdir(path);
        } else if (setup == "file-as-dir") {
            path = path + "/settings.reg";
        } else if (setup == "deep 0555") {
            QDir().mkdir(store.Dir() + "/locked");
            lockedDir = store.Dir() + "/locked";
            path = lockedDir + "/a/b/settings.reg";
        }
        const auto rx = QFile::ReadOwner | QFile::ExeOwner;
        if (!lockedDir.isEmpty()) QFile::setPermissions(lockedDir, rx);
        const QByteArray before = ReadFile(path);
        {
            NoPermissionOverride asUser;
            TRegistry reg(path, store.AutostartDir());
            QVERIFY(!reg.OpenKey(VspKey, true));
            QCOMPARE(int(reg.Error()), error);
            QVERIFY2(reg.ErrorString().contains(names), qPrintable(reg.ErrorString()));
            QVERIFY(!reg.OpenKey("Software\\Kelmar\\VSPDriver", false));
        }
        if (!lockedDir.isEmpty()) QFile::setPermissions(lockedDir, rx | QFile::WriteOwner);
        QFile::setPermissions(store.StorePath(), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(ReadFile(path), before);
    }

    void openWithoutCreating()
    {
        TempStore store;
        TRegistry reg = store.Registry();
        QVERIFY(!reg.OpenKey(VspKey, false));
        QCOMPARE(reg.Error(), TStoreError::NotFound);
        QVERIFY(reg.OpenKey("software\\kelmar\\vspdriver", false));
    }

    void typedReads()
    {
        TempStore store(false);
        store.Write("REGEDIT4\n[K]\n\"s\"=\"1\"\n\"e\"=expand:\"%X%\"\n\"zero\"=dword:0\n"
                    "\"two\"=dword:2\n\"all\"=dword:ffffffff\n");
        TRegistry reg = store.Registry();
        QVERIFY(reg.OpenKey("K", false));
        QString text;
        bool on = true;
        QCOMPARE(reg.ReadString("s", text), TReadStatus::Ok);
        QCOMPARE(text, QStringLiteral("1"));
        QCOMPARE(reg.ReadString("e", text), TReadStatus::Ok);
        QCOMPARE(text, QStringLiteral("%X%")); // accepted, and not expanded
        QCOMPARE(reg.ReadString("two", text), TReadStatus::WrongType);
        QCOMPARE(reg.ReadString("none", text), TReadStatus::Missing);
        QCOMPARE(reg.ReadBool("s", on), TReadStatus::WrongType);
        QCOMPARE(reg.ReadBool("e", on), TReadStatus::WrongType);
        QCOMPARE(reg.ReadBool("none", on), TReadStatus::Missing);
        QCOMPARE(reg.ReadBool("zero", on), TReadStatus::Ok);
        QVERIFY(!on);
        QCOMPARE(reg.ReadBool("two", on), TReadStatus::Ok);
        QVERIFY(on);
        on = false;
        QCOMPARE(reg.ReadBool("all", on), TReadStatus::Ok);
        QVERIFY(on);
        // Writing a value replaces its type; booleans are stored as 1 and 0.
        reg.WriteBool("s", true);
        reg.WriteBool("e", false);
        QVERIFY(reg.CloseKey());
        QVERIFY(store.Read().contains("\"s\"=dword:00000001\n\"e\"=dword:00000000\n"));
    }

    // ---- The Run key: autostart entries ----

    void desktopExec_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain") << "/usr/bin/vsp"
                               << "\"/usr/bin/vsp\"";
        QTest::newRow("space") << "/opt/my vsp/vsp"
                               << "\"/opt/my vsp/vsp\"";
        QTest::newRow("shell characters") << "/a/$HOME/`x`/\"q\""
                                          << "\"/a/\\\\$HOME/\\\\`x\\\\`/\\\\\"q\\\\\"\"";
        QTest::newRow("backslash: four in the file") << "/a\\b"
                                                     << "\"/a\\\\\\\\b\"";
        QTest::newRow("percent: not a field code") << "/tmp/100%u"
                                                   << "\"/tmp/100%%u\"";
        QTest::newRow("line break") << "/tmp/a\nb"
                                    << "\"/tmp/a\\nb\"";
    }
    void desktopExec()
    {
        QFETCH(QString, program);
        QFETCH(QString, line);
        QCOMPARE(DesktopExecLine(program), line);
        QCOMPARE(ParseDesktopExecLine(line), std::optional<QString>(program));
    }

    void runKeyIsTheAutostartFolder()
    {
        TempStore store;
        const QString program = QStringLiteral("/opt/my vsp/vsp");
        TRegistry reg = store.Registry();
        QVERIFY(reg.OpenKey(QString::fromLatin1(RunKeyPath), false));
        QVERIFY(!reg.ValueExists("KelmarVSP"));
        reg.WriteString("KelmarVSP", program);
        QVERIFY2(reg.CloseKey(), qPrintable(reg.ErrorString()));
        QCOMPARE(ReadFile(store.AutostartFile()),
            QByteArray("[Desktop Entry]\nType=Application\nName=Kelmar Virtual port manager\n"
                       "Icon=vsp\nExec=\"/opt/my vsp/vsp\"\n"));

        QVERIFY(reg.OpenKey(QString::fromLatin1(RunKeyPath), false));
        QString text;
        QCOMPARE(reg.ReadString("KelmarVSP", text), TReadStatus::Ok);
        QCOMPARE(text, program);
        reg.DeleteValue("KelmarVSP");
        reg.DeleteValue("NeverThere"); // not an error
        QVERIFY(reg.CloseKey());
        QVERIFY(!QFile::exists(store.AutostartFile()));

        // The desktop's own way to switch an entry off counts as absent.
        WriteFile(store.AutostartFile(), "[Desktop Entry]\nExec=/x/vsp\nHidden=true\n");
        QVERIFY(reg.OpenKey(QString::fromLatin1(RunKeyPath), false));
        QVERIFY(!reg.ValueExists("KelmarVSP"));
        // A name that would leave the folder is refused.
        reg.WriteString("../escape", program);
        QVERIFY(!reg.CloseKey());
        QVERIFY(!QFile::exists(store.ConfigHome() + "/escape.desktop"));

        // The Run key is opened for full access too.
        QFile::setPermissions(store.AutostartDir(), QFile::ReadOwner | QFile::ExeOwner);
        {
            NoPermissionOverride asUser;
            QVERIFY(!reg.OpenKey(QString::fromLatin1(RunKeyPath), false));
            QCOMPARE(reg.Error(), TStoreError::NotWritable);
        }
        QFile::setPermissions(
            store.AutostartDir(), QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
    }

    // ---- vsp-driver-install ----

    void driverInstall()
    {
        TempStore store(false);
        const QString tool = vsptest::BinaryPath("vsp-driver-install");
        QVERIFY2(QFile::exists(tool), "build the vsp-driver-install target");
        auto run = [&](const QStringList& args, QByteArray* out = nullptr) {
            QProcess p;
            p.setProgram(tool);
            p.setArguments(args);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("VSP_STORE"), store.StorePath());
            p.setProcessEnvironment(env);
            p.start();
            if (!p.waitForFinished(20000)) return -1;
            if (out) *out = p.readAllStandardOutput() + p.readAllStandardError();
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        auto installed = [&]() -> std::optional<uint32_t> {
            TRegDocument doc;
            if (!doc.Parse(store.Read())) return std::nullopt;
            const TRegValue* v = doc.Value("Software\\Kelmar\\VSPDriver", "DriverInstalled");
            if (!v || v->Type != TRegDataType::Integer) return std::nullopt;
            return v->Number;
        };

        // Other settings in the store are left alone.
        store.Write("REGEDIT4\n\n[Software\\Kelmar\\VSP]\n\"IP\"=\"10.0.0.5\"\n");
        QByteArray out;
        QCOMPARE(run({}, &out), 0);
        QVERIFY2(out.contains("Recorded"), out.constData());
        QCOMPARE(installed(), std::optional<uint32_t>(1));
        QVERIFY(store.Read().contains("\"IP\"=\"10.0.0.5\""));

        // Again: nothing changes, not even the file's time.
        const QByteArray after = store.Read();
        const qint64 mtime = Backdate(store.StorePath());
        QCOMPARE(run({}, &out), 0);
        QVERIFY2(out.contains("Already recorded"), out.constData());
        QCOMPARE(store.Read(), after);
        QCOMPARE(vsptest::ModifiedAt(store.StorePath()), mtime);

        // A value of the wrong kind is replaced by the record.
        store.Write("REGEDIT4\n[Software\\Kelmar\\VSPDriver]\n\"DriverInstalled\"=\"yes\"\n");
        QCOMPARE(run({}), 0);
        QCOMPARE(installed(), std::optional<uint32_t>(1));

        QCOMPARE(run({ "--uninstall" }, &out), 0);
        QVERIFY2(out.contains("Removed"), out.constData());
        QCOMPARE(installed(), std::nullopt);
        QCOMPARE(run({ "--uninstall" }, &out), 0);
        QVERIFY2(out.contains("nothing to do"), out.constData());

        // A damaged store is named and left as it is.
        const QByteArray damaged(
            "REGEDIT4\n[Software\\Kelmar\\VSPDriver]\n\"DriverInstalled\"=dword:1x\n");
        store.Write(damaged);
        QCOMPARE(run({}, &out), 3);
        QVERIFY2(out.contains(QFile::encodeName(store.StorePath()) + ", line 3"), out.constData());
        QCOMPARE(store.Read(), damaged);
        QCOMPARE(run({ "--uninstall" }), 3);
        QCOMPARE(store.Read(), damaged);

        QCOMPARE(run({ "--bogus" }), 2);
        QCOMPARE(run({ "--help" }), 0);
    }
};

QTEST_GUILESS_MAIN(TstStore)
#include "tst_store.moc"
