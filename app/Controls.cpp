#include "app/Controls.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <qdrawutil.h>

namespace vsp {

namespace {
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
        EditLabel->move(x(), y() - EditLabel->height());
    else
        EditLabel->move(
            x() - EditLabel->width() - LabelGap, y() + (height() - EditLabel->height()) / 2);
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
    if (!isVisibleTo(parentWidget())) EditLabel->hide();
}

TGroupBox::TGroupBox(const QString& caption, QWidget* parent)
    : QGroupBox(caption, parent)
{
}

void TGroupBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QFontMetrics fm = fontMetrics();
    const QString caption = title();
    // The caption interrupts the line; its own blanks (" LAN status ") pad it.
    const QRect captionRect(
        8, 0, caption.isEmpty() ? 0 : fm.horizontalAdvance(caption) + 4, fm.height());
    // An etched frame drawn here rather than by the style: styles put their frame below
    // the caption, where the controls of this layout already are.
    p.setClipRegion(QRegion(rect()) - QRegion(captionRect));
    qDrawShadeRect(&p, rect().adjusted(0, fm.height() / 2, 0, 0), palette(), true, 1, 0);
    p.setClipping(false);
    if (!caption.isEmpty())
        style()->drawItemText(&p, captionRect.adjusted(2, 0, -2, 0),
            Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, palette(), isEnabled(),
            caption, QPalette::WindowText);
}

TRadioGroup::TRadioGroup(
    const QString& caption, const QStringList& items, QWidget* parent, int columns)
    : TGroupBox(caption, parent)
    , group_(new QButtonGroup(this))
    , columns_(qMax(1, columns))
{
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items.at(i), this);
        group_->addButton(b, i);
        buttons_.append(b);
    }
    ArrangeButtons();
}

int TRadioGroup::ItemIndex() const
{
    return group_->checkedId();
}

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

QRadioButton* TRadioGroup::Button(int index) const
{
    return buttons_.value(index);
}

void TRadioGroup::resizeEvent(QResizeEvent* event)
{
    QGroupBox::resizeEvent(event);
    ArrangeButtons();
}

void TRadioGroup::ArrangeButtons()
{
    if (buttons_.isEmpty()) return;
    // Below the caption, the rows share what is left of the height; columns share the width.
    const int captionHeight = fontMetrics().height();
    const int top = captionHeight + 1;
    const int rows = int((buttons_.size() + columns_ - 1) / columns_);
    const int rowHeight = qMax(1, (height() - top - 4) / rows);
    const int columnWidth = qMax(1, (width() - 12) / columns_);
    for (int i = 0; i < buttons_.size(); ++i) {
        QRadioButton* b = buttons_.at(i);
        const int column = i / rows;
        const int row = i % rows;
        const int h = qMin(rowHeight, b->sizeHint().height());
        b->setGeometry(
            8 + column * columnWidth, top + row * rowHeight + (rowHeight - h) / 2, columnWidth, h);
    }
}

TImage::TImage(QWidget* parent)
    : QLabel(parent)
{
}

bool TImage::LoadPicture(const QString& path)
{
    QImageReader reader(path);
    const QImage image = reader.read();
    if (image.isNull()) {
        clear();
        return false;
    }
    setPixmap(QPixmap::fromImage(image));
    return true;
}

void TImage::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
}

