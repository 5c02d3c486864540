// The "UDP Setup" page over a real discovery worker: replies are sent to the worker's
// socket on loopback, and the page is read and clicked as a user would. The test runs in
// a network namespace of its own (see main), so the discovery ports are its alone.

#include "app/Controls.h"
#include "app/Messages.h"
#include "setup/Discovery.h"
#include "setup/Udpthread.h"
#include "tests/support/FormHarness.h"
#include "tests/support/PrivateNet.h"

#include "tests/support/UdpPeer.h"
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <QtTest>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace vsp;
using vsptest::FormHarness;

namespace {

using Udp = vsptest::UdpPeer;

// The bytes of the next datagram, or none.
QByteArray Bytes(const std::optional<Udp::Datagram>& d)
{
    return d ? d->Bytes : QByteArray();
}

struct ModuleSpec {
    std::array<uint8_t, 6> Mac;
    std::array<uint8_t, 4> Ip;
    std::array<uint8_t, 4> Mask = { 255, 255, 255, 0 };
    std::array<uint8_t, 4> Gateway = { 172, 30, 1, 254 };
    uint8_t Flags = 0;
    uint16_t Port = 0;
};

QByteArray Reply(const ModuleSpec& m)
{
    const auto r = MakeModuleReply(m.Mac, m.Ip, m.Mask, m.Gateway, m.Flags, m.Port);
    return QByteArray(reinterpret_cast<const char*>(r.data()), int(r.size()));
}

QByteArray Reply(uint8_t id, uint8_t flags = 0, uint16_t port = 4001)
{
    return Reply({ { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, id }, { 172, 30, 1, id }, { 255, 255, 255, 0 },
        { 172, 30, 1, 254 }, flags, port });
}

int CountOf(TMainForm* form)
{
    QMutexLocker lock(&form->UDPThread->Lock);
    return form->UDPThread->ModuleCount;
}

bool WaitForPort(TMainForm* form)
{
    QElapsedTimer timer;
    timer.start();
    while (form->UDPThread->BoundPort() == 0 && timer.elapsed() < 5000)
        QThread::usleep(200);
    return form->UDPThread->BoundPort() != 0;
}

// Sends the replies to the window's worker and waits, without running the event loop,
// until the table holds `total` entries: the module-found messages stay queued until the
// caller lets the loop run.
bool Feed(TMainForm* form, const QList<QByteArray>& replies, int total)
{
    if (!WaitForPort(form)) return false;
    Udp module;
    for (const QByteArray& r : replies)
        if (!module.SendTo(form->UDPThread->BoundPort(), r)) return false;
    QElapsedTimer timer;
    timer.start();
    while (CountOf(form) < total) {
        if (timer.elapsed() > 5000) return false;
        QThread::usleep(200);
    }
    return true;
}

QStringList Lines(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

QStringList DropDown(const QComboBox* box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

// What the page and the settings it writes show, for "nothing changed" checks.
QStringList Snapshot(TMainForm* f)
{
    return { f->IPAddressComboBox->currentText(), DropDown(f->IPAddressComboBox).join(u','),
        f->PortLabeledEdit->text(), f->UDPIPAddressEdit->text(), f->UDPPortEdit->text(),
        f->UDPMaskEdit->text(), f->UDPGatewayEdit->text(), f->NVTLabel->text(), f->TEALabel->text(),
        QString::number(f->TEAEnabledCheckBox->isChecked()),
        QString::number(f->NVTEnabledCheckBox->isChecked()),
        QString::number(f->NVTFilterCheckBox->isChecked()),
        QString::number(f->NVTPortSetupCheckBox->isChecked()) };
}

} // namespace

class TstModules : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each entry gets one line, in table order, however many messages announce it; the
    // IP addresses go to the drop-down list and the typed address stays.
    void listsEachModuleOnceInTableOrder()
    {
        FormHarness h;
        h->IPAddressComboBox->setEditText(QStringLiteral("172.30.9.9"));
        const QList<QByteArray> replies {
            Reply({ { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E }, { 10, 0, 0, 1 } }),
            Reply({ { 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03 }, { 0, 0, 0, 0 } }),
            Reply({ { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE }, { 255, 255, 255, 255 } }),
            Reply({ { 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC }, { 172, 30, 100, 7 } }),
            Reply({ { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E }, { 10, 0, 0, 2 } }), // same MAC
            Reply({ { 0x00, 0x00, 0x00, 0x00, 0x00, 0x01 }, { 1, 2, 3, 4 } }),
        };
        QVERIFY(Feed(h.form.get(), replies, 5));
        QCoreApplication::processEvents(); // the five messages at once
        const QStringList macs { "00 1A 2B 3C 4D 5E", "AB CD EF 01 02 03", "FF FF FF FF FF FE",
            "12 34 56 78 9A BC", "00 00 00 00 00 01" };
        QCOMPARE(Lines(h->UDPMACListBox), macs);
        const QStringList ips { "10.0.0.1", "0.0.0.0", "255.255.255.255", "172.30.100.7",
            "1.2.3.4" };
        QCOMPARE(DropDown(h->IPAddressComboBox), ips);
        QCOMPARE(h->IPAddressComboBox->currentText(), QStringLiteral("172.30.9.9"));
        for (int i = 0; i < 5; ++i)
            QCOMPARE(h->UDPThread->ModuleTable[i].Listed, uint8_t(1));

        // A message with nothing new behind it adds nothing; a later module comes last.
        PostMessage(h.form.get(), WM_UDPMODULEFOUND);
        QCoreApplication::processEvents();
        QCOMPARE(h->UDPMACListBox->count(), 5);
        QVERIFY(Feed(h.form.get(), { Reply(0x77) }, 6));
        QTRY_COMPARE(h->UDPMACListBox->count(), 6);
        QCOMPARE(h->UDPMACListBox->item(5)->text(), QStringLiteral("00 1A 2B 3C 4D 77"));
        QCOMPARE(h->IPAddressComboBox->itemText(5), QStringLiteral("172.30.1.119"));
        QCOMPARE(h->IPAddressComboBox->currentText(), QStringLiteral("172.30.9.9"));
    }

    // A click on a line shows that module's parameters.
    void clickShowsParameters_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("tea");
        QTest::addColumn<QString>("nvt");
        QTest::newRow("neither") << 0x00 << 0 << "TEA Auth. disabled"
                                 << "NVT disabled";
        QTest::newRow("TEA") << 0x01 << 4001 << "TEA Auth. enabled"
                             << "NVT disabled";
        QTest::newRow("NVT") << 0x02 << 65535 << "TEA Auth. disabled"
                             << "NVT enabled";
        QTest::newRow("both, other bits set") << 0xFF << 256 << "TEA Auth. enabled"
                                              << "NVT enabled";
        QTest::newRow("other bits only") << 0xFC << 1 << "TEA Auth. disabled"
                                         << "NVT disabled";
    }
    void clickShowsParameters()
    {
        QFETCH(int, flags);
        QFETCH(int, port);
        QFETCH(QString, tea);
        QFETCH(QString, nvt);
        FormHarness h;
        const ModuleSpec m { { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x02 }, { 172, 30, 1, 2 },
            { 255, 255, 0, 0 }, { 172, 30, 0, 1 }, uint8_t(flags), uint16_t(port) };
        QVERIFY(Feed(h.form.get(), { Reply(0x01, 0x03, 1), Reply(m) }, 2));
        QTRY_COMPARE(h->UDPMACListBox->count(), 2);
        h->UDPMACListBox->setCurrentRow(1);
        h->UDPMACListBoxClick();
        QCOMPARE(h->UDPIPAddressEdit->text(), QStringLiteral("172.30.1.2"));
        QCOMPARE(h->UDPMaskEdit->text(), QStringLiteral("255.255.0.0"));
        QCOMPARE(h->UDPGatewayEdit->text(), QStringLiteral("172.30.0.1"));
        QCOMPARE(h->UDPPortEdit->text(), QString::number(port));
        QCOMPARE(h->TEALabel->text(), tea);
        QCOMPARE(h->NVTLabel->text(), nvt);
    }

