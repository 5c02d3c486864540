// Loading the settings at start and saving them at close: round trips through a private
// store, the order the values are set in, the driver check, every failure the user must be
// told about, and that a start with parameters writes nothing.

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Registry.h"
#include "app/Umainf.h"
#include "tests/support/FormHarness.h"
#include "tests/support/FormState.h"
#include "tests/support/TempStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QtTest>

#include <memory>

using namespace vsp;
using namespace vsptest;

namespace {

const QString VspKey = QStringLiteral("Software\\Kelmar\\VSP");

struct Boxes;
Boxes* recording = nullptr; // the Boxes that lives now, if any

// Records the message boxes of the windows Start makes and answers them, for the life of
// the object.
struct Boxes {
    QList<MessageBoxRequest> Shown;
    Boxes() { recording = this; }
    ~Boxes() { recording = nullptr; }
    QStringList Texts() const
    {
        QStringList out;
        for (const MessageBoxRequest& r : Shown)
            out << r.Text;
        return out;
    }
};

vsptest::FormHarness Start(const TempStore& store, const QStringList& params = {})
{
    TPlatform platform = store.Platform();
    platform.MessageBox = [](const MessageBoxRequest& r) {
        if (!recording) return MessageBox(r);
        recording->Shown.append(r);
        return MsgResult::Yes;
    };
    return vsptest::FormHarness(params, platform, { .log = false });
}

SettingsList Without(SettingsList values, const QString& name)
{
    values.removeIf([&](const auto& p) { return p.first == name; });
    return values;
}

SettingsList With(SettingsList values, const QString& name, const TRegValue& value)
{
    for (auto& [n, v] : values)
        if (n == name) v = value;
    return values;
}

// What each directory under dir holds, with sizes and times: to show that nothing was
// created, removed or touched.
QStringList Listing(const QString& dir)
{
    QStringList out;
    QDirIterator it(
        dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo fi = it.fileInfo();
        out << QStringLiteral("%1 %2 %3")
                   .arg(fi.filePath())
                   .arg(fi.size())
                   .arg(fi.lastModified().toMSecsSinceEpoch());
    }
    out.sort();
    return out;
}

const QStringList SaveOrder { "IP", "Port", "ServerPort", "COM name", "NVT Enabled", "NVT Filter",
    "NVT Port setup", "Keep connection", "Use TEA auth", "Log enabled", "Server mode",
    "Startup create", "Startup hide", "Kelmar device present", "Ping fail", "Connect closed",
    "TEA1", "TEA2", "TEA3", "TEA4" };

} // namespace

