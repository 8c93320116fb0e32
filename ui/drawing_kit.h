// The drawing kit: the dark grey-gradient look every screen shares. Colours, the
// colour mix, gradient bands, the four cached backgrounds, off-screen painting,
// the presence icons, the bitmaps of the resources and the control colours of the
// forms. The views only combine these.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>
#include <string>
#include <vector>

class QWidget;

namespace pellox::ui {

// The four base colours.
struct ThemeColors {
    static constexpr QColor kWhite{255, 255, 255};
    static constexpr QColor kBlack{0, 0, 0};
    static constexpr QColor kSteelBlue{75, 158, 186};
    static constexpr QColor kSkyBlue{98, 201, 236};
};

// Moves from colour a towards colour b by p percent (p clamped to 0..100); each
// channel is a * (100 - p) / 100 + b * p / 100, truncated.
QColor Blend(const QColor& a, const QColor& b, int percent);

// Fills the rows of `rect` from top + H * fromPercent / 100 to top + H * toPercent / 100
// (H = rect height, integer division) with a vertical gradient: the first row of the
// band is c1, the last row c2, the rows between are interpolated and truncated.
void FillGradientBand(QPainter& painter, const QRect& rect, const QColor& c1, const QColor& c2,
                      int fromPercent, int toPercent);

// A vertical gradient over the whole of `rect` (a band from 0 to 100 percent).
void FillVerticalGradient(QPainter& painter, const QRect& rect, const QColor& top,
                          const QColor& bottom);

// The backgrounds, painted directly (not cached) into `rect`.
void PaintViewBackground(QPainter& painter, const QRect& rect);
void PaintPanelBox(QPainter& painter, const QRect& rect);
void PaintSelectionHighlight(QPainter& painter, const QRect& rect);
void PaintFormBackground(QPainter& painter, const QRect& rect);

enum class BackgroundKind {
    View,       // contact list and conversation views
    PanelBox,   // compact history panel and the conversation input area
    Selection,  // one selected list cell
    Form,       // contact and settings forms
};

// One background, kept as a narrow strip of the requested height: every
// background's rows are one colour each, so the strip, repeated across the width,
// is the whole picture at a thirtieth of the memory of a view-sized pixmap. It is
// rendered again only when a request comes with a different height. Drawing it is
// a tiled copy.
class BackgroundCache {
public:
    static constexpr int kStripWidth = 16;

    explicit BackgroundCache(BackgroundKind kind) : kind_(kind) {}

    // The background's strip (kStripWidth wide) for that height, rendered on a
    // change of height only.
    const QPixmap& Strip(int height);
    // Fills rect with the background of rect's height.
    void Draw(QPainter& painter, const QRect& rect);

    BackgroundKind kind() const { return kind_; }
    // How often the background has been rendered (for tests and diagnostics).
    int renderCount() const { return renderCount_; }

private:
    BackgroundKind kind_;
    QPixmap strip_;
    int renderCount_ = 0;
};

// Off-screen painting: nothing reaches the screen before the scope ends, and then
// all of it at once. Callers draw in the target's coordinates, clipped to `rect`.
// A widget (a paintEvent) is painted directly: it paints into its window's back
// buffer already, which goes to the screen whole after the paint, so a second
// buffer would only cost a copy and a view-sized allocation on every paint. Any
// other target gets a pixmap the size of `rect` (rect's top-left corner mapped to
// its origin), copied to the target in one step when the scope ends. Either way
// the painter starts as a pixmap's does (black pen, no brush, the application's
// font), not with the widget's palette and font.
class OffscreenPaint {
public:
    OffscreenPaint(QPaintDevice* target, const QRect& rect);
    ~OffscreenPaint();
    OffscreenPaint(const OffscreenPaint&) = delete;
    OffscreenPaint& operator=(const OffscreenPaint&) = delete;

    QPainter& painter() { return painter_; }

private:
    QPaintDevice* target_;
    QRect rect_;
    bool direct_ = false;  // a widget, painted without the pixmap
    QPixmap buffer_;
    QPainter painter_;
};

// Bitmaps of the resources by id (133, 135, 136, 137, 139) as stored, with black
// meaning transparent; a null image for an unknown id.
QImage LoadBitmap(int id);
// The bitmap with its black pixels made transparent (the mask of the bitmap).
QPixmap MaskedPixmap(const QImage& bitmap);
// The application icon (icon group 142), in every size the resources hold.
QIcon AppIcon();
// String `id` of the string table as the interface shows it (in its language, see
// language.h); empty for an unknown id.
QString LoadQString(int id);
// String `id` as LoadQString gives it with its markers replaced by `args` in one
// pass, as FormatString does: an argument's own "%1" stays as it is.
QString FormatQString(int id, const std::vector<std::u16string>& args);

// The presence icons: bitmap 139 cut into eight 16 x 16 images, black
// transparent, built on first use and kept for the run. The index is a contact's
// presence status (0 online .. 7 invisible).
class StatusIcons {
public:
    static constexpr int kIconSize = 16;
    static constexpr int kCount = 8;

    static const StatusIcons& Instance();

    int count() const { return static_cast<int>(icons_.size()); }
    // The image of `status`; a null pixmap for an index outside 0..count-1.
    QPixmap Icon(int status) const;
    // Draws the icon of `status` with its top-left corner at `topLeft`; draws
    // nothing for an index outside 0..count-1.
    void Draw(QPainter& painter, const QPoint& topLeft, int status) const;

private:
    StatusIcons();
    std::vector<QPixmap> icons_;
};

// "Arial" at the given point size (Liberation Sans stands in where Arial is
// missing), with the colour emoji font "Noto Color Emoji" next in line: emoji then
// draw in colour where that font is installed, instead of from the first
// monochrome font that happens to have them.
QFont TextFont(qreal points);
// The family that stands in for Arial when it was found out before the first
// TextFont (start-up asks the font configuration on a thread of its own, see
// early_start.h); without it the first TextFont asks the font database.
void SetArialStandIn(const QString& family);

// The application's font, set with QApplication::setFont at start: TextFont at a
// fixed size, so text renders alike on every machine.
QFont ApplicationFont();

// The control colours of the dark screens: white text, steel-blue edit boxes,
// form labels on (102, 102, 102). ApplyControlColours sets the palette of a view
// and, through inheritance, of its children; FormStyleSheet carries the same
// colours for widgets that take their look from a style sheet.
QPalette ControlPalette();
void ApplyControlColours(QWidget* widget);
QString FormStyleSheet();

// The colours named in the look, besides ThemeColors.
namespace shade {
inline constexpr QColor kDark{51, 51, 51};
inline constexpr QColor kMid{76, 76, 76};
inline constexpr QColor kForm{102, 102, 102};
inline constexpr QColor kLight{229, 229, 229};
inline constexpr QColor kFrameLight{127, 127, 127};
inline constexpr QColor kFrameDark{25, 25, 25};
}  // namespace shade

}  // namespace pellox::ui
