#include "app/Controls.h"

#include <QButtonGroup>
#include <QMouseEvent>
#include <QRadioButton>

namespace vsp {

namespace {
constexpr int EditHeight = 21;
constexpr int LabelGap = 3;
} // namespace

TLabeledEdit::TLabeledEdit(const QString& caption, QWidget* parent, LabelPosition pos)
    : QLineEdit(parent)
    , EditLabel(new QLabel(caption, parent))
    , Position(pos)
{
    EditLabel->setBuddy(this);
    EditLabel->adjustSize();
}

void TLabeledEdit::Place(int left, int top, int width)
{
    setGeometry(left, top, width, EditHeight);
    PlaceLabel();
}

void TLabeledEdit::PlaceLabel()
{
    EditLabel->adjustSize();
    if (Position == LabelPosition::Above)
        EditLabel->move(x(), y() - EditLabel->height() - LabelGap);
    else
        EditLabel->move(x() - EditLabel->width() - LabelGap,
                        y() + (height() - EditLabel->height()) / 2);
}

void TLabeledEdit::moveEvent(QMoveEvent* event)
{
    QLineEdit::moveEvent(event);
    PlaceLabel();
}

void TLabeledEdit::showEvent(QShowEvent* event)
{
    QLineEdit::showEvent(event);
    EditLabel->show();
}

void TLabeledEdit::hideEvent(QHideEvent* event)
{
    QLineEdit::hideEvent(event);
    if (!isVisibleTo(parentWidget()))
        EditLabel->hide();
}

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QGroupBox(caption, parent)
    , group_(new QButtonGroup(this))
{
    int top = 16;
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items.at(i), this);
        b->move(8, top);
        b->adjustSize();
        top += 17;
        group_->addButton(b, i);
        buttons_.append(b);
    }
}

int TRadioGroup::ItemIndex() const { return group_->checkedId(); }

void TRadioGroup::SetItemIndex(int index)
{
    if (index < 0 || index >= buttons_.size()) {
        group_->setExclusive(false);
        for (auto* b : buttons_)
            b->setChecked(false);
        group_->setExclusive(true);
        return;
    }
    buttons_.at(index)->setChecked(true);
}

QRadioButton* TRadioGroup::Button(int index) const { return buttons_.value(index); }

TImage::TImage(QWidget* parent)
    : QLabel(parent)
{
}

void TImage::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
}

} // namespace vsp
