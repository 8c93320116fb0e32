// Draws the application's bitmaps and icons and writes them, with a Qt resource
// collection listing them, into the folder given as the only argument. Run at
// build time; the output is deterministic.
//
// Bitmaps use black (0, 0, 0) as the transparent colour, so every visible dark
// detail is drawn in kInk, which is nearly but not exactly black. The application
// icon is an ordinary picture with an alpha channel.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>

namespace {

const QColor kInk(24, 24, 24);
const QColor kWhite(245, 245, 245);
const QColor kSkyBlue(98, 201, 236);
const QColor kSteelBlue(75, 158, 186);
const QColor kGreen(40, 190, 50);
const QColor kRed(220, 36, 36);
const QColor kYellow(250, 214, 40);
const QColor kFlowerHeart(255, 220, 60);

QImage Canvas(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    return image;
}

// A flower of five round petals around a heart, centred at `c`.
void DrawFlower(QPainter& p, QPointF c, double size, QColor petal, QColor heart) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(petal.darker(170), size / 16.0));
    const double petalRadius = size * 0.19;
    const double distance = size * 0.29;
    p.setBrush(petal);
    for (int k = 0; k < 5; ++k) {
        const double angle = -std::numbers::pi / 2 + k * 2 * std::numbers::pi / 5;
        const QPointF centre(c.x() + distance * std::cos(angle),
                             c.y() + distance * std::sin(angle));
        p.drawEllipse(centre, petalRadius, petalRadius);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(heart);
    p.drawEllipse(c, size * 0.16, size * 0.16);
    p.restore();
}

// A luggage tag: a card with its left end cut to a point and a punched hole
// (the hole stays transparent). `r` is the tag's bounding box.
QPainterPath TagPath(const QRectF& r) {
    const double point = r.height() * 0.45;
    QPainterPath path;
    path.moveTo(r.left(), r.center().y());
    path.lineTo(r.left() + point, r.top());
    path.lineTo(r.right(), r.top());
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left() + point, r.bottom());
    path.closeSubpath();
    return path;
}

void DrawTag(QPainter& p, const QRectF& r, QColor fill) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(fill.darker(150), 1.0));
    p.setBrush(fill);
    p.drawPath(TagPath(r));
    p.restore();
}

// Pixel-exact strokes for details too small to anti-alias.
void PixelLine(QPainter& p, int x1, int y1, int x2, int y2, QColor colour) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(colour, 1));
    p.drawLine(x1, y1, x2, y2);
    p.restore();
}

void Hole(QPainter& p, QPointF c) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawRect(QRectF(c.x() - 0.5, c.y() - 0.5, 1.0, 1.0));
    p.restore();
}

// Bitmap 139: eight 16 x 16 presence icons side by side, indexed by presence.
QImage PresenceIcons() {
    QImage image = Canvas(128, 16);
    QPainter p(&image);
    const QRectF bigTag(0.5, 3.5, 15, 9);   // the whole cell
    const QRectF smallTag(6.5, 8.5, 9, 7);  // in the lower right corner
    auto cell = [&](int index) {
        p.resetTransform();
        p.translate(index * 16, 0);
    };

    // 0 online, 1 offline: a green and a red flower.
    cell(0);
    DrawFlower(p, {8, 8}, 15.5, kGreen, kFlowerHeart);
    cell(1);
    DrawFlower(p, {8, 8}, 15.5, kRed, kFlowerHeart);

    // 2 away: a green flower with a blue tag of three dashes.
    cell(2);
    DrawFlower(p, {6, 6}, 11.5, kGreen, kFlowerHeart);
    DrawTag(p, smallTag, QColor(150, 215, 250));
    for (int y : {10, 12, 14}) PixelLine(p, 10, y, 13, y, kInk);

    // 3 not available: a white tag with the two letters "NA".
    cell(3);
    DrawTag(p, bigTag, kWhite);
    Hole(p, {4, 8});
    PixelLine(p, 6, 10, 6, 6, kInk);  // N
    PixelLine(p, 7, 7, 8, 9, kInk);
    PixelLine(p, 9, 6, 9, 10, kInk);
    PixelLine(p, 11, 10, 11, 7, kInk);  // A
    PixelLine(p, 14, 10, 14, 7, kInk);
    PixelLine(p, 12, 6, 13, 6, kInk);
    PixelLine(p, 12, 8, 13, 8, kInk);

    // 4 occupied: a grey tag with a red cross.
    cell(4);
    DrawTag(p, bigTag, QColor(205, 205, 205));
    Hole(p, {4, 8});
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(kRed, 2.0, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(7.5, 5.5), QPointF(13.5, 11.5));
    p.drawLine(QPointF(13.5, 5.5), QPointF(7.5, 11.5));
    p.restore();

    // 5 do not disturb: a red tag.
    cell(5);
    DrawTag(p, bigTag, kRed);
    Hole(p, {4, 8});

    // 6 free for chat: a yellow tag.
    cell(6);
    DrawTag(p, bigTag, kYellow);
    Hole(p, {4, 8});

    // 7 invisible: a white flower with a white tag.
    cell(7);
    DrawFlower(p, {6, 6}, 11.5, kWhite, QColor(190, 190, 190));
    DrawTag(p, smallTag, kWhite);
    return image;
}

