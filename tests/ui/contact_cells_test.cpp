// The contact list draws its cells from kept text layouts. These tests hold every
// pixel of that drawing against the straightforward one it replaces: each name
// drawn with drawText into its name rectangle, clipped to it, after saving the
// painter's state.
#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <QTest>
#include <algorithm>
#include <functional>

#include "tests/ui/view_test_support.h"
#include "ui/contact_list_panel.h"
#include "ui/drawing_kit.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::test;

namespace {

constexpr int kLineFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;

// How a painter is set up for one of the special cases.
enum PainterSetup { kPlain, kUnderline, kStrikeOut, kRightToLeft, kScaled, kTranslated, kShifted };

// ---- The reference: a cell as drawn before the layouts were kept ----------------

void ReferenceEntry(QPainter& painter, const QRect& cell, const ContactInfo& info,
                    const QFont& badgeFont) {
    const int iconSize = StatusIcons::kIconSize;
    const QPoint iconTopLeft(cell.left(), cell.top() + (cell.height() - iconSize) / 2);
    StatusIcons::Instance().Draw(painter, iconTopLeft, info.status);

    if (info.unreadCount > 0) {
        const QString count = QString::number(info.unreadCount);
        const QFontMetrics metrics(badgeFont);
        const QRect box(iconTopLeft, QSize(iconSize - 1, iconSize - 1));
        const int width = metrics.horizontalAdvance(count);
        const int height = metrics.height();
        const QRect badge(std::max(box.left() + box.width() - width, cell.left()),
                          box.top() + box.height() - height, width, height);
        painter.save();
        painter.setFont(badgeFont);
        painter.fillRect(badge, shade::kDark);
        painter.setPen(ThemeColors::kWhite);
        painter.drawText(badge, Qt::AlignLeft | Qt::AlignBottom | Qt::TextSingleLine, count);
        painter.restore();
    }

    const QRect nameRect(cell.left() + ContactListPanel::kNameIndent, cell.top(),
                         cell.width() - ContactListPanel::kNameIndent, cell.height());
    if (nameRect.width() <= 0) return;
    QColor colour = ThemeColors::kWhite;
    if (info.conversationOpen()) {
        colour = QColor(255, 255, 0);
    } else if (info.status == 1) {
        colour = QColor(255, 200, 200);
    }
    painter.save();
    painter.setClipRect(nameRect, Qt::IntersectClip);
    painter.setPen(colour);
    painter.drawText(nameRect, kLineFlags, QString::fromStdU16String(info.DisplayName()));
    painter.restore();
}

// The page the panel shows, drawn the reference way over the same background.
void ReferencePage(QPainter& painter, const ContactListPanel& panel, const QFont& font) {
    painter.setFont(font);
    const auto& entries = panel.entries();
    const int selected = panel.IndexOf(panel.selection().get());
    if (selected >= 0) PaintSelectionHighlight(painter, panel.CellRect(selected));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const QRect cell = panel.CellRect(static_cast<int>(i));
        if (cell.isEmpty()) continue;
        ReferenceEntry(painter, cell, entries[i]->Snapshot(), panel.badgeFont());
    }
}

// A pixmap as the views paint into, with the views' background.
QPixmap Canvas(const QSize& size, qreal ratio = 1.0) {
    QPixmap canvas(size * ratio);
    canvas.setDevicePixelRatio(ratio);
    QPainter painter(&canvas);
    PaintViewBackground(painter, QRect(QPoint(0, 0), size));
    return canvas;
}

// Where two images differ, for the failure message.
QString Difference(const QImage& actual, const QImage& expected) {
    if (actual.size() != expected.size()) return QStringLiteral("the sizes differ");
    QRect bounds;
    for (int y = 0; y < actual.height(); ++y) {
        for (int x = 0; x < actual.width(); ++x) {
            if (actual.pixel(x, y) != expected.pixel(x, y)) bounds |= QRect(x, y, 1, 1);
        }
    }
    return QStringLiteral("pixels differ within (%1, %2) %3 x %4")
        .arg(bounds.x())
        .arg(bounds.y())
        .arg(bounds.width())
        .arg(bounds.height());
}

#define COMPARE_PIXELS(actual, expected)                    \
    do {                                                    \
        const QImage a_ = (actual);                         \
        const QImage e_ = (expected);                       \
        QVERIFY2(a_ == e_, qPrintable(Difference(a_, e_))); \
    } while (false)

