#include "ui/drawing_kit.h"

#include <QFontInfo>

#include <QTextOption>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "resources/strings.h"

// The image collection is compiled into this static library; its initialiser is
// only linked in when library code names it, so it is registered here.
static void InitImageResources() {
    Q_INIT_RESOURCE(pellox_images);
}

namespace pellox::ui {

namespace {

// Fills rows y0 (inclusive) to y1 (exclusive) of the columns of `rect` with a
// vertical gradient: row y0 is c1, row y1 - 1 is c2.
void FillGradientRows(QPainter& painter, const QRect& rect, int y0, int y1, const QColor& c1,
                      const QColor& c2) {
    const int rows = y1 - y0;
    if (rows <= 0 || rect.width() <= 0) return;
    auto channel = [rows](int a, int b, int i) {
        return rows == 1 ? a : a + (b - a) * i / (rows - 1);
    };
    for (int i = 0; i < rows; ++i) {
        const QColor colour(channel(c1.red(), c2.red(), i), channel(c1.green(), c2.green(), i),
                            channel(c1.blue(), c2.blue(), i));
        painter.fillRect(QRect(rect.left(), y0 + i, rect.width(), 1), colour);
    }
}

void PaintBackground(BackgroundKind kind, QPainter& painter, const QRect& rect) {
    switch (kind) {
        case BackgroundKind::View:
            PaintViewBackground(painter, rect);
            break;
        case BackgroundKind::PanelBox:
            PaintPanelBox(painter, rect);
            break;
        case BackgroundKind::Selection:
            PaintSelectionHighlight(painter, rect);
            break;
        case BackgroundKind::Form:
            PaintFormBackground(painter, rect);
            break;
    }
}

constexpr int kLineFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;

// drawText turns carriage returns, line feeds and tabs into spaces, starts another
// line at a line or paragraph separator and stops at the separator of length
// variants (U+009C); a laid-out text does none of this, so such texts are drawn
// with drawText.
bool NeedsTextFormatting(const QString& text) {
    for (const QChar c : text) {
        switch (c.unicode()) {
            case u'\r':
            case u'\n':
            case u'\t':
            case 0x009c:
            case 0x2028:
            case 0x2029:
                return true;
            default:
                break;
        }
    }
    return false;
}

// The cached path reproduces drawText only where drawText positions the text the
// same way a laid-out text is drawn: left to right or automatic direction, no
// rotation or scaling, no underline, overline or strike-out.
bool CanCache(const QPainter& painter, const QString& text) {
    const QFont& font = painter.font();
    return painter.layoutDirection() != Qt::RightToLeft &&
           painter.transform().type() <= QTransform::TxTranslate && !font.underline() &&
           !font.overline() && !font.strikeOut() && !NeedsTextFormatting(text);
}

void DrawClipped(QPainter& painter, const QRect& rect, const QString& text) {
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.drawText(rect, kLineFlags, text);
    painter.restore();
}

// Whether `text`, drawn with its top-left corner at `offset` from the top-left of
// a rectangle of `size`, covers a pixel outside that rectangle when nothing clips
// it. The text is drawn once on a transparent scratch image with room around the
// rectangle, and that room is searched. Images and pixmaps take glyphs in the
// same grey-level coverage as the scratch image, so the answer holds for them.
bool ReachesOutside(const QPainter& painter, const QSize& size, const QPointF& offset,
                    const QStaticText& text) {
    const int room = std::max(size.height(), 8);
    QImage scratch(size.width() + 2 * room, size.height() + 2 * room,
                   QImage::Format_ARGB32_Premultiplied);
    // The device's resolution, so that point sizes give the same pixel sizes.
    const QPaintDevice* device = painter.device();
    scratch.setDotsPerMeterX(static_cast<int>(std::lround(device->logicalDpiX() / 0.0254)));
    scratch.setDotsPerMeterY(static_cast<int>(std::lround(device->logicalDpiY() / 0.0254)));
    scratch.fill(Qt::transparent);
    {
        QPainter probe(&scratch);
        probe.setRenderHints(painter.renderHints());
        probe.setFont(painter.font());
        probe.setPen(Qt::white);
        probe.drawStaticText(QPointF(room, room) + offset, text);
    }
    // An untouched premultiplied pixel is 0 in all four channels.
    auto anyPainted = [](const QRgb* from, const QRgb* to) {
        QRgb painted = 0;
        for (; from != to; ++from) painted |= *from;
        return painted != 0;
    };
    const QRect inside(QPoint(room, room), size);
    const int width = scratch.width();
    for (int y = 0; y < scratch.height(); ++y) {
        const auto* pixels = reinterpret_cast<const QRgb*>(scratch.constScanLine(y));
        const bool painted = y < inside.top() || y > inside.bottom()
                                 ? anyPainted(pixels, pixels + width)
                                 : anyPainted(pixels, pixels + inside.left()) ||
                                       anyPainted(pixels + inside.right() + 1, pixels + width);
        if (painted) return true;
    }
    return false;
}

}  // namespace

QColor Blend(const QColor& a, const QColor& b, int percent) {
    const int p = std::clamp(percent, 0, 100);
    auto mix = [p](int x, int y) {
        return static_cast<int>(x * (100 - p) / 100.0 + y * p / 100.0);
    };
    return QColor(mix(a.red(), b.red()), mix(a.green(), b.green()), mix(a.blue(), b.blue()));
}

void FillGradientBand(QPainter& painter, const QRect& rect, const QColor& c1, const QColor& c2,
                      int fromPercent, int toPercent) {
    const int h = rect.height();
    FillGradientRows(painter, rect, rect.top() + h * fromPercent / 100,
                     rect.top() + h * toPercent / 100, c1, c2);
}

void FillVerticalGradient(QPainter& painter, const QRect& rect, const QColor& top,
                          const QColor& bottom) {
    FillGradientBand(painter, rect, top, bottom, 0, 100);
}

void PaintViewBackground(QPainter& painter, const QRect& rect) {
    FillGradientBand(painter, rect, shade::kDark, shade::kForm, 0, 30);
    FillGradientBand(painter, rect, shade::kForm, shade::kDark, 30, 100);
}

void PaintPanelBox(QPainter& painter, const QRect& rect) {
    const int h = rect.height();
    const int t = h * 5 / 100;
    const int top = rect.top();
    FillGradientRows(painter, rect, top, top + t, ThemeColors::kSkyBlue, ThemeColors::kSteelBlue);
    FillGradientRows(painter, rect, top + t, top + h - t, ThemeColors::kSteelBlue,
                     ThemeColors::kSteelBlue);
    FillGradientRows(painter, rect, top + h - t, top + h, ThemeColors::kSteelBlue,
                     ThemeColors::kSkyBlue);
}

void PaintSelectionHighlight(QPainter& painter, const QRect& rect) {
    FillGradientBand(painter, rect, shade::kLight, shade::kMid, 0, 40);
    FillGradientBand(painter, rect, shade::kMid, shade::kMid, 40, 70);
    FillGradientBand(painter, rect, shade::kForm, shade::kMid, 70, 100);
}

void PaintFormBackground(QPainter& painter, const QRect& rect) {
    painter.fillRect(rect, shade::kForm);
}

const QPixmap& BackgroundCache::Pixmap(const QSize& size) {
    if (pixmap_.isNull() || pixmap_.size() != size) {
        pixmap_ = QPixmap(size);
        if (!size.isEmpty()) {
            QPainter painter(&pixmap_);
            PaintBackground(kind_, painter, QRect(QPoint(0, 0), size));
        }
        ++renderCount_;
    }
    return pixmap_;
}

void BackgroundCache::Draw(QPainter& painter, const QRect& rect) {
    if (rect.isEmpty()) return;
    painter.drawPixmap(rect.topLeft(), Pixmap(rect.size()));
}

OffscreenPaint::OffscreenPaint(QPaintDevice* target, const QRect& rect)
    : target_(target), rect_(rect) {
    // On a high-density screen the buffer has the screen's pixels, not the
    // widget's logical ones, so the copy is not scaled up.
    const qreal ratio = target->devicePixelRatioF();
    buffer_ = QPixmap(rect.size().expandedTo(QSize(1, 1)) * ratio);
    buffer_.setDevicePixelRatio(ratio);
    painter_.begin(&buffer_);
    painter_.translate(-rect.topLeft());
}

OffscreenPaint::~OffscreenPaint() {
    painter_.end();
    if (rect_.isEmpty()) return;
    QPainter screen(target_);
    screen.drawPixmap(rect_.topLeft(), buffer_);
}

LineTextCache::Setup LineTextCache::SetupOf(const QPainter& painter, const QSize& size) {
    const QPaintDevice* device = painter.device();
    return Setup{painter.font(),
                 size,
                 painter.transform(),
                 painter.renderHints(),
                 painter.layoutDirection(),
                 device->logicalDpiX(),
                 device->logicalDpiY(),
                 device->devicePixelRatio()};
}

void LineTextCache::Draw(QPainter& painter, const QRect& rect, const QString& text) {
    if (text.isEmpty()) return;  // drawText draws nothing either
    if (!CanCache(painter, text)) {
        DrawClipped(painter, rect, text);
        return;
    }
    Setup setup = SetupOf(painter, rect.size());
    if (!(setup == setup_)) {
        lines_.clear();
        setup_ = std::move(setup);
    }
    auto it = lines_.find(text);
    if (it == lines_.end()) {
        // A text drawn once costs what drawText costs; one drawn again is laid out
        // and kept.
        lines_.insert(text, Line{}).value().drawn = true;
        DrawClipped(painter, rect, text);
        return;
    }
    Line& line = *it;
    line.drawn = true;
    if (!line.laidOut) LayOut(painter, rect, text, line);
    const QPointF topLeft = QPointF(rect.topLeft()) + line.offset;
    if (!line.clip) {
        painter.drawStaticText(topLeft, line.text);
        return;
    }
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.drawStaticText(topLeft, line.text);
    painter.restore();
}

void LineTextCache::LayOut(QPainter& painter, const QRect& rect, const QString& text, Line& line) {
    ++layoutCount_;
    line.laidOut = true;
    // Laid out as drawText lays out one line: the painter's direction, left
    // aligned, in a line wide enough never to wrap.
    QTextOption option;
    option.setTextDirection(painter.layoutDirection());
    option.setAlignment(Qt::AlignLeft);
    line.text.setTextFormat(Qt::PlainText);
    line.text.setTextOption(option);
    line.text.setText(text);
    line.text.prepare(painter.transform(), painter.font());

    // drawText's own answer to where the line goes in rect.
    const QRectF bounds = painter.boundingRect(QRectF(rect), kLineFlags, text);
    line.offset = bounds.topLeft() - QPointF(rect.topLeft());

    // Setting and undoing the clip costs about half as much as drawing the glyphs,
    // so it is skipped where it cannot change a pixel: the line lies inside rect
    // and so does every pixel it covers. Only unscaled images and pixmaps, moved by
    // whole pixels if at all, are probed for the pixels; elsewhere the text is
    // always clipped.
    const QPaintDevice* device = painter.device();
    const QTransform& transform = painter.transform();
    const bool canProbe =
        (device->devType() == QInternal::Image || device->devType() == QInternal::Pixmap) &&
        device->devicePixelRatio() == 1.0 && transform.dx() == std::floor(transform.dx()) &&
        transform.dy() == std::floor(transform.dy());
    line.clip = !canProbe || !QRectF(rect).contains(bounds) ||
                ReachesOutside(painter, rect.size(), line.offset, line.text);
}

void LineTextCache::EndPaint() {
    for (auto it = lines_.begin(); it != lines_.end();) {
        if (it->drawn) {
            it->drawn = false;
            ++it;
        } else {
            it = lines_.erase(it);
        }
    }
}

QImage LoadBitmap(int id) {
    static const bool registered = (InitImageResources(), true);
    (void)registered;
    return QImage(QStringLiteral(":/pellox/bitmap%1.png").arg(id));
}

QPixmap MaskedPixmap(const QImage& bitmap) {
    if (bitmap.isNull()) return QPixmap();
    QImage image = bitmap.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] & 0x00ffffffu) == 0) line[x] = 0;
        }
    }
    return QPixmap::fromImage(image);
}