// Bitmap 133, 58 x 19: an envelope with an arrow (write a message).
QImage WriteButton() {
    QImage image = Canvas(58, 19);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QRectF envelope(9.5, 2.5, 24, 14);
    p.setPen(QPen(kSteelBlue.darker(130), 1.0));
    p.setBrush(kWhite);
    p.drawRect(envelope);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(
        QPolygonF({envelope.topLeft(), QPointF(envelope.center().x(), envelope.top() + 8),
                   envelope.topRight()}));
    p.drawLine(envelope.bottomLeft(), QPointF(envelope.left() + 8, envelope.top() + 7));
    p.drawLine(envelope.bottomRight(), QPointF(envelope.right() - 8, envelope.top() + 7));

    // The arrow leaves the envelope to the right.
    p.setPen(QPen(kSkyBlue, 3.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(30, 10.5), QPointF(44, 10.5));
    p.setPen(Qt::NoPen);
    p.setBrush(kSkyBlue);
    p.drawPolygon(QPolygonF({QPointF(42, 4.5), QPointF(50, 10.5), QPointF(42, 16.5)}));
    return image;
}

// Bitmap 135, 29 x 29: a double chevron pointing right; bitmap 136 is its mirror.
QImage DoubleChevronRight() {
    QImage image = Canvas(29, 29);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(kWhite, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    for (double x : {6.0, 14.0}) {
        p.drawPolyline(QPolygonF({QPointF(x, 7), QPointF(x + 7.5, 14.5), QPointF(x, 22)}));
    }
    return image;
}

// Bitmap 137, 18 x 28: a return arrow (send).
QImage ReturnArrow() {
    QImage image = Canvas(18, 28);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    // Shaft and head as one outline, so no seam shows where they meet.
    QPainterPath shaft;
    shaft.moveTo(13.5, 4.5);
    shaft.lineTo(13.5, 18.5);
    shaft.lineTo(6, 18.5);
    QPainterPathStroker stroker;
    stroker.setWidth(2.6);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    QPainterPath head;
    head.addPolygon(QPolygonF({QPointF(8.5, 13), QPointF(2.5, 18.5), QPointF(8.5, 24)}));
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawPath(stroker.createStroke(shaft).united(head));
    return image;
}

// Icon group 142: a blue rounded square with a flower and a speech bubble.
QImage AppIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(size / 64.0, size / 64.0);

    QLinearGradient face(0, 2, 0, 62);
    face.setColorAt(0, kSkyBlue);
    face.setColorAt(1, kSteelBlue.darker(140));
    p.setPen(QPen(QColor(30, 70, 90), 1.5));
    p.setBrush(face);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    // The speech bubble behind the flower.
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(30, 30, 28, 20), 7, 7);
    bubble.moveTo(38, 49);
    bubble.lineTo(35, 58);
    bubble.lineTo(46, 49);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawPath(bubble.simplified());
    p.setBrush(kSteelBlue);
    for (double x : {37.0, 44.0, 51.0}) p.drawEllipse(QPointF(x, 40), 2.4, 2.4);

    p.setPen(QPen(QColor(20, 90, 25), 1.2));
    const double petalRadius = 8.5;
    for (int k = 0; k < 5; ++k) {
        const double angle = -std::numbers::pi / 2 + k * 2 * std::numbers::pi / 5;
        p.setBrush(kGreen);
        p.drawEllipse(QPointF(25 + 11 * std::cos(angle), 25 + 11 * std::sin(angle)), petalRadius,
                      petalRadius);
    }
    p.setBrush(kFlowerHeart);
    p.drawEllipse(QPointF(25, 25), 6.5, 6.5);
    return image;
}

// Writes the picture twice: NAME.png (the icons are installed for the desktop)
// and NAME.raw for the application's resources, which reads it without a
// decoder: the width, the height and the format (32 bits each, in this machine's
// byte order; RGB32 for an opaque picture, ARGB32 for one with an alpha channel,
// as its PNG reads back), then the rows of 32-bit pixels.
bool Save(const QImage& image, const QDir& dir, const QString& name, QStringList& written) {
    const QString png = dir.filePath(name + ".png");
    const QImage pixels =
        image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const std::uint32_t head[3] = {static_cast<std::uint32_t>(pixels.width()),
                                   static_cast<std::uint32_t>(pixels.height()),
                                   static_cast<std::uint32_t>(pixels.format())};
    QFile raw(dir.filePath(name + ".raw"));
    bool ok = image.save(png, "PNG") && raw.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
              raw.write(reinterpret_cast<const char*>(head), sizeof head) == sizeof head;
    for (int y = 0; ok && y < pixels.height(); ++y) {
        const qint64 rowBytes = static_cast<qint64>(pixels.width()) * 4;
        ok = raw.write(reinterpret_cast<const char*>(pixels.constScanLine(y)), rowBytes) == rowBytes;
    }
    if (!ok || !raw.flush()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(dir.filePath(name)));
        return false;
    }
    written << name + ".raw";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> <collection file name>\n", argv[0]);
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(".")) return 1;

    QStringList written;
    bool ok = Save(PresenceIcons(), dir, "bitmap139", written) &&
              Save(WriteButton(), dir, "bitmap133", written) &&
              Save(DoubleChevronRight(), dir, "bitmap135", written) &&
              Save(DoubleChevronRight().mirrored(true, false), dir, "bitmap136", written) &&
              Save(ReturnArrow(), dir, "bitmap137", written) &&
              Save(AppIcon(32), dir, "icon142_32", written) &&
              Save(AppIcon(64), dir, "icon142_64", written);
    if (!ok) return 1;

    // The collection is written last: the build treats it as the output that
    // stands for all images.
    QFile qrc(dir.filePath(QString::fromLocal8Bit(argv[2])));
    if (!qrc.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return 1;
    QTextStream out(&qrc);
    out << "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/pellox\">\n";
    // Stored as they are: a compressed picture would be inflated on every read.
    for (const QString& name : written) {
        out << "  <file compression-algorithm=\"none\">" << name << "</file>\n";
    }
    out << "</qresource>\n</RCC>\n";
    return out.status() == QTextStream::Ok ? 0 : 1;
}
