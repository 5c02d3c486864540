// The main window comes up with its design state and closes cleanly.

#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "vport/Vsportlib_tlb.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

using namespace vsp;

class TstSpine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void opensOnSettingsPage()
    {
        SetMessageBoxHandler([](const MessageBoxRequest&) { return MsgResult::Ok; });
        TMainForm form(QStringList { QStringLiteral("-S0") });
        QVERIFY(!form.Terminated);
        QCOMPARE(form.MainPageControl->currentWidget(), form.SettingsTabSheet);
        QCOMPARE(form.ComPortComboBox->count(), 19);
        QCOMPARE(form.ComPortComboBox->currentText(), QStringLiteral("COM2"));
        QVERIFY(!form.DeleteCOMBitBtn->isEnabled());
        QVERIFY(!form.NVTFilterCheckBox->isEnabled());
    }
};

QTEST_MAIN(TstSpine)
#include "tst_spine.moc"
