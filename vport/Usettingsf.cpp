#include "vport/Usettingsf.h"

#include "app/Controls.h"
#include "app/Shell.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

namespace vsp {

namespace {
QFont ReportFont()
{
    QFont f;
    f.setFamilies({ QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
        QStringLiteral("Nimbus Mono PS"), QStringLiteral("DejaVu Sans Mono") });
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    f.setPixelSize(13);
    return f;
}
} // namespace

TSettingsForm::TSettingsForm(QWidget* parent)
    : QWidget(parent, Qt::Window)
    , SettingsRichEdit(new QTextEdit(this))
{
    setObjectName(QStringLiteral("SettingsForm"));
    setWindowTitle(QStringLiteral("VSP Settings"));
    setWindowIcon(MainIcon());
    setFont(DesignFont());
    SettingsRichEdit->setObjectName(QStringLiteral("SettingsRichEdit"));
    SettingsRichEdit->setFont(ReportFont());
    // The report is read, selected and copied as text: plain text only, so that nothing a
    // module prints is taken for markup.
    SettingsRichEdit->setAcceptRichText(false);
    SettingsRichEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    SettingsRichEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SettingsRichEdit->setLineWrapMode(QTextEdit::WidgetWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(SettingsRichEdit);
    SetOuterSize(this, QSize(OuterWidth, OuterHeight), false);
    CentreOnScreen(this);
}

void TSettingsForm::AddLine(const QString& line)
{
    QString text = line;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QScrollBar* bar = SettingsRichEdit->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextDocument* doc = SettingsRichEdit->document();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    // The report is the program's text: an undo history of its lines would hold every line
    // of a long read-out twice over. What the reader types is undoable until the next line.
    doc->setUndoRedoEnabled(false);
    // An empty first line leaves the document empty, so count the lines added.
    if (lines_ > 0 || !doc->isEmpty()) cursor.insertBlock();
    cursor.insertText(text);
    doc->setUndoRedoEnabled(true);
    ++lines_;
    // Lines of the module read-out keep arriving: follow them unless the reader scrolled up.
    if (atEnd) bar->setValue(bar->maximum());
}

void TSettingsForm::Clear()
{
    SettingsRichEdit->clear();
    lines_ = 0;
}

void TSettingsForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Now the frame may be known: keep the outer size, frame included.
    SetOuterSize(this, QSize(OuterWidth, OuterHeight), false);
}

} // namespace vsp