// A model with the panel over it; the panel is painted like the view paints it.
struct PanelFixture {
    TempModel model;
    ContactListPanel panel{nullptr, model.state};
    bool penKept = true;  // every paint left the caller's pen as it found it

    ContactPtr Add(std::u16string name, std::u16string uin, std::int32_t status = 0,
                   std::uint16_t unread = 0, std::int64_t activity = 0, bool open = false) {
        return model.Add(Info(std::move(name), std::move(uin), status, unread, activity, open));
    }

    QImage PaintPanel(const QSize& size, const QFont& font, qreal ratio = 1.0) {
        QPixmap canvas = Canvas(size, ratio);
        QPainter painter(&canvas);
        painter.setFont(font);
        painter.setPen(QColor(1, 2, 3));
        panel.Paint(painter, QRect(QPoint(0, 0), size));
        // The caller's pen is back, so what it draws next has its colour.
        if (painter.pen().color() != QColor(1, 2, 3)) penKept = false;
        painter.end();
        return canvas.toImage();
    }
    QImage PaintReference(const QSize& size, const QFont& font, qreal ratio = 1.0) {
        QPixmap canvas = Canvas(size, ratio);
        QPainter painter(&canvas);
        ReferencePage(painter, panel, font);
        painter.end();
        return canvas.toImage();
    }
};

// The contacts of the pixel tests: both alphabets, the UIN alone, a name far too
// long for its cell, names whose glyphs reach below the baseline and above the
// capitals, characters drawText treats specially, every name colour and badges.
void AddVariedContacts(PanelFixture& f) {
    f.Add(u"Анна Борис", u"2100001", 0, 3, 900);
    f.Add(u"Alex Smith", u"2100002", 0, 0, 800, true);
    f.Add(u"Дмитрий Жанна Катя Игорь Елена Frank Grace Henry и ещё очень длинное имя", u"2100003",
          1, 0, 700);
    f.Add(u"", u"2100004", 2, 0, 600);
    f.Add(u"Йожеф Ёлкин jgpqy", u"2100005", 1, 12345, 500);
    f.Add(u"jjj fff", u"2100006", 0, 0, 400);
    f.Add(u"Tab\tand\nnew line", u"2100007", 0, 0, 300);
    f.Add(u"  spaces around  ", u"2100008", 4, 0, 200, true);
    f.Add(u"שלום abc", u"2100009", 0, 0, 100);
    f.Add(u"&Amp <b>not bold</b>", u"2100010", 1, 0, 50);
    f.Add(u"ÀÉÎÕÜ Ǻ", u"2100011", 0, 0, 40);
    f.Add(u"Wolfgang Amadeus Mozart", u"2100012", 1, 0, 30);
}

}  // namespace

class ContactCellsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setFont(ApplicationFont()); }

    // Every pixel of the page, for fonts from small to large (so rows of the least
    // height and taller ones), with cells in both columns.
    void pageMatchesTheDirectDrawing_data() {
        QTest::addColumn<QFont>("font");
        QTest::addColumn<QSize>("size");
        for (int points : {7, 8, 9, 10, 11, 12, 14, 18, 24}) {
            QTest::addRow("%d pt", points)
                << QFont(QStringLiteral("Arial"), points) << QSize(480, 190);
        }
        QFont pixels(QStringLiteral("Arial"));
        pixels.setPixelSize(15);
        QTest::addRow("15 px") << pixels << QSize(480, 190);
        QTest::addRow("application font, narrow") << ApplicationFont() << QSize(200, 120);
        QTest::addRow("application font, 300 wide") << ApplicationFont() << QSize(300, 150);
        QFont bold = ApplicationFont();
        bold.setBold(true);
        QTest::addRow("bold") << bold << QSize(480, 190);
    }
    void pageMatchesTheDirectDrawing() {
        QFETCH(QFont, font);
        QFETCH(QSize, size);
        PanelFixture f;
        AddVariedContacts(f);
        f.panel.Register();
        f.panel.SelectIndex(2);
        f.panel.Measure(QRect(QPoint(0, 0), size), font);
        QVERIFY(f.panel.rows() > 0);
        QVERIFY2(f.panel.CellRect(f.panel.rows()).left() > 0, "the second column is used");

        // The first paint draws each name with drawText, the second lays the names out
        // and draws them from their layouts, as do the later ones.
        const QImage expected = f.PaintReference(size, font);
        for (int paint = 0; paint < 3; ++paint) COMPARE_PIXELS(f.PaintPanel(size, font), expected);
        QVERIFY(f.penKept);
    }

    // A contact renamed, gone offline or given a conversation is drawn anew.
    void changedContactsAreDrawnAnew() {
        PanelFixture f;
        AddVariedContacts(f);
        f.panel.Register();
        const QSize size(480, 190);
        const QFont font = ApplicationFont();
        f.PaintPanel(size, font);
        COMPARE_PIXELS(f.PaintPanel(size, font), f.PaintReference(size, font));

        const ContactPtr first = f.panel.entries().front();
        first->Update([](ContactInfo& info) {
            info.name = u"Борис Анна";
            info.status = 1;
        });
        const ContactPtr last = f.panel.entries().back();
        last->Update([](ContactInfo& info) { info.SetConversationOpen(true); });
        f.model.state.Notify(ChangeCode::ContactChanged, first);
        f.model.state.Notify(ChangeCode::ContactChanged, last);
        const QImage expected = f.PaintReference(size, font);
        COMPARE_PIXELS(f.PaintPanel(size, font), expected);
        COMPARE_PIXELS(f.PaintPanel(size, font), expected);
    }

    // On a high-density device every name is clipped as before; the pixels match.
    void pageMatchesOnAScaledDevice() {
        PanelFixture f;
        AddVariedContacts(f);
        f.panel.Register();
        const QSize size(480, 190);
        f.panel.Measure(QRect(QPoint(0, 0), size), ApplicationFont());
        for (qreal ratio : {2.0, 1.5}) {
            const QImage expected = f.PaintReference(size, ApplicationFont(), ratio);
            COMPARE_PIXELS(f.PaintPanel(size, ApplicationFont(), ratio), expected);
            COMPARE_PIXELS(f.PaintPanel(size, ApplicationFont(), ratio), expected);
        }
    }

    // ---- The cache of laid-out lines on its own ----

    // Texts in rectangles of many heights and widths, some far too small, over a
    // gradient, on a pixmap and on an image, against drawText clipped to the same
    // rectangle.
    void linesMatchDrawText() {
        const QStringList texts = {QStringLiteral("Анна Борис 12"),
                                   QStringLiteral("jjj"),
                                   QStringLiteral("Ёлка Й"),
                                   QStringLiteral("gyp|"),
                                   QStringLiteral("   "),
                                   QStringLiteral("x"),
                                   QStringLiteral("A fairly long line of text that will not fit")};
        for (const bool onImage : {false, true}) {
            for (const int pixelSize : {9, 13, 16}) {
                QFont font(QStringLiteral("Arial"));
                font.setPixelSize(pixelSize);
                LineTextCache cache;
                const QSize canvas(320, 2 * pixelSize + 20);
                auto paint = [&](const std::function<void(QPainter&)>& draw) {
                    QPixmap pixmap = Canvas(canvas);
                    QImage image = pixmap.toImage();
                    {
                        QPainter painter;
                        if (onImage) {
                            painter.begin(&image);
                        } else {
                            painter.begin(&pixmap);
                        }
                        painter.setFont(font);
                        painter.setPen(Qt::white);
                        draw(painter);
                    }
                    return onImage ? image : pixmap.toImage();
                };
                for (const int height :
                     {pixelSize - 4, pixelSize, pixelSize + 1, pixelSize + 3, 2 * pixelSize}) {
                    for (const int width : {3, 40, 300}) {
                        for (const QString& text : texts) {
                            const QRect rect(7, 9, width, height);
                            const QImage expected = paint([&](QPainter& painter) {
                                painter.setClipRect(rect, Qt::IntersectClip);
                                painter.drawText(rect, kLineFlags, text);
                            });
                            // The second draw is the first from the kept layout.
                            paint([&](QPainter& painter) { cache.Draw(painter, rect, text); });
                            const QImage actual =
                                paint([&](QPainter& painter) { cache.Draw(painter, rect, text); });
                            const QString where = QStringLiteral("'%1' in %2 x %3 at %4 px: ")
                                                      .arg(text)
                                                      .arg(width)
                                                      .arg(height)
                                                      .arg(pixelSize);
                            QVERIFY2(actual == expected,
                                     qPrintable(where + Difference(actual, expected)));
                        }
                    }
                }
            }
        }
    }

    // Texts and painters the kept layouts cannot reproduce go through drawText, so
    // they too match it.
    void specialCasesMatchDrawText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("setup");
        QTest::addRow("tab") << QStringLiteral("a\tb") << int(kPlain);
        QTest::addRow("line feed") << QStringLiteral("one\ntwo") << int(kPlain);
        QTest::addRow("carriage return") << QStringLiteral("one\r\ntwo") << int(kPlain);
        QTest::addRow("line separator") << QStringLiteral("one\u2028two") << int(kPlain);
        QTest::addRow("length variants")
            << QStringLiteral("long variant\u009cshort") << int(kPlain);
        QTest::addRow("underline") << QStringLiteral("Анна") << int(kUnderline);
        QTest::addRow("strike-out") << QStringLiteral("Анна") << int(kStrikeOut);
        QTest::addRow("right to left") << QStringLiteral("Анна abc") << int(kRightToLeft);
        QTest::addRow("scaled") << QStringLiteral("Анна abc") << int(kScaled);
        QTest::addRow("translated") << QStringLiteral("Анна abc") << int(kTranslated);
        QTest::addRow("shifted by whole pixels") << QStringLiteral("jjj abc") << int(kShifted);
        QTest::addRow("hebrew first") << QStringLiteral("שלום abc") << int(kPlain);
    }
    void specialCasesMatchDrawText() {
        QFETCH(QString, text);
        QFETCH(int, setup);
        auto prepare = [setup](QPainter& painter) {
            QFont font = ApplicationFont();
            font.setUnderline(setup == kUnderline);
            font.setStrikeOut(setup == kStrikeOut);
            painter.setFont(font);
            painter.setPen(Qt::white);
            if (setup == kRightToLeft) painter.setLayoutDirection(Qt::RightToLeft);
            if (setup == kScaled) painter.scale(1.5, 1.5);
            if (setup == kTranslated) painter.translate(3.5, 2.25);
            if (setup == kShifted) painter.translate(3, -2);
        };
        const QRect rect(10, 10, 120, 17);
        LineTextCache cache;
        QPixmap expected = Canvas(QSize(240, 60));
        {
            QPainter painter(&expected);
            prepare(painter);
            painter.setClipRect(rect, Qt::IntersectClip);
            painter.drawText(rect, kLineFlags, text);
        }
        for (int round = 0; round < 2; ++round) {
            QPixmap actual = Canvas(QSize(240, 60));
            {
                QPainter painter(&actual);
                prepare(painter);
                cache.Draw(painter, rect, text);
            }
            COMPARE_PIXELS(actual.toImage(), expected.toImage());
        }
    }

    // A text is drawn with drawText on its first draw and laid out on its second,
    // once while every paint draws it; a paint that no longer draws it lets it go;
    // another font or rectangle size starts everything anew.
    void keepsWhatOnePaintDraws() {
        LineTextCache cache;
        QPixmap canvas = Canvas(QSize(200, 100));
        QPainter painter(&canvas);
        painter.setFont(ApplicationFont());
        const QRect rect(0, 0, 150, 17);
        auto paint = [&](const QStringList& texts) {
            for (const QString& text : texts) cache.Draw(painter, rect, text);
            cache.EndPaint();
        };
        paint({"a", "b", "c"});
        QCOMPARE(cache.layoutCount(), 0);
        QCOMPARE(cache.size(), 3);
        paint({"a", "b", "c"});
        QCOMPARE(cache.layoutCount(), 3);
        paint({"c", "a"});
        paint({"c", "a"});
        QCOMPARE(cache.layoutCount(), 3);
        QCOMPARE(cache.size(), 2);  // "b" was not drawn
        paint({"b"});
        paint({"b"});
        QCOMPARE(cache.layoutCount(), 4);
        QCOMPARE(cache.size(), 1);
        cache.Draw(painter, rect, QString());  // nothing to draw, nothing kept
        QCOMPARE(cache.size(), 1);

        QFont larger = ApplicationFont();
        larger.setPointSize(14);
        painter.setFont(larger);
        paint({"b"});
        paint({"b"});
        QCOMPARE(cache.layoutCount(), 5);
        cache.Draw(painter, rect.adjusted(0, 0, 0, 3), "b");
        cache.Draw(painter, rect.adjusted(0, 0, 0, 3), "b");
        cache.EndPaint();
        QCOMPARE(cache.layoutCount(), 6);
        // Texts drawn through drawText are not kept.
        paint({"tab\there"});
        paint({"tab\there"});
        QCOMPARE(cache.size(), 0);
        QCOMPARE(cache.layoutCount(), 6);
    }
};

QTEST_MAIN(ContactCellsTest)
#include "contact_cells_test.moc"
