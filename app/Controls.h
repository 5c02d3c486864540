#pragma once
// Small widgets the windows are laid out with: an edit box that carries its own caption
// label, a group of radio buttons with an item index, and a clickable picture.

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>

class QButtonGroup;
class QRadioButton;

namespace vsp {

// An edit box with its caption label placed above it (or to its left), both children of
// the same parent; moving the edit moves the label.
class TLabeledEdit : public QLineEdit {
    Q_OBJECT
public:
    enum class LabelPosition { Above, Left };

    TLabeledEdit(const QString& caption, QWidget* parent, LabelPosition pos = LabelPosition::Above);

    QLabel* EditLabel;
    LabelPosition Position;

    // Places the edit at (left, top) with the given width and the standard height, and
    // its label beside it.
    void Place(int left, int top, int width);

protected:
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void PlaceLabel();
};

// A captioned group of radio buttons; ItemIndex is -1 when none is selected.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent);

    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Button(int index) const;

private:
    QButtonGroup* group_;
    QList<QRadioButton*> buttons_;
};

// A picture that reports clicks.
class TImage : public QLabel {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent);
Q_SIGNALS:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

} // namespace vsp
