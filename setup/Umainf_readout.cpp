// Read-out of the module's set-up console into the settings report: step past the
// console's greeting and key prompt with a carriage return, copy everything else it prints,
// and hang up after the piece that announces the reboot. Only carriage returns are ever
// written to the module.

#include "app/Umainf.h"
#include "link/Sockets.h"
#include "setup/ConsoleReadout.h"
#include "setup/Umodulesetupf.h"
#include "vport/Usettingsf.h"

#include <QByteArray>
#include <QComboBox>
#include <algorithm>

namespace vsp {

namespace {

void ReportLine(TSettingsForm* report, const QString& line)
{
    if (report) report->AddLine(line);
}

// Everything received since the last read event.
QByteArray TakeWaiting(TCustomWinSocket* socket)
{
    const int waiting = socket->ReceiveLength();
    if (waiting <= 0) return {};
    QByteArray piece(waiting, Qt::Uninitialized);
    const int got = socket->ReceiveBuf(piece.data(), waiting);
    piece.truncate(std::max(got, 0));
    return piece;
}

// Drops what has arrived by now, but no more: a console that keeps talking must not hold
// the handler.
void DiscardWaiting(TCustomWinSocket* socket)
{
    char scratch[512];
    for (int left = socket->ReceiveLength(); left > 0;) {
        const int got = socket->ReceiveBuf(scratch, std::min(left, int(sizeof scratch)));
        if (got <= 0) break;
        left -= got;
    }
}

void Answer(TCustomWinSocket* socket)
{
    // A failure raises the error event from in here, which ends the read-out.
    socket->SendBuf(&ConsoleAnswer, 1);
}

} // namespace

void TMainForm::StartSetupReadout()
{
    // One read-out per report: one still running for an earlier press would go on writing
    // into this report, so it ends here, before the new one starts.
    TCPSetupClientSocket->Close();
    SetupReadoutBound.Reset();
    TCPSetupClientSocket->Host = IPAddressComboBox->currentText();
    TCPSetupClientSocket->Port = SetupConsolePortInUse(Platform);
    TCPSetupClientSocket->Open();
}

void TMainForm::OnTCPSetupClientSocketConnecting(TCustomWinSocket*)
{
    ReportLine(SettingsForm, QStringLiteral("Connecting to module, please wait"));
}

void TMainForm::OnTCPSetupClientSocketConnect(TCustomWinSocket*)
{
    ReportLine(SettingsForm, QStringLiteral("Successfully connected to TCP setup"));
}

void TMainForm::OnTCPSetupClientSocketRead(TCustomWinSocket* socket)
{
    const QByteArray piece = TakeWaiting(socket);
    if (piece.isEmpty()) return;
    switch (ClassifyConsolePiece(piece)) {
    case ReadoutAction::AnswerGreeting:
        // What follows the greeting until it has had its CR is not configuration.
        DiscardWaiting(socket);
        Answer(socket);
        break;
    case ReadoutAction::AnswerKeyPrompt:
        Answer(socket);
        break;
    case ReadoutAction::Copy:
    case ReadoutAction::CopyAndClose: {
        // A console that never stops, or never breaks its line, is cut short: the report
        // keeps a generous share of it and says where it ends.
        const ReadoutBound::Taken taken = SetupReadoutBound.Take(piece);
        ReportLine(SettingsForm, QString::fromLatin1(taken.Text));
        if (taken.Full) ReportLine(SettingsForm, QString::fromLatin1(ReadoutCutLine));
        if (taken.Full || ClassifyConsolePiece(piece) == ReadoutAction::CopyAndClose)
            TCPSetupClientSocket->Close();
        break;
    }
    }
}

void TMainForm::OnTCPSetupClientSocketError(TCustomWinSocket*, int)
{
    ReportLine(SettingsForm, QStringLiteral("Error opening TCP setup"));
    TCPSetupClientSocket->Close();
}

} // namespace vsp