    // "Use this IP": the address and port as they stand in the fields, the options from
    // the selected module's flags; NVT enable is set before the two options it gates.
    void useThisIp_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<QString>("portField"); // as shown, or as the user edited it
        QTest::addColumn<QString>("expectedPort");
        QTest::newRow("no options, port 0 kept") << 0x00 << "0"
                                                 << "9999";
        QTest::newRow("TEA only") << 0x01 << "4001"
                                  << "4001";
        QTest::newRow("NVT only, edited port") << 0x02 << "23"
                                               << "23";
        QTest::newRow("both") << 0x03 << "65535"
                              << "65535";
        QTest::newRow("not exactly 0 is copied") << 0x03 << "00"
                                                 << "00";
    }
    void useThisIp()
    {
        QFETCH(int, flags);
        QFETCH(QString, portField);
        QFETCH(QString, expectedPort);
        FormHarness h;
        const bool teaOn = flags & 1, nvtOn = flags & 2;
        QVERIFY(Feed(h.form.get(), { Reply(0x05, uint8_t(flags), 4001) }, 1));
        QTRY_COMPARE(h->UDPMACListBox->count(), 1);
        h->UDPMACListBox->setCurrentRow(0);
        h->UDPMACListBoxClick();
        h->UDPPortEdit->setText(portField);
        h->IPAddressComboBox->setEditText(QStringLiteral("172.30.9.9"));
        h->PortLabeledEdit->setText(QStringLiteral("9999"));
        // Start from the opposite of what the module asks for, so that each box changes.
        h->TEAEnabledCheckBox->setChecked(!teaOn);
        h->NVTEnabledCheckBox->setChecked(!nvtOn);
        h->NVTFilterCheckBox->setChecked(!nvtOn);
        h->NVTPortSetupCheckBox->setChecked(!nvtOn);
        h->NVTKeepCheckBox->setChecked(!nvtOn);

        QStringList changes;
        for (QCheckBox* box : { h->TEAEnabledCheckBox, h->NVTEnabledCheckBox, h->NVTFilterCheckBox,
                 h->NVTPortSetupCheckBox })
            connect(box, &QCheckBox::toggled, this,
                [&changes, box](bool on) { changes << box->text() + (on ? "+" : "-"); });
        h->UDPUseThisIPBitBtn->click();

        QCOMPARE(h->IPAddressComboBox->currentText(), QStringLiteral("172.30.1.5"));
        QCOMPARE(h->PortLabeledEdit->text(), expectedPort);
        QCOMPARE(h->TEAEnabledCheckBox->isChecked(), teaOn);
        QCOMPARE(h->NVTEnabledCheckBox->isChecked(), nvtOn);
        // NVT enable's own rule: the options follow it, "Keep connection" with them.
        for (QCheckBox* option : { h->NVTFilterCheckBox, h->NVTPortSetupCheckBox }) {
            QCOMPARE(option->isChecked(), nvtOn);
            QCOMPARE(option->isEnabled(), nvtOn);
        }
        QCOMPARE(h->NVTKeepCheckBox->isChecked(), false);
        QCOMPARE(h->NVTKeepCheckBox->isEnabled(), nvtOn);
        QCOMPARE(changes.count(QStringLiteral("NVT enable") + (nvtOn ? "+" : "-")), 1);
        QCOMPARE(changes.count(QStringLiteral("Use TEA auth.") + (teaOn ? "+" : "-")), 1);
        // Switched on, the options can only be ticked once NVT enable has let them.
        if (nvtOn)
            QCOMPARE(changes.mid(changes.indexOf(QStringLiteral("NVT enable+"))),
                QStringList({ "NVT enable+", "NVT filter+", "NVT port setup+" }));
        // The drop-down list is not touched.
        QCOMPARE(DropDown(h->IPAddressComboBox), QStringList { "172.30.1.5" });
    }

    // With no line selected, neither the click nor "Use this IP" changes anything.
    void nothingSelectedDoesNothing()
    {
        FormHarness h;
        QVERIFY(Feed(h.form.get(), { Reply(0x01, 0x03, 1), Reply(0x02, 0x00, 2) }, 2));
        QTRY_COMPARE(h->UDPMACListBox->count(), 2);
        h->UDPMACListBox->setCurrentRow(-1);
        h->UDPMACListBox->clearSelection();
        h->UDPPortEdit->setText(QStringLiteral("1234"));
        h->UDPIPAddressEdit->setText(QStringLiteral("172.30.5.5"));
        h->TEAEnabledCheckBox->setChecked(true);
        const QStringList before = Snapshot(h.form.get());
        h->UDPMACListBoxClick();
        h->UDPUseThisIPBitBtn->click();
        QCOMPARE(Snapshot(h.form.get()), before);
    }

    // A search empties the page and the table, keeps the typed address and the port
    // field, sends the request, and the list refills with what answers next.
    void searchEmptiesAndRefills()
    {
        Udp modulePort;
        QVERIFY(modulePort.Bind(DiscoveryPort)); // the worker takes 9998
        FormHarness h;
        h->IPAddressComboBox->setEditText(QStringLiteral("172.30.9.9"));
        QVERIFY(Feed(h.form.get(), { Reply(0x01, 0x03, 4001), Reply(0x02, 0x00, 4002) }, 2));
        QTRY_COMPARE(h->UDPMACListBox->count(), 2);
        h->UDPMACListBox->setCurrentRow(1);
        h->UDPMACListBoxClick();
        QCOMPARE(h->UDPPortEdit->text(), QStringLiteral("4002"));

        h->UDPSearchBitBtn->click();
        QCOMPARE(h->UDPMACListBox->count(), 0);
        QCOMPARE(h->IPAddressComboBox->count(), 0);
        QCOMPARE(h->IPAddressComboBox->currentText(), QStringLiteral("172.30.9.9"));
        QCOMPARE(h->UDPIPAddressEdit->text(), QString());
        QCOMPARE(h->UDPMaskEdit->text(), QString());
        QCOMPARE(h->UDPGatewayEdit->text(), QString());
        QCOMPARE(h->UDPPortEdit->text(), QStringLiteral("4002"));
        QCOMPARE(h->NVTLabel->text(), QStringLiteral("NVT (unknown)"));
        QCOMPARE(h->TEALabel->text(), QStringLiteral("TEA Auth. (unknown)"));
        QCOMPARE(CountOf(h.form.get()), 0);
        const auto request = SearchRequest();
        QCOMPARE(Bytes(modulePort.Receive(2000)),
            QByteArray(reinterpret_cast<const char*>(request.data()), int(request.size())));

        QVERIFY(Feed(h.form.get(), { Reply(0x03), Reply(0x01) }, 2));
        QTRY_COMPARE(h->UDPMACListBox->count(), 2);
        QCOMPARE(
            Lines(h->UDPMACListBox), QStringList({ "00 1A 2B 3C 4D 03", "00 1A 2B 3C 4D 01" }));
        QCOMPARE(DropDown(h->IPAddressComboBox), QStringList({ "172.30.1.3", "172.30.1.1" }));
        QCOMPARE(h->IPAddressComboBox->currentText(), QStringLiteral("172.30.9.9"));
        QVERIFY(h.boxes.isEmpty());
    }

    // Every show of the window starts a search.
    void everyShowSearches()
    {
        Udp modulePort;
        QVERIFY(modulePort.Bind(DiscoveryPort));
        FormHarness h;
        QVERIFY(WaitForPort(h.form.get()));
        QVERIFY(Bytes(modulePort.Receive(100)).isEmpty());
        h->show();
        QVERIFY(!Bytes(modulePort.Receive(2000)).isEmpty());
        h->hide();
        h->show();
        QVERIFY(!Bytes(modulePort.Receive(2000)).isEmpty());
        QVERIFY(Bytes(modulePort.Receive(100)).isEmpty());
    }

    // A worker that could not start: its box, and searches that only empty the page.
    void workerWithoutPort()
    {
        std::vector<std::unique_ptr<Udp>> held;
        for (int port = 9999; port >= 9900; --port) {
            held.push_back(std::make_unique<Udp>());
            QVERIFY(held.back()->Bind(port));
        }
        FormHarness h;
        QTRY_COMPARE(h.boxes.size(), 1);
        QCOMPARE(h.boxes[0].Text, QStringLiteral("Error bind socket"));
        QCOMPARE(h.boxes[0].Caption, QStringLiteral("UDP Setup"));
        QVERIFY(h.boxes[0].Owner == nullptr);
        QVERIFY(h->UDPThread->wait(2000));
        h->NVTLabel->setText(QStringLiteral("NVT enabled"));
        h->UDPSearchBitBtn->click();
        QCOMPARE(h->NVTLabel->text(), QStringLiteral("NVT (unknown)"));
        QVERIFY(Bytes(held.front()->Receive(200)).isEmpty());
        QCOMPARE(h->UDPMACListBox->count(), 0);
    }
};

int main(int argc, char** argv)
{
    // Before Qt starts any thread: the namespace is the process's own only if taken now.
    QString why;
    const bool isolated = vsptest::EnterPrivateNetwork(&why);
    QApplication app(argc, argv);
    if (!isolated) {
        qCritical("tst_modules: cannot make a private network namespace (%s); the discovery "
                  "worker is not run outside one",
            qPrintable(why));
        return 1;
    }
    TstModules test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modules.moc"