QIcon AppIcon() {
    LoadBitmap(0);  // makes sure the image collection is registered
    QIcon icon;
    icon.addFile(QStringLiteral(":/pellox/icon142_32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/pellox/icon142_64.png"), QSize(64, 64));
    return icon;
}

QString LoadQString(int id) {
    return QString::fromStdU16String(LoadString(id));
}

const StatusIcons& StatusIcons::Instance() {
    static const StatusIcons icons;
    return icons;
}

StatusIcons::StatusIcons() {
    const QImage strip = LoadBitmap(139);
    if (strip.width() < kIconSize * kCount || strip.height() < kIconSize) return;
    for (int i = 0; i < kCount; ++i) {
        icons_.push_back(MaskedPixmap(strip.copy(i * kIconSize, 0, kIconSize, kIconSize)));
    }
}

QPixmap StatusIcons::Icon(int status) const {
    if (status < 0 || status >= count()) return QPixmap();
    return icons_[static_cast<std::size_t>(status)];
}

void StatusIcons::Draw(QPainter& painter, const QPoint& topLeft, int status) const {
    if (status < 0 || status >= count()) return;
    painter.drawPixmap(topLeft, icons_[static_cast<std::size_t>(status)]);
}

QFont TextFont(qreal points) {
    // The family that stands in for Arial, by name: a list of families skips the
    // desktop's substitutes, and the emoji font (which has digits and blanks of its
    // own) would then draw everything.
    static const QString primary = QFontInfo(QFont(QStringLiteral("Arial"))).family();
    QFont font;
    font.setFamilies({primary, QStringLiteral("Noto Color Emoji")});
    font.setPointSizeF(points);
    return font;
}

