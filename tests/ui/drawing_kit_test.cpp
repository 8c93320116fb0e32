#include "ui/drawing_kit.h"

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include "store/icon_cache.h"
#include "ui/contact_picture.h"
#include "ui/early_start.h"
#include "ui/image_button.h"

using namespace pellox::ui;

namespace {

QColor At(const QImage& image, int x, int y) {
    return QColor(image.pixel(x, y));
}

// Paints into a fresh image filled with a sentinel colour, so untouched rows show.
template <typename Paint>
QImage PaintImage(int width, int height, Paint paint) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(1, 2, 3));
    QPainter painter(&image);
    paint(painter);
    return image;
}

bool RowIsUniform(const QImage& image, int y) {
    for (int x = 1; x < image.width(); ++x) {
        if (image.pixel(x, y) != image.pixel(0, y)) return false;
    }
    return true;
}

int CountPixels(const QImage& image, const QRect& area, QColor colour) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (QColor(image.pixel(x, y)) == colour) ++count;
        }
    }
    return count;
}

const QColor kSentinel(1, 2, 3);

// White text is anti-aliased: count the pixels that are nearly white.
int CountBright(const QImage& image, const QRect& area) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c(image.pixel(x, y));
            if (c.red() > 200 && c.green() > 200 && c.blue() > 200) ++count;
        }
    }
    return count;
}

}  // namespace

class DrawingKitTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setFont(ApplicationFont()); }

    void textFamilyFoundAheadIsTheFontDatabases() {
        // Start-up finds the family that stands in for Arial from the font
        // configuration on a thread of its own; the text font must get the family
        // the font database would have chosen.
        EarlyWork configuration(&LoadFontConfiguration);
        configuration.Wait();
        QCOMPARE(MatchedFamily(QStringLiteral("Arial")),
                 QFontInfo(QFont(QStringLiteral("Arial"))).family());
    }

    void ownPictureIsTheMiddleSquareWithinTheServicesLimit() {
        QTemporaryDir dir;
        // 100 x 60: red margins of 20 on a blue middle square; small enough as PNG.
        QImage framed(100, 60, QImage::Format_RGB32);
        framed.fill(Qt::red);
        QPainter(&framed).fillRect(20, 0, 60, 60, Qt::blue);
        QVERIFY(framed.save(dir.filePath("framed.bmp")));
        std::string extension;
        std::optional<QByteArray> made = MakeOwnPicture(dir.filePath("framed.bmp"), extension);
        QVERIFY(made.has_value());
        QCOMPARE(extension, std::string("png"));
        QImage picture = QImage::fromData(*made);
        QCOMPARE(picture.size(), QSize(pellox::kPictureSide, pellox::kPictureSide));
        QCOMPARE(picture.pixelColor(0, 0), QColor(Qt::blue));

        // Noise does not fit as PNG: JPEG, within the limit.
        QImage noise(300, 200, QImage::Format_ARGB32);
        std::uint32_t seed = 12345;
        for (int y = 0; y < noise.height(); ++y) {
            for (int x = 0; x < noise.width(); ++x) noise.setPixel(x, y, seed = seed * 1664525u + 1013904223u);
        }
        QVERIFY(noise.save(dir.filePath("noise.png")));
        made = MakeOwnPicture(dir.filePath("noise.png"), extension);
        QVERIFY(made.has_value());
        QCOMPARE(extension, std::string("jpg"));
        QVERIFY(static_cast<std::size_t>(made->size()) <= pellox::kMaxIconBytes);
        QCOMPARE(QImage::fromData(*made).size(), QSize(pellox::kPictureSide, pellox::kPictureSide));

        QFile text(dir.filePath("not-a-picture.png"));
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("hello") == 5);
        text.close();
        QVERIFY(!MakeOwnPicture(text.fileName(), extension).has_value());
    }

    void blend_data() {
        QTest::addColumn<QColor>("a");
        QTest::addColumn<QColor>("b");
        QTest::addColumn<int>("percent");
        QTest::addColumn<QColor>("expected");
        const QColor white(255, 255, 255), black(0, 0, 0);
        QTest::newRow("white to black 60") << white << black << 60 << QColor(102, 102, 102);
        QTest::newRow("white to black 10") << white << black << 10 << QColor(229, 229, 229);
        QTest::newRow("black to white 30") << black << white << 30 << QColor(76, 76, 76);
        QTest::newRow("white to black 80") << white << black << 80 << QColor(51, 51, 51);
        QTest::newRow("per channel, truncated")
            << QColor(10, 20, 30) << QColor(200, 100, 0) << 33 << QColor(72, 46, 20);
        QTest::newRow("0 is a") << QColor(10, 20, 30) << white << 0 << QColor(10, 20, 30);
        QTest::newRow("100 is b") << QColor(10, 20, 30) << white << 100 << white;
        QTest::newRow("below 0 clamps to a") << white << black << -40 << white;
        QTest::newRow("above 100 clamps to b") << white << black << 250 << black;
    }
    void blend() {
        QFETCH(QColor, a);
        QFETCH(QColor, b);
        QFETCH(int, percent);
        QFETCH(QColor, expected);
        QCOMPARE(Blend(a, b, percent), expected);
    }

    void gradientBandCoversOnlyItsRows() {
        const QColor red(200, 0, 0), blue(0, 0, 200);
        // Rect rows 10..109 (H = 100); band 20%..60% is rows 30..69.
        const QImage image = PaintImage(8, 120, [&](QPainter& p) {
            FillGradientBand(p, QRect(0, 10, 8, 100), red, blue, 20, 60);
        });
        QCOMPARE(At(image, 0, 29), kSentinel);
        QCOMPARE(At(image, 0, 30), red);
        QCOMPARE(At(image, 7, 69), blue);
        QCOMPARE(At(image, 0, 70), kSentinel);
        for (int y = 31; y < 70; ++y) {
            QVERIFY(RowIsUniform(image, y));
            QVERIFY2(At(image, 0, y).red() <= At(image, 0, y - 1).red(),
                     qPrintable(QString::number(y)));
            QVERIFY(At(image, 0, y).blue() >= At(image, 0, y - 1).blue());
        }
    }

    void gradientBandUsesIntegerDivisionOfHeight() {
        // H = 7: 30% starts at row 2 (7 * 30 / 100 = 2), 100% ends after row 6.
        const QImage image = PaintImage(4, 7, [](QPainter& p) {
            FillGradientBand(p, QRect(0, 0, 4, 7), Qt::white, Qt::black, 30, 100);
        });
        QCOMPARE(At(image, 0, 1), kSentinel);
        QCOMPARE(At(image, 0, 2), QColor(Qt::white));
        QCOMPARE(At(image, 0, 6), QColor(Qt::black));
    }

    void viewBackgroundBands() {
        const QImage image =
            PaintImage(30, 200, [](QPainter& p) { PaintViewBackground(p, QRect(0, 0, 30, 200)); });
        QCOMPARE(At(image, 0, 0), QColor(51, 51, 51));
        QCOMPARE(At(image, 29, 60), QColor(102, 102, 102));  // 30% of 200
        QCOMPARE(At(image, 0, 199), QColor(51, 51, 51));
        for (int y = 1; y < 200; ++y) {
            QVERIFY(RowIsUniform(image, y));
            const int now = At(image, 0, y).red(), before = At(image, 0, y - 1).red();
            if (y < 60) QVERIFY(now >= before);
            if (y > 60) QVERIFY(now <= before);
        }
        // Each band ends on its second colour: rows 59 and 60 meet at (102, 102, 102).
        QCOMPARE(At(image, 0, 59), QColor(102, 102, 102));
        QVERIFY(At(image, 0, 30).red() > 51 && At(image, 0, 30).red() < 102);
    }

    void panelBoxBands() {
        // H = 100: t = 5; sky blue at the very top and bottom, steel blue between.
        const QImage image =
            PaintImage(20, 100, [](QPainter& p) { PaintPanelBox(p, QRect(0, 0, 20, 100)); });
        QCOMPARE(At(image, 0, 0), ThemeColors::kSkyBlue);
        QCOMPARE(At(image, 0, 4), ThemeColors::kSteelBlue);
        for (int y = 5; y < 95; ++y) QCOMPARE(At(image, 10, y), ThemeColors::kSteelBlue);
        QCOMPARE(At(image, 0, 99), ThemeColors::kSkyBlue);
        QCOMPARE(CountPixels(image, image.rect(), kSentinel), 0);

        // A box lower than 20 pixels has no bands at all: t = 0.
        const QImage flat =
            PaintImage(20, 19, [](QPainter& p) { PaintPanelBox(p, QRect(0, 0, 20, 19)); });
        QCOMPARE(CountPixels(flat, flat.rect(), ThemeColors::kSteelBlue), 20 * 19);
    }

    void selectionHighlightBands() {
        const QImage image = PaintImage(
            50, 40, [](QPainter& p) { PaintSelectionHighlight(p, QRect(0, 0, 50, 40)); });
        QCOMPARE(At(image, 0, 0), QColor(229, 229, 229));
        QCOMPARE(At(image, 0, 15), QColor(76, 76, 76));  // last row of 0..40%
        for (int y = 16; y < 28; ++y) QCOMPARE(At(image, 25, y), QColor(76, 76, 76));
        QCOMPARE(At(image, 0, 28), QColor(102, 102, 102));  // 70% of 40
        QCOMPARE(At(image, 49, 39), QColor(76, 76, 76));
    }

    void formBackgroundIsFlat() {
        const QImage image =
            PaintImage(30, 30, [](QPainter& p) { PaintFormBackground(p, QRect(5, 5, 20, 20)); });
        QCOMPARE(CountPixels(image, QRect(5, 5, 20, 20), QColor(102, 102, 102)), 400);
        QCOMPARE(At(image, 4, 4), kSentinel);
    }

    void cacheRendersOnlyOnHeightChange() {
        BackgroundCache cache(BackgroundKind::View);
        const qint64 first = cache.Strip(200).cacheKey();
        QCOMPARE(cache.renderCount(), 1);
        QCOMPARE(cache.Strip(200).cacheKey(), first);
        QCOMPARE(cache.renderCount(), 1);

        // A new height (rotation, a panel appearing) renders afresh, with the bands
        // of the new size; the strip stays narrow whatever the width drawn.
        const QImage taller = cache.Strip(300).toImage();
        QCOMPARE(cache.renderCount(), 2);
        QCOMPARE(taller.size(), QSize(BackgroundCache::kStripWidth, 300));
        QCOMPARE(At(taller, 0, 90), QColor(102, 102, 102));

        // Draw repeats the strip across the rectangle, at the rectangle's position:
        // the same pixels as painting the background there directly.
        QImage target(140, 320, QImage::Format_RGB32);
        target.fill(kSentinel);
        {
            QPainter painter(&target);
            cache.Draw(painter, QRect(20, 20, 120, 300));
        }
        QCOMPARE(cache.renderCount(), 2);
        const QImage direct = PaintImage(140, 320, [](QPainter& p) {
            PaintViewBackground(p, QRect(20, 20, 120, 300));
        });
        QCOMPARE(target, direct);
        QCOMPARE(At(target, 19, 20), kSentinel);
        QCOMPARE(At(target, 139, 20 + 90), QColor(102, 102, 102));
    }

    void offscreenPaintMapsTheRectangle() {
        QImage target(60, 60, QImage::Format_RGB32);
        target.fill(kSentinel);
        {
            OffscreenPaint paint(&target, QRect(10, 20, 30, 30));
            paint.painter().fillRect(QRect(10, 20, 30, 30), Qt::white);  // target coordinates
            paint.painter().fillRect(QRect(15, 25, 5, 5), Qt::red);
            // Nothing reaches the target before the scope ends.
            QCOMPARE(At(target, 10, 20), kSentinel);
        }
        QCOMPARE(At(target, 10, 20), QColor(Qt::white));
        QCOMPARE(At(target, 15, 25), QColor(Qt::red));
        QCOMPARE(At(target, 9, 20), kSentinel);
        QCOMPARE(At(target, 40, 50), kSentinel);
        QCOMPARE(CountPixels(target, target.rect(), QColor(Qt::red)), 25);
    }

    void bitmapsHaveTheirSizes_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QSize>("size");
        QTest::newRow("133 write") << 133 << QSize(58, 19);
        QTest::newRow("135 right") << 135 << QSize(29, 29);
        QTest::newRow("136 left") << 136 << QSize(29, 29);
        QTest::newRow("137 send") << 137 << QSize(18, 28);
        QTest::newRow("139 presence") << 139 << QSize(128, 16);
    }
    void bitmapsHaveTheirSizes() {
        QFETCH(int, id);
        QFETCH(QSize, size);
        const QImage bitmap = LoadBitmap(id);
        QCOMPARE(bitmap.size(), size);
        // Black is the transparent colour: every bitmap has a black surround and a
        // picture in it.
        const int black = CountPixels(bitmap, bitmap.rect(), Qt::black);
        QVERIFY(black > 0);
        QVERIFY(black < size.width() * size.height() * 9 / 10);
        QVERIFY(LoadBitmap(999).isNull());
    }

    void appIconHasTwoSizes() {
        const QIcon icon = AppIcon();
        QVERIFY(!icon.isNull());
        QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
        QVERIFY(icon.availableSizes().contains(QSize(64, 64)));
    }

    void maskedPixmapMakesOnlyBlackTransparent() {
        QImage bitmap(3, 1, QImage::Format_RGB32);
        bitmap.setPixel(0, 0, qRgb(0, 0, 0));
        bitmap.setPixel(1, 0, qRgb(1, 0, 0));
        bitmap.setPixel(2, 0, qRgb(255, 255, 255));
        const QImage masked = MaskedPixmap(bitmap).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(qAlpha(masked.pixel(0, 0)), 0);
        QCOMPARE(masked.pixel(1, 0), qRgba(1, 0, 0, 255));
        QCOMPARE(masked.pixel(2, 0), qRgba(255, 255, 255, 255));
    }

    void statusIconsAreEightDistinctImages() {
        const StatusIcons& icons = StatusIcons::Instance();
        QCOMPARE(icons.count(), 8);
        QCOMPARE(&StatusIcons::Instance(), &icons);
        QList<QImage> images;
        for (int i = 0; i < icons.count(); ++i) {
            const QImage image = icons.Icon(i).toImage().convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(image.size(), QSize(16, 16));
            QCOMPARE(qAlpha(image.pixel(0, 0)), 0);  // black corner, transparent
            int opaque = 0, opaqueBlack = 0;
            for (int y = 0; y < 16; ++y) {
                for (int x = 0; x < 16; ++x) {
                    const QRgb px = image.pixel(x, y);
                    if (qAlpha(px) == 0) continue;
                    ++opaque;
                    if ((px & 0xffffff) == 0) ++opaqueBlack;
                }
            }
            QVERIFY2(opaque > 40, qPrintable(QString("icon %1").arg(i)));
            QCOMPARE(opaqueBlack, 0);
            for (const QImage& other : images) QVERIFY(image != other);
            images << image;
        }
        QVERIFY(icons.Icon(-1).isNull());
        QVERIFY(icons.Icon(8).isNull());
    }

    void statusIconDrawsOverTheBackground() {
        const QImage image = PaintImage(40, 16, [](QPainter& p) {
            p.fillRect(QRect(0, 0, 40, 16), QColor(51, 51, 51));
            StatusIcons::Instance().Draw(p, QPoint(0, 0), 1);
            StatusIcons::Instance().Draw(p, QPoint(20, 0), 8);  // out of range: nothing
        });
        QCOMPARE(At(image, 0, 0), QColor(51, 51, 51));  // transparent corner
        QCOMPARE(CountPixels(image, QRect(20, 0, 20, 16), QColor(51, 51, 51)), 20 * 16);
        // Icon 1 is a red flower: its middle rows hold reddish pixels.
        int red = 0;
        for (int x = 0; x < 16; ++x) {
            const QColor c = At(image, x, 4);
            if (c.red() > 150 && c.green() < 100) ++red;
        }
        QVERIFY(red > 0);
    }

    void imageButtonFaceAndFrame() {
        ImageButton button(QString(), 7);
        button.resize(60, 30);
        const QImage image = button.grab().toImage();
        QCOMPARE(At(image, 2, 1), QColor(76, 76, 76));      // gradient top
        QVERIFY(qAbs(At(image, 2, 28).red() - 51) <= 2);    // gradient bottom
        QCOMPARE(At(image, 0, 15), QColor(127, 127, 127));  // left edge
        QCOMPARE(At(image, 30, 0), QColor(127, 127, 127));  // top edge
        QCOMPARE(At(image, 59, 15), QColor(25, 25, 25));    // right edge
        QCOMPARE(At(image, 30, 29), QColor(25, 25, 25));    // bottom edge
        QCOMPARE(At(image, 59, 0), QColor(25, 25, 25));

        button.setDown(true);
        const QImage pressed = button.grab().toImage();
        QCOMPARE(At(pressed, 2, 1), QColor(102, 102, 102));
        QCOMPARE(At(pressed, 30, 28), QColor(102, 102, 102));
        QCOMPARE(At(pressed, 0, 15), QColor(127, 127, 127));
        QVERIFY(button.drawnPressed());
    }

    void imageButtonWithoutBitmapShowsItsCaption() {
        ImageButton button(QStringLiteral("Получить с сервера"), 1011);
        button.resize(90, 40);
        const QImage withCaption = button.grab().toImage();
        QVERIFY(CountBright(withCaption, withCaption.rect()) > 20);

        // Word-wrapped: a narrow button puts the caption on more than one line, so
        // white pixels appear in both halves.
        button.resize(70, 60);
        const QImage wrapped = button.grab().toImage();
        QVERIFY(CountBright(wrapped, QRect(1, 1, 68, 28)) > 0);
        QVERIFY(CountBright(wrapped, QRect(1, 30, 68, 28)) > 0);

        // Disabled looks the same.
        button.setEnabled(false);
        QCOMPARE(button.grab().toImage(), wrapped);
    }

    void imageButtonDrawsItsBitmapInsteadOfTheCaption() {
        ImageButton button(QStringLiteral("OK"), 32800);
        button.setBitmapId(137);
        QVERIFY(button.hasBitmap());
        button.resize(40, 40);
        const QImage image = button.grab().toImage();
        // The bitmap sits centred: (11, 6) .. (28, 33). Its black surround is
        // transparent, so the face shows through at its corner.
        QCOMPARE(At(image, 11, 6).red(), At(image, 2, 6).red());
        QCOMPARE(CountPixels(image, image.rect(), Qt::black), 0);
        // The arrow's white shaft is at the bitmap's column 13.
        QVERIFY(At(image, 11 + 13, 6 + 10).red() > 200);

        // Without the bitmap the caption comes back.
        button.setBitmap(QImage());
        QVERIFY(!button.hasBitmap());
        const QImage caption = button.grab().toImage();
        QVERIFY(CountBright(caption, caption.rect()) > 5);
        QVERIFY(caption != image);
    }

    void imageButtonSendsItsCommandAndReturnsFocus() {
        QWidget parent;
        parent.setFocusPolicy(Qt::StrongFocus);
        auto* layout = new QVBoxLayout(&parent);
        auto* edit = new QLineEdit(&parent);
        auto* button = new ImageButton(QStringLiteral(">>"), 32799, &parent);
        layout->addWidget(edit);
        layout->addWidget(button);
        parent.show();
        QApplication::setActiveWindow(&parent);
        QVERIFY(QTest::qWaitForWindowActive(&parent));

        QSignalSpy spy(button, &ImageButton::commandTriggered);
        edit->setFocus();
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), 32799);
        QVERIFY(!parent.hasFocus());

        button->setReturnFocus(true);
        edit->setFocus();
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(spy.count(), 2);
        QTRY_VERIFY(parent.hasFocus());
    }

    void controlColoursOfTheForms() {
        QWidget form;
        ApplyControlColours(&form);
        auto* edit = new QLineEdit(&form);
        edit->setGeometry(0, 0, 100, 24);
        auto* label = new QLabel(QStringLiteral("Имя"), &form);
        label->setGeometry(0, 30, 100, 20);
        label->setAutoFillBackground(true);
        form.resize(100, 60);
        QCOMPARE(edit->palette().color(QPalette::Text), ThemeColors::kWhite);
        const QImage editImage = edit->grab().toImage();
        QCOMPARE(At(editImage, 90, 12), ThemeColors::kSteelBlue);
        const QImage labelImage = label->grab().toImage();
        QCOMPARE(At(labelImage, 95, 10), QColor(102, 102, 102));
        QVERIFY(CountBright(labelImage, labelImage.rect()) > 0);

        // The same colours through the style sheet.
        QWidget styled;
        styled.setStyleSheet(FormStyleSheet());
        auto* styledEdit = new QLineEdit(&styled);
        styledEdit->setGeometry(0, 0, 100, 24);
        auto* styledLabel = new QLabel(QStringLiteral("Имя"), &styled);
        styledLabel->setGeometry(0, 30, 100, 20);
        styled.resize(100, 60);
        QCOMPARE(At(styledEdit->grab().toImage(), 90, 12), ThemeColors::kSteelBlue);
        QCOMPARE(At(styledLabel->grab().toImage(), 95, 10), QColor(102, 102, 102));
    }
};

QTEST_MAIN(DrawingKitTest)
#include "drawing_kit_test.moc"