namespace {

void PaintGlyph(QPainter& p, TGlyph glyph)
{
    p.setRenderHint(QPainter::Antialiasing);
    const QColor navy(0x1f, 0x3a, 0x66);
    auto pen = [](const QColor& c, qreal w) {
        return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    };
    switch (glyph) {
    case TGlyph::Create: // a plus: something new appears
        p.setPen(pen(QColor(0x1e, 0x8c, 0x2e), 3));
        p.drawLine(QPointF(8, 3), QPointF(8, 13));
        p.drawLine(QPointF(3, 8), QPointF(13, 8));
        break;
    case TGlyph::Delete:
        p.setPen(pen(QColor(0xc8, 0x22, 0x22), 3));
        p.drawLine(QPointF(4, 4), QPointF(12, 12));
        p.drawLine(QPointF(12, 4), QPointF(4, 12));
        break;
    case TGlyph::Hide: { // an arrow into the notification area
        p.setPen(pen(navy, 1.5));
        p.setBrush(QColor(0xdc, 0xe6, 0xf2));
        p.drawRect(QRectF(1.5, 11.5, 13, 3));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x2f, 0x6d, 0xb5));
        QPainterPath arrow;
        arrow.moveTo(6, 1);
        arrow.lineTo(10, 1);
        arrow.lineTo(10, 5);
        arrow.lineTo(13, 5);
        arrow.lineTo(8, 10);
        arrow.lineTo(3, 5);
        arrow.lineTo(6, 5);
        arrow.closeSubpath();
        p.drawPath(arrow);
        break;
    }
    case TGlyph::Search:
        p.setPen(pen(navy, 2));
        p.setBrush(QColor(0xdc, 0xe6, 0xf2));
        p.drawEllipse(QPointF(6.5, 6.5), 4.5, 4.5);
        p.setPen(pen(QColor(0x8a, 0x5a, 0x2b), 3));
        p.drawLine(QPointF(10, 10), QPointF(14, 14));
        break;
    case TGlyph::UseThis: // a tick: take this one
        p.setPen(pen(QColor(0x1e, 0x8c, 0x2e), 3));
        p.drawLine(QPointF(2.5, 8.5), QPointF(6, 12));
        p.drawLine(QPointF(6, 12), QPointF(13.5, 3.5));
        break;
    case TGlyph::Setup: { // a cog
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x5a, 0x64, 0x70));
        p.translate(8, 8);
        for (int i = 0; i < 8; ++i) {
            p.drawRect(QRectF(-1.5, -7.5, 3, 4));
            p.rotate(45);
        }
        p.drawEllipse(QPointF(0, 0), 5, 5);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(0, 0), 2, 2);
        p.resetTransform();
        break;
    }
    case TGlyph::Settings: // a sheet of text
        p.setPen(pen(navy, 1));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(2.5, 0.5, 11, 15));
        p.setPen(pen(QColor(0x2f, 0x6d, 0xb5), 1));
        for (int y = 4; y <= 12; y += 2)
            p.drawLine(QPointF(4.5, y + 0.5), QPointF(y == 12 ? 8.5 : 11.5, y + 0.5));
        break;
    case TGlyph::Write: { // an arrow into a chip
        p.setPen(pen(navy, 1));
        p.setBrush(QColor(0x3a, 0x3a, 0x3a));
        p.drawRect(QRectF(3.5, 9.5, 9, 5));
        for (int x = 5; x <= 11; x += 3) {
            p.drawLine(QPointF(x, 15), QPointF(x, 16));
        }
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xc8, 0x22, 0x22));
        QPainterPath arrow;
        arrow.moveTo(6.5, 0);
        arrow.lineTo(9.5, 0);
        arrow.lineTo(9.5, 4);
        arrow.lineTo(12, 4);
        arrow.lineTo(8, 8.5);
        arrow.lineTo(4, 4);
        arrow.lineTo(6.5, 4);
        arrow.closeSubpath();
        p.drawPath(arrow);
        break;
    }
    case TGlyph::Close: { // an open door
        p.setPen(pen(navy, 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(3.5, 1.5, 9, 13));
        p.setBrush(QColor(0xa0, 0x6a, 0x32));
        QPolygonF door;
        door << QPointF(3.5, 1.5) << QPointF(9, 3.5) << QPointF(9, 15.5) << QPointF(3.5, 14.5);
        p.drawPolygon(door);
        p.setBrush(QColor(0xff, 0xd2, 0x4a));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(7.5, 9), 0.9, 0.9);
        break;
    }
    }
}

// The disabled look: the shape in grey with a white highlight below and to the right,
// made from the normal picture's shape.
QPixmap DisabledLook(const QImage& normal)
{
    QImage mask(normal.size(), QImage::Format_ARGB32_Premultiplied);
    mask.fill(Qt::transparent);
    {
        QPainter p(&mask);
        p.drawImage(0, 0, normal);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(mask.rect(), QColor(0x80, 0x80, 0x80));
    }
    QImage highlight = mask;
    {
        QPainter p(&highlight);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(highlight.rect(), Qt::white);
    }
    QImage out(normal.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.drawImage(1, 1, highlight);
    p.drawImage(0, 0, mask);
    p.end();
    return QPixmap::fromImage(out);
}

} // namespace

QIcon GlyphIcon(TGlyph glyph)
{
    QImage normal(GlyphSize, GlyphSize, QImage::Format_ARGB32_Premultiplied);
    normal.fill(Qt::transparent);
    {
        QPainter p(&normal);
        PaintGlyph(p, glyph);
    }
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(normal), QIcon::Normal);
    icon.addPixmap(DisabledLook(normal), QIcon::Disabled);
    return icon;
}

