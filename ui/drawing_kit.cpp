#include "ui/drawing_kit.h"

#include <QFile>
#include <QFontInfo>
#include <QWidget>
#include <algorithm>
#include <cstdint>

#include "resources/strings.h"
#include "resources/text_contexts.h"
#include "ui/language.h"

// The image collection is compiled into this static library; its initialiser is
// only linked in when library code names it, so it is registered here, once.
static void InitImageResources() {
    Q_INIT_RESOURCE(pellox_images);
}

static void RegisterImageResources() {
    static const bool registered = (InitImageResources(), true);
    (void)registered;
}

// A picture of the resources as the build drew it: its width, height and format
// (32 bits each, in this machine's byte order), then its rows of 32-bit pixels.
// Copied straight into an image, so that the first frame neither loads an image
// decoder nor runs one: reading the same pictures as PNGs cost 2 to 6 ms before
// the window first showed.
static QImage ReadRaw(const QString& path) {
    QFile file(path);
    std::uint32_t head[3] = {};
    if (!file.open(QIODevice::ReadOnly) ||
        file.read(reinterpret_cast<char*>(head), sizeof head) != sizeof head) {
        return {};
    }
    const auto format = static_cast<QImage::Format>(head[2]);
    constexpr std::uint32_t kLargest = 1024;
    if (head[0] == 0 || head[0] > kLargest || head[1] == 0 || head[1] > kLargest ||
        (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32)) {
        return {};
    }
    QImage image(static_cast<int>(head[0]), static_cast<int>(head[1]), format);
    const qint64 rowBytes = static_cast<qint64>(head[0]) * 4;
    for (int y = 0; y < image.height(); ++y) {
        if (file.read(reinterpret_cast<char*>(image.scanLine(y)), rowBytes) != rowBytes) return {};
    }
    return image;
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

const QPixmap& BackgroundCache::Strip(int height) {
    const QSize size(kStripWidth, std::max(height, 0));
    if (strip_.isNull() || strip_.size() != size) {
        strip_ = QPixmap(size);
        if (!size.isEmpty()) {
            QPainter painter(&strip_);
            PaintBackground(kind_, painter, QRect(QPoint(0, 0), size));
        }
        ++renderCount_;
    }
    return strip_;
}

void BackgroundCache::Draw(QPainter& painter, const QRect& rect) {
    if (rect.isEmpty()) return;
    const QPixmap& strip = Strip(rect.height());
    // Copy by copy: the painter shares a tiled fill of a large area out among
    // worker threads, which it starts for the first one, and that costs more than
    // the copies. Only the strips inside the painter's clip are copied.
    const QRect visible =
        painter.hasClipping() ? rect & painter.clipBoundingRect().toAlignedRect() : rect;
    if (visible.isEmpty()) return;
    const int first = rect.left() + (visible.left() - rect.left()) / kStripWidth * kStripWidth;
    for (int x = first; x <= visible.right(); x += kStripWidth) {
        const int width = std::min(kStripWidth, rect.right() + 1 - x);
        painter.drawPixmap(QPoint(x, rect.top()), strip, QRect(0, 0, width, rect.height()));
    }
}

OffscreenPaint::OffscreenPaint(QPaintDevice* target, const QRect& rect)
    : target_(target), rect_(rect) {
    if (target->devType() == QInternal::Widget) {
        direct_ = true;
        painter_.begin(target);
        painter_.setClipRect(rect);
        // As a pixmap's painter starts: the widget's would take its palette and font.
        painter_.setPen(QPen());
        painter_.setBackground(QBrush(Qt::white));
        painter_.setFont(QFont());
        painter_.setLayoutDirection(Qt::LayoutDirectionAuto);
        return;
    }
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
    if (direct_ || rect_.isEmpty()) return;
    QPainter screen(target_);
    screen.drawPixmap(rect_.topLeft(), buffer_);
}

QImage LoadBitmap(int id) {
    RegisterImageResources();
    return ReadRaw(QStringLiteral(":/pellox/bitmap%1.raw").arg(id));
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
    RegisterImageResources();
    QIcon icon;
    for (const int size : {32, 64}) {
        icon.addPixmap(QPixmap::fromImage(ReadRaw(QStringLiteral(":/pellox/icon142_%1.raw").arg(size))));
    }
    return icon;
}

QString LoadQString(int id) {
    return TranslatedText(kStringsContext, StringView(id));
}

QString FormatQString(int id, const std::vector<std::u16string>& args) {
    const std::vector<std::u16string_view> views(args.begin(), args.end());
    return QString::fromStdU16String(FormatText(LoadQString(id).toStdU16String(), views));
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

namespace {

QString& ArialStandIn() {
    static QString family;
    return family;
}

}  // namespace

void SetArialStandIn(const QString& family) {
    ArialStandIn() = family;
}

QFont TextFont(qreal points) {
    // The family that stands in for Arial, by name: a list of families skips the
    // desktop's substitutes, and the emoji font (which has digits and blanks of its
    // own) would then draw everything.
    static const QString primary = ArialStandIn().isEmpty()
                                       ? QFontInfo(QFont(QStringLiteral("Arial"))).family()
                                       : ArialStandIn();
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
        "QLineEdit, QTextEdit, QPlainTextEdit, QListWidget, QListView, QComboBox {"
        " color: white; background-color: rgb(75, 158, 186); }"
        "QCheckBox { color: white; }");
}

}  // namespace pellox::ui
