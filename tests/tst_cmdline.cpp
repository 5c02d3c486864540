// The command line: each row starts a window with some parameters and checks the result
// (the position reported as rejected, if any) and the state of the controls it may set.

#include "app/Dialogs.h"
#include "app/RegDocument.h"
#include "app/Umainf.h"
#include "tests/support/FormHarness.h"
#include "tests/support/FormState.h"
#include "tests/support/TempStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QtTest>

using namespace vsp;

namespace {

using namespace vsptest;
using State = FormState;

struct Started {
    int Result = 0; // the position in the command-line error box, 0 without one
    bool Terminated = false;
    State Controls;
    QList<MessageBoxRequest> Boxes;
};

Started Start(const TempStore& store, const QStringList& params)
{
    Started out;
    {
        FormHarness form(params, store.Platform(), { .log = false });
        out.Terminated = form->Terminated;
        out.Controls = StateOf(*form);
        out.Boxes = form.boxes;
        for (const MessageBoxRequest& r : out.Boxes) {
            static const QRegularExpression error(
                QStringLiteral("^Error in command line parameter \\((\\d+)\\)$"));
            const auto m = error.match(r.Text);
            if (m.hasMatch()) {
                out.Result = m.captured(1).toInt();
                if (r.Caption != QStringLiteral("Orvane Virtual Com") || r.Icon != MsgIcon::Error)
                    out.Result = -1;
                if (form->ExitCode == 0) out.Result = -2;
            }
        }
    }
    return out;
}

} // namespace

