// The module list of the "UDP Setup" page: a view of the discovery worker's table, the
// parameters of the selected module, and copying its address and link options into the
// settings of the data link.

#include "app/Controls.h"
#include "app/Umainf.h"
#include "setup/Discovery.h"
#include "setup/ModuleList.h"
#include "setup/Udpthread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMutexLocker>
#include <QSignalBlocker>

namespace vsp {

namespace {

// Qt makes the first item of an empty editable combo box current, which would put it in
// the edit field; the address the user typed must stay there. Nothing is told about the
// passing change.
template <typename Change> void KeepingEditText(QComboBox* box, Change change)
{
    const QSignalBlocker quiet(box);
    const QString text = box->currentText();
    change();
    box->setEditText(text);
}

} // namespace

void TMainForm::UDPSearchBitBtnClick()
{
    KeepingEditText(IPAddressComboBox, [this] { IPAddressComboBox->clear(); });
    UDPMACListBox->clear();
    UDPIPAddressEdit->clear();
    UDPMaskEdit->clear();
    UDPGatewayEdit->clear();
    NVTLabel->setText(QStringLiteral("NVT (unknown)"));
    TEALabel->setText(QStringLiteral("TEA Auth. (unknown)"));
    // A worker that could not start leaves the list empty for good.
    if (!UDPThread) return;
    {
        QMutexLocker lock(&UDPThread->Lock);
        UDPThread->ModuleCount = 0;
    }
    UDPThread->PostThreadMessage(WM_UDPSEARCH);
}

void TMainForm::UDPModuleFound()
{
    if (!UDPThread) return;
    int32_t count;
    {
        QMutexLocker lock(&UDPThread->Lock);
        count = UDPThread->ModuleCount;
    }
    // One message may stand for several entries, and several messages for one: the Listed
    // flags keep each entry on exactly one line, in table order.
    for (int32_t i = 0; i < count; ++i) {
        ModuleEntry& entry = UDPThread->ModuleTable[i];
        if (entry.Listed) continue;
        const QString mac = ReplyMacText(entry.Reply);
        entry.Listed = 1;
        UDPMACListBox->addItem(mac);
        const QString ip = ReplyIpText(entry.Reply);
        KeepingEditText(IPAddressComboBox, [this, &ip] { IPAddressComboBox->addItem(ip); });
    }
}

void TMainForm::UDPMACListBoxClick()
{
    const ModuleEntry* entry = SelectedModule(UDPMACListBox, UDPThread);
    if (!entry) return;
    const uint8_t* reply = entry->Reply;
    UDPIPAddressEdit->setText(ReplyIpText(reply));
    UDPMaskEdit->setText(ReplyMaskText(reply));
    UDPGatewayEdit->setText(ReplyGatewayText(reply));
    UDPPortEdit->setText(QString::number(ReplyPort(reply)));
    TEALabel->setText(ReplyTeaEnabled(reply) ? QStringLiteral("TEA Auth. enabled")
                                             : QStringLiteral("TEA Auth. disabled"));
    NVTLabel->setText(
        ReplyNvtEnabled(reply) ? QStringLiteral("NVT enabled") : QStringLiteral("NVT disabled"));
}

void TMainForm::UDPUseThisIPBitBtnClick()
{
    const ModuleEntry* entry = SelectedModule(UDPMACListBox, UDPThread);
    if (!entry) return;
    // Address and port as they stand in the fields (the port may have been edited); the
    // link options from the module's own reply.
    IPAddressComboBox->setEditText(UDPIPAddressEdit->text());
    // "0" is a module without a data port: keep the port we have.
    if (UDPPortEdit->text() != QStringLiteral("0")) PortLabeledEdit->setText(UDPPortEdit->text());
    TEAEnabledCheckBox->setChecked(ReplyTeaEnabled(entry->Reply));
    // NVT enable's own rule runs on its change and gates the two options set next.
    NVTEnabledCheckBox->setChecked(ReplyNvtEnabled(entry->Reply));
    const bool nvt = NVTEnabledCheckBox->isChecked();
    NVTFilterCheckBox->setChecked(nvt);
    NVTPortSetupCheckBox->setChecked(nvt);
}

void TMainForm::UDPSetupModuleBtnClick()
{
    // Hidden and disabled: nothing on the main window opens the module set-up dialog.
}

} // namespace vsp