QFont ApplicationFont() { return TextFont(10); }

QPalette ControlPalette() {
    QPalette palette;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Window, shade::kForm);
        palette.setColor(group, QPalette::WindowText, ThemeColors::kWhite);
        palette.setColor(group, QPalette::Base, ThemeColors::kSteelBlue);
        palette.setColor(group, QPalette::AlternateBase, ThemeColors::kSteelBlue);
        palette.setColor(group, QPalette::Text, ThemeColors::kWhite);
        palette.setColor(group, QPalette::PlaceholderText, shade::kLight);
        palette.setColor(group, QPalette::Button, shade::kMid);
        palette.setColor(group, QPalette::ButtonText, ThemeColors::kWhite);
        palette.setColor(group, QPalette::Highlight, ThemeColors::kSkyBlue);
        palette.setColor(group, QPalette::HighlightedText, ThemeColors::kBlack);
    }
    return palette;
}

void ApplyControlColours(QWidget* widget) {
    if (widget != nullptr) widget->setPalette(ControlPalette());
}

QString FormStyleSheet() {
    return QStringLiteral(
        "QLabel { color: white; background-color: rgb(102, 102, 102); }"
        "QLineEdit, QTextEdit, QPlainTextEdit, QListWidget, QListView {"
        " color: white; background-color: rgb(75, 158, 186); }"
        "QCheckBox { color: white; }");
}

}  // namespace pellox::ui