class TstConfig : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstStartKeepsTheDesignState()
    {
        TempStore store;
        Boxes boxes;
        auto form = Start(store);
        QVERIFY(!form->Terminated);
        QCOMPARE(boxes.Texts(), QStringList());
        QCOMPARE(Show(StateOf(*form)), Show(Expected("")));
    }

    void roundTrip()
    {
        TempStore store;
        Boxes boxes;
        const QString program = QCoreApplication::applicationFilePath();
        {
            auto form = Start(store);
            form->IPAddressComboBox->setEditText("10.0.0.5");
            form->PortLabeledEdit->setText("10001");
            form->ComPortComboBox->setEditText("COM12");
            form->ServerPortLabeledEdit->setText("50\"0\\1"); // stored as typed, quotes and all
            form->UKEdit1->setText("A\\B\"C");
            form->UKEdit2->setText("");
            form->UKEdit4->setText("00000000");
            form->NVTEnabledCheckBox->setChecked(true);
            form->NVTFilterCheckBox->setChecked(true);
            form->NVTKeepCheckBox->setChecked(true);
            form->TEAEnabledCheckBox->setChecked(true);
            form->LogEnabledCheckBox->setChecked(true);
            form->StartupHideCheckBox->setChecked(true);
            form->PingFailCheckBox->setChecked(true);
            form->StartOnBootCheckBox->setChecked(true);
            QVERIFY(form->FormClose());
        }
        QCOMPARE(boxes.Texts(), QStringList());

        TRegDocument doc;
        QVERIFY(doc.Parse(store.Read()));
        QCOMPARE(doc.ValueNames(VspKey), SaveOrder);
        QCOMPARE(*doc.Value(VspKey, "ServerPort"), TRegValue::String("50\"0\\1"));
        QCOMPARE(*doc.Value(VspKey, "NVT Enabled"), TRegValue::Integer(1));
        QCOMPARE(*doc.Value(VspKey, "Startup create"), TRegValue::Integer(0));
        QVERIFY(store.Read().contains("\"TEA1\"=\"A\\\\B\\\"C\"\n"));
        // The driver record is still there.
        QCOMPARE(*doc.Value(QString::fromLatin1(DriverKeyPath), "DriverInstalled"),
            TRegValue::Integer(1));
        // Start on boot: the program itself, without parameters.
        QVERIFY(QFile::exists(store.AutostartFile()));
        TRegistry reg = store.Registry();
        QVERIFY(reg.OpenKey(QString::fromLatin1(RunKeyPath), false));
        QString exec;
        QCOMPARE(reg.ReadString("KelmarVSP", exec), TReadStatus::Ok);
        QCOMPARE(exec, program);

        const FormState saved = Expected("ip=10.0.0.5|port=10001|com=COM12|sport=50\"0\\1|"
                                         "tea1=A\\B\"C|tea2=|tea4=00000000|"
                                         "+N|+Nf|+Nk|+tea|+log|+H|+F|+boot");
        {
            auto form = Start(store);
            QCOMPARE(Show(StateOf(*form)), Show(saved));
            // Switched off, the autostart entry goes.
            form->StartOnBootCheckBox->setChecked(false);
            QVERIFY(form->FormClose());
        }
        QVERIFY(!QFile::exists(store.AutostartFile()));
        {
            auto form = Start(store);
            FormState off = saved;
            off["boot"] = "0";
            QCOMPARE(Show(StateOf(*form)), Show(off));
            QVERIFY(form->FormClose()); // off and absent: no error
        }
        QCOMPARE(boxes.Texts(), QStringList());
    }

    // The check boxes are set in the load order, and each change runs the box's handler.
    void loadOrder_data()
    {
        QTest::addColumn<QByteArray>("store");
        QTest::addColumn<QByteArray>("autostart"); // the entry's text; empty: no entry
        QTest::addColumn<QString>("changes");
        const QString texts = "ip=10.9.8.7|port=4001|com=COM7|sport=5005|"
                              "tea1=11111111|tea2=22222222|tea3=33333333|tea4=44444444";
        const auto off = FullSettings(false);
        const auto kelmar = TRegValue::Integer(1);
        QTest::newRow("all on") << SettingsText(FullSettings(true)) << QByteArray()
                                << texts + "|+N|+Nf|+Np|+Nk|+tea|+log|+S|+P|+H|+F|+cc";
        QTest::newRow("device test checks NVT, filter and port setup over what was stored")
            << SettingsText(With(off, "Kelmar device present", kelmar)) << QByteArray()
            << texts + "|+kelmar|+N|+Nf|+Np";
        QTest::newRow("sub-options as stored with NVT off") << SettingsText(
            With(With(With(off, "NVT Filter", kelmar), "NVT Port setup", kelmar), "Keep connection",
                kelmar)) << QByteArray() << texts + "|+Nf|+Np|+Nk";
        SettingsList bare;
        for (const auto& [name, value] : off)
            if (value.Type == TRegDataType::Integer) bare.append({ name, TRegValue::Integer(1) });
        QTest::newRow("missing texts are emptied")
            << SettingsText(With(bare, "Kelmar device present", TRegValue::Integer(0)))
            << QByteArray()
            << "ip=|port=|com=|sport=|tea1=|tea2=|tea3=|tea4=|+N|+Nf|+Np|+Nk|+tea|+log|+S|+P|+H|+F|"
               "+cc";
        QTest::newRow("expandable string read as text")
            << SettingsText(With(off, "IP", { TRegDataType::ExpandString, "%HOST%", 0 }))
            << QByteArray() << QString(texts).replace("10.9.8.7", "%HOST%");
        QTest::newRow("any non-zero number is true")
            << SettingsText(With(With(off, "Use TEA auth", TRegValue::Integer(2)), "Log enabled",
                   TRegValue::Integer(0xffffffff)))
            << QByteArray() << texts + "|+tea|+log";
        QTest::newRow("autostart entry present")
            << SettingsText(off) << QByteArray("[Desktop Entry]\nExec=\"/x/vsp\"\n")
            << texts + "|+boot";
        QTest::newRow("autostart entry switched off by the desktop")
            << SettingsText(off) << QByteArray("[Desktop Entry]\nExec=/x/vsp\nHidden=true\n")
            << texts;
    }
    void loadOrder()
    {
        QFETCH(QByteArray, store);
        QFETCH(QByteArray, autostart);
        QFETCH(QString, changes);
        TempStore temp;
        temp.Write(store);
        if (!autostart.isEmpty()) {
            QDir().mkpath(temp.AutostartDir());
            QFile f(temp.AutostartFile());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(autostart);
        }
        Boxes boxes;
        auto form = Start(temp);
        QCOMPARE(boxes.Texts(), QStringList());
        QCOMPARE(Show(StateOf(*form)), Show(Expected(changes)));
    }

    // A value that can't be read (missing, or of another type) is named at start, its
    // control keeps its design state, every other value loads; the close then saves, so the
    // file is whole again with only the unreadable values replaced.
    void loadGoesOnPastBadValues_data()
    {
        QTest::addColumn<QStringList>("bad"); // "name|fault"; fault: missing, string, number
        for (const auto& [name, value] : FullSettings(true)) {
            if (value.Type == TRegDataType::Integer) {
                QTest::addRow("%s missing", qPrintable(name)) << QStringList { name + "|missing" };
                QTest::addRow("%s as text", qPrintable(name)) << QStringList { name + "|string" };
            } else {
                QTest::addRow("%s as a number", qPrintable(name))
                    << QStringList { name + "|number" };
            }
        }
        // First, middle and last of the load order in one store: one box names all three.
        QTest::newRow("first, middle and last")
            << QStringList { "IP|number", "Log enabled|missing", "Kelmar device present|string" };
    }
    void loadGoesOnPastBadValues()
    {
        QFETCH(QStringList, bad);
        const FormState design = Expected("");
        SettingsList values = FullSettings(true);
        QMap<QString, QString> faults;
        for (const QString& b : bad)
            faults[b.section(u'|', 0, 0)] = b.section(u'|', 1);
        QMap<QString, TRegValue> mended; // what the close is to store for each bad value
        QStringList why;
        for (const auto& [name, value] : FullSettings(true)) {
            if (!faults.contains(name)) continue;
            const QString fault = faults[name];
            const bool number = value.Type == TRegDataType::Integer;
            if (fault == "missing")
                values = Without(values, name);
            else
                values
                    = With(values, name, number ? TRegValue::String("1") : TRegValue::Integer(1));
            mended[name] = number ? TRegValue::Integer(design[StateKey(name)] == "1" ? 1 : 0)
                                  : TRegValue::String(design[StateKey(name)]);
            why << QStringLiteral("Can't read value '%1' from %2: %3")
                       .arg(name, VspKey,
                           fault == "missing" ? "the value is missing"
                               : number       ? "the value is not a number"
                                              : "the value is not a string");
        }
        QCOMPARE(mended.size(), bad.size());
        TempStore store;
        store.Write(SettingsText(values));
        // Expected: the stored value of every other control, the design state of the bad ones.
        QStringList changes;
        for (const auto& [n, v] : FullSettings(true)) {
            if (mended.contains(n)) continue;
            changes << (v.Type == TRegDataType::Integer ? (v.Number ? "+" + StateKey(n) : QString())
                                                        : StateKey(n) + "=" + v.Text);
        }
        const FormState loaded = Expected(changes.join(u'|'));
        Boxes boxes;
        {
            auto form = Start(store);
            QCOMPARE(boxes.Texts(), QStringList { why.join(u'\n') });
            QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("Error"));
            QCOMPARE(boxes.Shown[0].Icon, MsgIcon::Error);
            QCOMPARE(Show(StateOf(*form)), Show(loaded));
            QVERIFY(!form->Terminated);
            QVERIFY(form->FirstShow);
            QVERIFY(form->UDPThread);
            QVERIFY(form->FormClose());
            QCOMPARE(boxes.Shown.size(), 1); // the close says nothing more
            QVERIFY(form->PingThread == nullptr);
        }
        // The close wrote every value: the others as they were, the bad ones as their
        // controls stood.
        TRegDocument doc;
        QVERIFY(doc.Parse(store.Read()));
        QStringList names = doc.ValueNames(VspKey);
        names.sort();
        QStringList all = SaveOrder;
        all.sort();
        QCOMPARE(names, all);
        for (const auto& [name, value] : FullSettings(true))
            QCOMPARE(*doc.Value(VspKey, name), mended.value(name, value));
        // Mended: the next start reads it without a word, to the same state.
        auto again = Start(store);
        QCOMPARE(boxes.Shown.size(), 1);
        QCOMPARE(Show(StateOf(*again)), Show(loaded));
    }

    void driverCheck_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("store");
        QTest::addColumn<QString>("message"); // %1: the store's path
        const QString driver = "VSP driver not installed. Run VSP Driver Install";
        const auto settings = FullSettings(true);
        auto driverAs = [&](const TRegValue& v) {
            TRegDocument doc;
            doc.Parse(SettingsText(settings, false));
            doc.SetValue(QString::fromLatin1(DriverKeyPath), "DriverInstalled", v);
            return doc.Serialize();
        };
        QTest::newRow("no store") << "" << QByteArray() << driver;
        QTest::newRow("no driver key") << "" << SettingsText(settings, false) << driver;
        QByteArray emptyKey = SettingsText(settings, false) + "\n[Software\\Kelmar\\VSPDriver]\n";
        QTest::newRow("no value") << "" << emptyKey << driver;
        QTest::newRow("value 0") << "" << driverAs(TRegValue::Integer(0)) << driver;
        QTest::newRow("value as text") << "" << driverAs(TRegValue::String("1")) << driver;
        QTest::newRow("value as expandable text")
            << "" << driverAs({ TRegDataType::ExpandString, "1", 0 }) << driver;
        QTest::newRow("store not writable") << "file 0444" << SettingsText(settings) << driver;
        QTest::newRow("folder not writable") << "dir 0555" << SettingsText(settings) << driver;
        QTest::newRow("store damaged")
            << ""
            << QByteArray(
                   "REGEDIT4\n\n[Software\\Kelmar\\VSPDriver]\n\"DriverInstalled\"=dword:1\n\"x\n")
            << "The settings file is damaged and was left as it is:\n%1, line 5: missing closing "
               "quote\nCorrect or remove it, then start again.";
        QTest::newRow("store unreadable") << "file 0000" << SettingsText(settings)
                                          << "Can't read the settings file:\n%1: Permission denied";
    }
    void driverCheck()
    {
        QFETCH(QString, setup);
        QFETCH(QByteArray, store);
        QFETCH(QString, message);
        TempStore temp(false);
        if (!store.isEmpty()) temp.Write(store);
        const QStringList before = Listing(temp.Dir());
        const auto rx = QFile::ReadOwner | QFile::ExeOwner;
        if (setup == "file 0444")
            QFile::setPermissions(temp.StorePath(), QFile::ReadOwner);
        else if (setup == "file 0000")
            QFile::setPermissions(temp.StorePath(), QFileDevice::Permissions());
        else if (setup == "dir 0555")
            QFile::setPermissions(temp.Dir(), rx);
        for (const QStringList& params : { QStringList(), QStringList { "-R", "-S1" } }) {
            Boxes boxes;
            auto form = [&] {
                NoPermissionOverride asUser;
                return Start(temp, params);
            }();
            QVERIFY(form->Terminated);
            QCOMPARE(form->ExitCode, 1);
            QCOMPARE(
                boxes.Texts(), QStringList { QString(message).replace("%1", temp.StorePath()) });
            QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("Kelmar VSP"));
            QCOMPARE(boxes.Shown[0].Icon, MsgIcon::Error);
            // Nothing was loaded, and the parameters after -R were not applied.
            QCOMPARE(Show(StateOf(*form)), Show(Expected("")));
            QVERIFY(!form->UDPThread);
        }
        QFile::setPermissions(temp.Dir(), rx | QFile::WriteOwner);
        QFile::setPermissions(temp.StorePath(), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(Listing(temp.Dir()), before);
    }

    // A failed write of the settings abandons the close and leaves the old store.
    void saveFails_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason"); // %1: the store's path
        QTest::newRow("store not writable") << "file 0444"
                                            << "%1: Permission denied";
        QTest::newRow("folder not writable") << "dir 0555"
                                             << "%2: Permission denied";
        QTest::newRow("disk full") << "full"
                                   << "%1: File too large";
        QTest::newRow("store damaged meanwhile")
            << "damaged"
            << "%1, line 2: the file does not start with REGEDIT4";
    }
    void saveFails()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        TempStore store;
        store.Write(SettingsText(FullSettings(false)));
        Boxes boxes;
        auto form = Start(store);
        QCOMPARE(boxes.Texts(), QStringList());
        form->IPAddressComboBox->setEditText(QString(8000, u'1')); // bigger than the file was
        if (fault == "damaged") store.Write("\nREGEDIT5\n");
        const QByteArray before = store.Read();
        const auto rx = QFile::ReadOwner | QFile::ExeOwner;
        if (fault == "file 0444")
            QFile::setPermissions(store.StorePath(), QFile::ReadOwner);
        else if (fault == "dir 0555")
            QFile::setPermissions(store.Dir(), rx);
        bool closed;
        {
            NoPermissionOverride asUser;
            std::optional<FileSizeLimit> disk;
            if (fault == "full") disk.emplace(rlim_t(before.size() + 100));
            closed = form->FormClose();
        }
        QFile::setPermissions(store.Dir(), rx | QFile::WriteOwner);
        QFile::setPermissions(store.StorePath(), QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(!closed);
        QCOMPARE(boxes.Texts(),
            QStringList {
                QStringLiteral("Can't write value 'IP' to %1: %2\nThe settings were not saved.")
                    .arg(VspKey,
                        QString(reason)
                            .replace("%1", store.StorePath())
                            .replace("%2", store.Dir())) });
        QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("Error"));
        QCOMPARE(boxes.Shown[0].Icon, MsgIcon::Error);
        QCOMPARE(store.Read(), before);
        QVERIFY(!QFile::exists(store.StorePath() + ".tmp"));
        // The program runs on unchanged, and a later close can still succeed.
        QVERIFY(form->PingThread);
        if (fault != "damaged") {
            boxes.Shown.clear();
            QVERIFY(form->FormClose());
            QCOMPARE(boxes.Texts(), QStringList());
            QVERIFY(store.Read().contains(QByteArray(8000, '1')));
        }
    }

    void autostartWriteFailsButSettingsAreSaved()
    {
        TempStore store;
        QDir().mkpath(store.AutostartDir());
        Boxes boxes;
        auto form = Start(store);
        form->StartOnBootCheckBox->setChecked(true);
        form->IPAddressComboBox->setEditText("10.0.0.9");
        QFile::setPermissions(store.AutostartDir(), QFile::ReadOwner | QFile::ExeOwner);
        bool closed;
        {
            NoPermissionOverride asUser;
            closed = form->FormClose();
        }
        QFile::setPermissions(
            store.AutostartDir(), QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
        QVERIFY(closed);
        QCOMPARE(boxes.Texts(), QStringList { "Can't write to system registry" });
        QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("Error"));
        QCOMPARE(boxes.Shown[0].Icon, MsgIcon::Error);
        QVERIFY(!QFile::exists(store.AutostartFile()));
        QVERIFY(store.Read().contains("\"IP\"=\"10.0.0.9\""));
    }

    // Started with parameters, the program never writes: not the store, not the autostart
    // entry, not even a temporary file; with -R as well.
    void parametersWriteNothing_data()
    {
        QTest::addColumn<QStringList>("params");
        QTest::newRow("-S1") << QStringList { "-S1" };
        QTest::newRow("-R") << QStringList { "-R" };
        QTest::newRow("-R -S1 -c9") << QStringList { "-R", "-S1", "-c9" };
        QTest::newRow("-R then an error") << QStringList { "-R", "-x" };
        QTest::newRow("an error") << QStringList { "-x" };
    }
    void parametersWriteNothing()
    {
        QFETCH(QStringList, params);
        TempStore store;
        store.Write(SettingsText(FullSettings(true)));
        QDir().mkpath(store.AutostartDir());
        QFile entry(store.AutostartFile());
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nExec=\"/somewhere/else/vsp\"\n");
        entry.close();
        Backdate(store.StorePath());
        Backdate(store.AutostartFile());
        const QByteArray bytes = store.Read();
        const QStringList before = Listing(store.Dir());
        Boxes boxes;
        {
            auto form = Start(store, params);
            if (!form->Terminated) {
                // Changed settings, start on boot switched off: still nothing is written.
                form->IPAddressComboBox->setEditText("10.0.0.1");
                form->StartOnBootCheckBox->setChecked(false);
                QVERIFY(form->FormClose());
            }
        }
        QCOMPARE(store.Read(), bytes);
        QCOMPARE(Listing(store.Dir()), before);
    }
};

QTEST_MAIN(TstConfig)
#include "tst_config.moc"