class TstCmdline : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parameters_data()
    {
        QTest::addColumn<QStringList>("params");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("changes");

        QTest::newRow("-i address and port")
            << QStringList { "-i10.0.0.5:10001" } << 0 << "ip=10.0.0.5|port=10001";
        QTest::newRow("-i address only") << QStringList { "-i10.0.0.5" } << 0 << "ip=10.0.0.5";
        QTest::newRow("-i alone empties the address, keeps the port")
            << QStringList { "-i1.2.3.4:99", "-i" } << 0 << "ip=|port=99";
        QTest::newRow("-i splits at the first colon")
            << QStringList { "-ihost:80:x" } << 0 << "ip=host|port=80:x";
        QTest::newRow("-i with an empty port")
            << QStringList { "-i1.2.3.4:" } << 0 << "ip=1.2.3.4|port=";
        QTest::newRow("-c12") << QStringList { "-c12" } << 0 << "com=COM12";
        QTest::newRow("-c alone") << QStringList { "-c" } << 0 << "com=COM";
        QTest::newRow("-c one word with a space")
            << QStringList { "-cUSB 0" } << 0 << "com=COMUSB 0";
        QTest::newRow("-s") << QStringList { "-s5000" } << 0 << "sport=5000";
        QTest::newRow("-s alone") << QStringList { "-s7", "-s" } << 0 << "sport=";
        QTest::newRow("boxes on") << QStringList { "-F1", "-H1", "-P1", "-S1" } << 0
                                  << "+F|+H|+P|+S";
        QTest::newRow("boxes on then off")
            << QStringList { "-F1", "-H1", "-P1", "-S1", "-F0", "-H0", "-P0", "-S0" } << 0 << "";
        QTest::newRow("-F1xyz is -F1") << QStringList { "-F1xyz" } << 0 << "+F";
        QTest::newRow("-F without a value") << QStringList { "-F" } << 1 << "";
        QTest::newRow("-F2") << QStringList { "-F2" } << 1 << "";
        QTest::newRow("-Hx") << QStringList { "-Hx" } << 1 << "";
        QTest::newRow("-N1 -Nf") << QStringList { "-N1", "-Nf" } << 0 << "+N|+Nf";
        QTest::newRow("-N1 and all options")
            << QStringList { "-N1", "-Nf", "-Nk", "-Np" } << 0 << "+N|+Nf|+Nk|+Np";
        QTest::newRow("-Nf alone") << QStringList { "-Nf" } << 1 << "";
        QTest::newRow("-Np alone") << QStringList { "-S1", "-Np" } << 2 << "+S";
        QTest::newRow("-N1 -N0 -Nk") << QStringList { "-N1", "-N0", "-Nk" } << 3 << "";
        QTest::newRow("-Nx") << QStringList { "-N1", "-Nx" } << 2 << "+N";
        QTest::newRow("options are lower case") << QStringList { "-N1", "-NF" } << 2 << "+N";
        QTest::newRow("-N alone") << QStringList { "-N" } << 1 << "";
        QTest::newRow("letters are case-sensitive") << QStringList { "-f1" } << 1 << "";
        QTest::newRow("-x") << QStringList { "-x" } << 1 << "";
        QTest::newRow("no dash") << QStringList { "abc" } << 1 << "";
        QTest::newRow("lone dash") << QStringList { "-S1", "-" } << 2 << "+S";
        QTest::newRow("double dash") << QStringList { "--S1" } << 1 << "";
        QTest::newRow("empty word") << QStringList { "" } << 1 << "";
        QTest::newRow("earlier parameters stay applied")
            << QStringList { "-S1", "-c5", "abc", "-H1" } << 3 << "+S|com=COM5";
        QTest::newRow("-R later than first") << QStringList { "-S1", "-R" } << 2 << "+S";
    }
    void parameters()
    {
        QFETCH(QStringList, params);
        QFETCH(int, result);
        QFETCH(QString, changes);
        vsptest::TempStore store; // in case anything reached for the store
        const QByteArray before = store.Read();
        const Started s = Start(store, params);
        QCOMPARE(s.Result, result);
        QCOMPARE(s.Terminated, result != 0);
        QCOMPARE(s.Boxes.size(), result != 0 ? 1 : 0);
        QCOMPARE(Show(s.Controls), Show(Expected(changes)));
        QCOMPARE(store.Read(), before);
    }

    // -R loads the store first, exactly as a start without parameters does.
    void loadFirst_data()
    {
        QTest::addColumn<QStringList>("params");
        QTest::addColumn<QByteArray>("store");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("changes");
        QTest::addColumn<QString>("box"); // another box expected, besides a command-line error

        const QString loaded = "ip=10.9.8.7|port=4001|com=COM7|sport=5005|tea1=11111111|tea2="
                               "22222222|tea3=33333333|tea4=44444444";
        auto with = [](QList<std::pair<QString, TRegValue>> values, const char* name, TRegValue v) {
            for (auto& [n, value] : values)
                if (n == QLatin1String(name)) value = v;
            return values;
        };
        auto without = [](QList<std::pair<QString, TRegValue>> values, const char* name) {
            values.removeIf([&](const auto& p) { return p.first == QLatin1String(name); });
            return values;
        };
        QTest::newRow("-R") << QStringList { "-R" } << SettingsText(FullSettings(false)) << 0
                            << loaded << "";
        QTest::newRow("-R -S1") << QStringList { "-R", "-S1" } << SettingsText(FullSettings(false))
                                << 0 << loaded + "|+S"
                                << "";
        QTest::newRow("-R -c3 overrides the stored name")
            << QStringList { "-R", "-c3" } << SettingsText(FullSettings(false)) << 0
            << QString(loaded).replace("COM7", "COM3") << "";
        QTest::newRow("-R -Nf with NVT enabled in the store")
            << QStringList { "-R", "-Nf" }
            << SettingsText(with(FullSettings(false), "NVT Enabled", TRegValue::Integer(1))) << 0
            << loaded + "|+N|+Nf"
            << "";
        QTest::newRow("-R -Nf with NVT disabled in the store")
            << QStringList { "-R", "-Nf" } << SettingsText(FullSettings(false)) << 2 << loaded
            << "";
        QTest::newRow("-R -R") << QStringList { "-R", "-R" } << SettingsText(FullSettings(false))
                               << 2 << loaded << "";
        QTest::newRow("-R without the driver ends before the rest")
            << QStringList { "-R", "-S1", "-x" } << SettingsText(FullSettings(false), false) << 0
            << ""
            << "VSP driver not installed. Run VSP Driver Install";
        QTest::newRow("-R with a bad value loads the rest and goes on with the parameters")
            << QStringList { "-R", "-S1" }
            << SettingsText(without(FullSettings(false), "NVT Enabled")) << 0 << loaded + "|+S"
            << "Can't read value 'NVT Enabled' from Software\\Kelmar\\VSP: the value is missing";
    }
    void loadFirst()
    {
        QFETCH(QStringList, params);
        QFETCH(QByteArray, store);
        QFETCH(int, result);
        QFETCH(QString, changes);
        QFETCH(QString, box);
        vsptest::TempStore temp;
        temp.Write(store);
        const Started s = Start(temp, params);
        QCOMPARE(s.Result, result);
        QStringList others;
        for (const MessageBoxRequest& r : s.Boxes)
            if (!r.Text.startsWith("Error in command line")) others << r.Text;
        QCOMPARE(others, box.isEmpty() ? QStringList() : QStringList { box });
        QCOMPARE(Show(s.Controls), Show(Expected(changes)));
        QCOMPARE(temp.Read(), store);
    }
};

QTEST_MAIN(TstCmdline)
#include "tst_cmdline.moc"
