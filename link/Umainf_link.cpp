// The TCP link manager's handlers on the window: each forwards to the data link
// (link/DataLink.h) with the options the controls hold at that moment. What the link shows
// comes back through TLinkEvents. A broken client link is not closed or reopened blindly: a
// ping decides, and its result arrives as WM_PINGRESULT.

#include "app/Dialogs.h"
#include "app/Messages.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "vport/Uping.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>

#include "app/Controls.h"

namespace vsp {

namespace {
class TLinkEvents final : public TDataLinkEvents {
public:
    explicit TLinkEvents(TMainForm& form)
        : f(form)
    {
    }
    void Log(const QString& message) override { f.Log(message); }
    void SetLabel(TLinkLabel label, const QString& text) override
    {
        QLabel* const labels[] = { f.LANStatusClientLabel, f.LANStatusServerLabel, f.BaudLabel,
            f.ParityLabel, f.StopBitsLabel, f.BitsLabel };
        QLabel* l = labels[int(label)];
        l->setText(text);
        // The link's state labels fit their text; the port's status labels have their places.
        if (label == TLinkLabel::Client || label == TLinkLabel::Server) l->adjustSize();
    }
    void ShowCounters(const TLinkCounters& counters) override { f.ShowCounters(counters); }
    bool RequestPing(uint32_t successCode, uint32_t failureCode, bool moduleAnswered) override
    {
        return f.RequestPing(successCode, failureCode, moduleAnswered);
    }
    void TeaKeyError(const QString& text) override
    {
        // Shown from the event loop: a modal box inside the read event would let further
        // socket events run underneath it.
        PostMessageBox({ &f, text, ApplicationTitle(), MsgIcon::Error, MsgButtons::Ok },
            f.Platform.MessageBox, &f);
    }
    void PortCloseDrained() override { f.FinishPortClose(); }
    void Pace() override { f.PaceMainTimer(); }

private:
    TMainForm& f;
};
} // namespace

std::unique_ptr<TDataLinkEvents> TMainForm::MakeLinkEvents()
{
    return std::make_unique<TLinkEvents>(*this);
}

TLinkOptions TMainForm::LinkOptions() const
{
    return { TCPServerModeCheckBox->isChecked(), NVTFilterCheckBox->isChecked(),
        NVTPortSetupCheckBox->isChecked(), NVTKeepCheckBox->isChecked(),
        TEAEnabledCheckBox->isChecked(), ConnectClosedCheckBox->isChecked(),
        IPAddressComboBox->currentText(),
        { UKEdit1->text(), UKEdit2->text(), UKEdit3->text(), UKEdit4->text() } };
}

void TMainForm::OpenClientLink()
{
    Link->OpenClientLink();
}

void TMainForm::CloseClientLink()
{
    Link->CloseClientLink();
}

bool TMainForm::OpenServerLink()
{
    return Link->OpenServerLink();
}

void TMainForm::CloseServerLink()
{
    Link->CloseServerLink();
}

bool TMainForm::EchoCheckUsable()
{
    if (Platform.WorkerPing) return true;
    if (EchoMethodKnown < 0)
        EchoMethodKnown = CPing::Method(Platform.AvoidRawSocket) != CPing::TMethod::None;
    return EchoMethodKnown > 0;
}

bool TMainForm::RequestPing(uint32_t successCode, uint32_t failureCode, bool moduleAnswered)
{
    TellEchoMethod();
    if (!EchoCheckUsable()) {
        // A TCP connect in place of the echo would be one more connection to the module's
        // data port, which a module that hands its buffered bytes to each new connection
        // would hand to the check. The reconnection's own connect is the check instead, and
        // an error says by its kind whether the module was there.
        PostMessage(this, WM_PINGRESULT, moduleAnswered ? successCode : failureCode, 0);
        return true;
    }
    return PingThread && PingThread->RequestPing(successCode, failureCode);
}

void TMainForm::OnVSPClientSocketConnecting(TCustomWinSocket* socket)
{
    Link->OnVSPClientSocketConnecting(LinkOptions(), socket);
}

void TMainForm::OnVSPClientSocketConnect(TCustomWinSocket* socket)
{
    Link->OnVSPClientSocketConnect(LinkOptions(), socket);
}

void TMainForm::OnVSPClientSocketDisconnect(TCustomWinSocket* socket)
{
    Link->OnVSPClientSocketDisconnect(LinkOptions(), socket);
}

void TMainForm::OnVSPClientSocketError(TCustomWinSocket* socket, int errorCode)
{
    Link->OnVSPClientSocketError(LinkOptions(), socket, errorCode);
}

void TMainForm::OnVSPServerSocketAccept(TCustomWinSocket* socket)
{
    Link->OnVSPServerSocketAccept(LinkOptions(), socket);
}

void TMainForm::OnVSPServerSocketClientDisconnect(TCustomWinSocket* socket)
{
    Link->OnVSPServerSocketClientDisconnect(LinkOptions(), socket);
}

void TMainForm::OnVSPServerSocketClientError(TCustomWinSocket* socket, int errorCode)
{
    Link->OnVSPServerSocketClientError(LinkOptions(), socket, errorCode);
}

void TMainForm::PingResult(uint32_t code)
{
    Link->PingResult(LinkOptions(), code);
}

} // namespace vsp
