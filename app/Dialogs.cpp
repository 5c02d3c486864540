#include "app/Dialogs.h"

#include <QApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <cstdio>

namespace vsp {

namespace {
// Without a display a modal box could never be answered and the program would hang in
// it: OK, or No to a question.
MsgResult ShowReal(const MessageBoxRequest& r)
{
    if (Headless()) {
        fprintf(stderr, "%s: %s\n", qPrintable(r.Caption), qPrintable(r.Text));
        fflush(stderr);
        return r.Buttons == MsgButtons::YesNo ? MsgResult::No : MsgResult::Ok;
    }
    QMessageBox::Icon icon = QMessageBox::Critical;
    switch (r.Icon) {
    case MsgIcon::Error:
        icon = QMessageBox::Critical;
        break;
    case MsgIcon::Information:
        icon = QMessageBox::Information;
        break;
    case MsgIcon::Warning:
        icon = QMessageBox::Warning;
        break;
    case MsgIcon::Question:
        icon = QMessageBox::Question;
        break;
    }
    QMessageBox box(icon, r.Caption, r.Text,
        r.Buttons == MsgButtons::YesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
        r.Owner);
    const int b = box.exec();
    if (r.Buttons == MsgButtons::YesNo)
        return b == QMessageBox::Yes ? MsgResult::Yes : MsgResult::No;
    return MsgResult::Ok;
}
} // namespace

bool Headless()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

MsgResult MessageBox(const MessageBoxRequest& request, const MessageBoxHandler& handler)
{
    if (handler) return handler(request);
    return ShowReal(request);
}

void PostMessageBox(const MessageBoxRequest& request, MessageBoxHandler handler, QObject* context)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QObject* target = context ? context : app;
    QPointer<QWidget> owner = request.Owner;
    MessageBoxRequest copy = request;
    QMetaObject::invokeMethod(
        target,
        [copy, owner, handler = std::move(handler)]() mutable {
            copy.Owner = owner.data();
            MessageBox(copy, handler);
        },
        Qt::QueuedConnection);
}

QString ApplicationTitle()
{
    QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (name.isEmpty()) name = QStringLiteral("vsp");
    const int dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0) name.truncate(dot);
    if (name.isEmpty()) return name;
    return name.left(1) + name.mid(1).toLower();
}

} // namespace vsp