namespace {

constexpr int DesignPixelSize = 11;
constexpr int SmallestPixelSize = 6;

// The captions with the least room to spare in the three windows, and their advance in
// the design font at 11 px (Liberation Sans, the same as Arial's).
struct DesignCaption {
    const char* Text;
    int Width;
};
constexpr DesignCaption DesignCaptions[] = {
    { "Client connection   :", 96 },
    { "Server connection :", 95 },
    { "Stop bits", 43 },
    { "Serial Rx", 45 },
    { "UDP SEARCH works only with original.", 191 },
    { "Kelmar devices  on local network", 161 },
    { "Keep connection", 82 },
    { "Connect to module if port is closed", 169 },
    { "Don't create port if ping fail", 130 },
    { "Create port on start VSP", 120 },
    { "Write Configuration", 94 },
    { "Char transmit delay", 95 },
    { "4294967295", 61 },
    { "Search modules", 79 },
    { "Show settings", 68 },
    { "NVT port setup", 74 },
    { "Kelmar device test", 90 },
};

struct ChosenFont {
    QFont Font;
    QString Note;
};

ChosenFont ChooseDesignFont()
{
    QFont f;
    QStringList families = MetricSansFamilies();
    families << QStringLiteral("DejaVu Sans");
    f.setFamilies(families);
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(DesignPixelSize);
    const QString family = QFontInfo(f).family();
    if (MetricSansFamilies().contains(family, Qt::CaseInsensitive)) return { f, {} };
    f.setPixelSize(FittingPixelSize(f));
    return { f,
        QStringLiteral("Font %1 %2 px: none of %3 is installed (Debian: fonts-liberation2)")
            .arg(family)
            .arg(f.pixelSize())
            .arg(MetricSansFamilies().join(QStringLiteral(", "))) };
}

const ChosenFont& Chosen()
{
    // Fonts do not come and go while the program runs: choose once.
    static const ChosenFont chosen = ChooseDesignFont();
    return chosen;
}

} // namespace

const QStringList& MetricSansFamilies()
{
    static const QStringList families { QStringLiteral("Nimbus Sans"),
        QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("Helvetica") };
    return families;
}

int FittingPixelSize(QFont font)
{
    int size = DesignPixelSize;
    for (; size > SmallestPixelSize; --size) {
        font.setPixelSize(size);
        const QFontMetrics fm(font);
        bool fits = true;
        for (const DesignCaption& c : DesignCaptions)
            fits = fits && fm.horizontalAdvance(QString::fromLatin1(c.Text)) <= c.Width;
        if (fits) break;
    }
    return size;
}

QFont DesignFont()
{
    return Chosen().Font;
}

QString DesignFontNote()
{
    return Chosen().Note;
}

QLabel* MakeLabel(const QString& text, QWidget* parent, int left, int top)
{
    auto* l = new QLabel(text, parent);
    l->move(left, top);
    l->adjustSize();
    return l;
}

QCheckBox* MakeCheck(const QString& text, QWidget* parent, int left, int top, int width)
{
    auto* c = new QCheckBox(text, parent);
    c->adjustSize();
    c->setGeometry(left, top, width > 0 ? width : c->width(), CheckHeight);
    return c;
}

QComboBox* MakeCombo(QWidget* parent, int left, int top, int width)
{
    auto* c = new QComboBox(parent);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setGeometry(left, top, width, ComboHeight);
    return c;
}

void SetDefaultButton(QPushButton* button)
{
    button->setDefault(true);
    QWidget* window = button->window();
    for (int key : { int(Qt::Key_Return), int(Qt::Key_Enter) }) {
        auto* shortcut = new QShortcut(QKeySequence(key), window);
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, button, [button] {
            // A hidden page or a disabled button does not take the key, as a
            // dialog's default button that cannot be focused would not.
            if (button->isVisible() && button->isEnabled()) button->click();
        });
    }
}

void CentreOnScreen(QWidget* window)
{
    QScreen* screen = window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    window->setGeometry(QStyle::alignedRect(
        Qt::LeftToRight, Qt::AlignCenter, window->size(), screen->availableGeometry()));
}

void SetOuterSize(QWidget* window, const QSize& outer, bool fixed)
{
    const QSize frame = window->frameGeometry().size() - window->geometry().size();
    const QSize client = outer - frame;
    const QSize change = window->size() - client;
    if (!change.isNull() && window->testAttribute(Qt::WA_WState_Created)) {
        // Keep the window's centre where it was placed.
        window->move(window->pos() + QPoint(change.width() / 2, change.height() / 2));
    }
    if (fixed)
        window->setFixedSize(client);
    else
        window->resize(client);
}

} // namespace vsp
