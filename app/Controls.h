#pragma once
// Small widgets and helpers the windows are laid out with: an edit box that carries its own
// caption label, a group of radio buttons with an item index, a clickable picture, the
// two-state button glyphs, the design font, and window placement.

#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QPushButton;
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

    static constexpr int EditHeight = 21;

    // Places the edit at (left, top) with the given width and the standard height, and
    // its label beside it: above, the label's box ends where the edit begins (the font's
    // ascent leaves the gap); to the left, it is centred on the edit.
    void Place(int left, int top, int width);

protected:
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void PlaceLabel();
};

// A group frame whose caption sits on the frame's top line, so that controls placed for
// such a frame (from 16 pixels down) stay clear of the line.
class TGroupBox : public QGroupBox {
    Q_OBJECT
public:
    TGroupBox(const QString& caption, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A captioned group of radio buttons; ItemIndex is -1 when none is selected. The items
// share the group's height evenly, column by column, so the group's size decides the look.
class TRadioGroup : public TGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent, int columns = 1);

    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Button(int index) const;
    int Count() const { return int(buttons_.size()); }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void ArrangeButtons();

    QButtonGroup* group_;
    QList<QRadioButton*> buttons_;
    int columns_;
};

// A picture that reports clicks.
class TImage : public QLabel {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent);

    // Decodes the picture at path (a file or a resource); false when it cannot be decoded,
    // and the picture is then left empty.
    bool LoadPicture(const QString& path);

Q_SIGNALS:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// The pictures of the buttons. Each glyph has a normal and a disabled look; the button
// switches between them with its enabled state.
enum class TGlyph { Create, Delete, Hide, Search, UseThis, Setup, Settings, Write, Close };
QIcon GlyphIcon(TGlyph glyph);
constexpr int GlyphSize = 16;

// The windows were laid out for an 8-point sans-serif at 96 dpi: 11 pixels, whatever the
// screen's resolution, so every caption stays inside the place it was measured for. The
// layout's widths are those of Arial and its metric twins. Where none of them is
// installed, the stand-in font is made smaller until the widest captions are no wider
// than in the design font, so nothing is cut or overlaps.
QFont DesignFont();

// The metric twins the layout was measured with, in the order they are asked for.
const QStringList& MetricSansFamilies();

// Empty when the design font is in use; otherwise one line naming the stand-in font and
// its size, for the log.
QString DesignFontNote();

// The largest pixel size, 11 at most, at which every design caption drawn in font is no
// wider than in the design font (some size down to a floor is always returned).
int FittingPixelSize(QFont font);

// Heights of the one-line controls the windows were laid out with.
constexpr int CheckHeight = 17;
constexpr int ComboHeight = 21;

// A caption that never changes: as wide as its text.
QLabel* MakeLabel(const QString& text, QWidget* parent, int left, int top);
// A check box as wide as its caption, unless a width is given.
QCheckBox* MakeCheck(const QString& text, QWidget* parent, int left, int top, int width = -1);
// An editable list whose typed text never becomes an item of its own.
QComboBox* MakeCombo(QWidget* parent, int left, int top, int width);

// Enter anywhere in button's window presses it while it can take the focus (visible,
// enabled, on the page shown), as a dialog's default button does.
void SetDefaultButton(QPushButton* button);

// Places an unshown top-level window so that it is centred on its screen.
void CentreOnScreen(QWidget* window);

// Sizes a top-level window so that its outer size, frame included, is outer. The frame is
// known only once the window manager has framed the window, so call it again when shown.
void SetOuterSize(QWidget* window, const QSize& outer, bool fixed);

} // namespace vsp
