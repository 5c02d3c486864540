#include "setup/Umodulesetupf.h"

#include "app/Controls.h"
#include "link/Sockets.h"

#include <QCloseEvent>
#include <QShowEvent>

vsp::TModuleSetupForm* ModuleSetupForm = nullptr;

namespace vsp {

TModuleSetupForm::TModuleSetupForm(QWidget* parent) : QWidget(parent) { setWindowTitle(QStringLiteral("Setup Module")); }
TModuleSetupForm::~TModuleSetupForm() = default;
void TModuleSetupForm::FormShow() {}
void TModuleSetupForm::BitBtn1Click() {}
void TModuleSetupForm::ClientSocket1Connect(TCustomWinSocket*) {}
void TModuleSetupForm::ClientSocket1Read(TCustomWinSocket*) {}
void TModuleSetupForm::ClientSocket1Error(TCustomWinSocket*, int) {}
void TModuleSetupForm::FormClose() {}
void TModuleSetupForm::showEvent(QShowEvent* e) { QWidget::showEvent(e); FormShow(); }
void TModuleSetupForm::closeEvent(QCloseEvent* e) { FormClose(); QWidget::closeEvent(e); }

} // namespace vsp
