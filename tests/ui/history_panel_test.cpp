#include "ui/history_panel.h"

#include <QApplication>
#include <QPainter>
#include <QTest>
#include <QWidget>
#include <ctime>

#include "platform/local_time.h"
#include "tests/ui/view_test_support.h"
#include "ui/clock_panel.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::test;

namespace {

const QColor kSentinel(1, 2, 3);
const QColor kSkyBlue(98, 201, 236);
const QColor kSteelBlue(75, 158, 186);
constexpr std::time_t kFixedNow = 1700000000;

std::time_t FixedClock() {
    return kFixedNow;
}

// Paints the panel into an image of `size` that starts out in the sentinel colour.
QImage Render(HistoryPanel& panel, const QRect& rect, QSize size = QSize(240, 320)) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(kSentinel);
    QPainter painter(&image);
    panel.Paint(painter, rect);
    return image;
}

bool Untouched(const QImage& image, const QRect& area) {
    return CountColour(image, area, kSentinel) == area.intersected(image.rect()).width() *
                                                      area.intersected(image.rect()).height();
}

bool RowIs(const QImage& image, int y, int left, int right, const QColor& colour) {
    for (int x = left; x <= right; ++x) {
        if (PixelAt(image, x, y) != colour) return false;
    }
    return true;
}

// Anti-aliased text on the sentinel background keeps the pen colour's proportions.
int CountGrey(const QImage& image, const QRect& area, int minimum) {
    return CountPixels(image, area, [minimum](const QColor& c) {
        return c.red() >= minimum && std::abs(c.red() - c.green()) <= 2 &&
               std::abs(c.green() - c.blue()) <= 2;
    });
}

MessageEntry Entry(std::u16string text, MessageDirection direction, std::int64_t time) {
    return MessageEntry{std::move(text), time, direction};
}

// A contact of the model with the given entries in its (loaded) history.
ContactPtr WithHistory(TempModel& model, std::u16string uin,
                       const std::vector<MessageEntry>& entries) {
    ContactPtr contact = model.Add(Info(u"", std::move(uin)));
    auto history = model.state.GetHistory(contact);
    for (const MessageEntry& entry : entries) history->Append(entry);
    return contact;
}

std::vector<MessageEntry> ManyEntries(int count) {
    std::vector<MessageEntry> entries;
    for (int i = 0; i < count; ++i) {
        entries.push_back(Entry(u"Сообщение номер " + QString::number(i).toStdU16String(),
                                i % 2 == 0 ? MessageDirection::In : MessageDirection::Out,
                                kFixedNow - 1000 + i));
    }
    return entries;
}

// Counts its paint events.
class PaintCounter : public QWidget {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent*) override { ++paints; }
};

}  // namespace

class HistoryPanelTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setFont(ApplicationFont());
        platform::SetClockForTesting(&FixedClock);
    }
    void cleanupTestCase() { platform::SetClockForTesting(nullptr); }

    // ---- Clock ----

    void trafficText_data() {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("sent");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing yet") << qint64(0) << qint64(0) << "0.0:0.0";
        QTest::newRow("kilobytes, one decimal") << qint64(1536) << qint64(307) << "1.5:0.3";
        QTest::newRow("received first") << qint64(0) << qint64(2048) << "0.0:2.0";
        QTest::newRow("large") << qint64(10LL * 1024 * 1024) << qint64(51) << "10240.0:0.0";
    }
    void trafficText() {
        QFETCH(qint64, received);
        QFETCH(qint64, sent);
        QFETCH(QString, expected);
        QCOMPARE(TrafficText(received, sent), expected);
    }

    void localTimeFormats() {
        const QByteArray oldZone = qgetenv("TZ");
        qputenv("TZ", "UTC0");
        tzset();
        // Every field strftime may use is filled in, the weekday included.
        QCOMPARE(FormatLocalTime(0, "%Y-%m-%d %H:%M:%S %a %j"),
                 QStringLiteral("1970-01-01 00:00:00 Thu 001"));
        QCOMPARE(FormatLocalTime(kFixedNow, "[%X] "), QStringLiteral("[22:13:20] "));
        qputenv("TZ", "XST-3");  // three hours east of UTC
        tzset();
        QCOMPARE(FormatLocalTime(kFixedNow, "%d.%m.%Y %H:%M %A"),
                 QStringLiteral("15.11.2023 01:13 Wednesday"));
        if (oldZone.isNull()) {
            qunsetenv("TZ");
        } else {
            qputenv("TZ", oldZone);
        }
        tzset();
    }

    void clockPanelShowsTimeAndTraffic() {
        std::int64_t received = 0;
        ClockPanel clock(SessionProbe{nullptr, [&received] { return received; }, nullptr, nullptr});
        QFont font(QStringLiteral("Arial"));
        font.setPointSizeF(7.5);
        auto render = [&] {
            QImage image(80, 90, QImage::Format_RGB32);
            image.fill(kSentinel);
            QPainter painter(&image);
            clock.Paint(painter, QRect(0, 0, 80, 90), font);
            return image;
        };
        const QImage before = render();
        for (int y = 0; y < 90; ++y) QCOMPARE(PixelAt(before, 0, y), kSkyBlue);
        const QRect top(1, 0, 79, 35), bottom(1, 60, 79, 30);
        QVERIFY(CountGrey(before, top, 200) > 10);     // date and time in white
        QVERIFY(CountGrey(before, bottom, 200) > 5);   // traffic in white
        // Only the traffic figures change with the counters.
        received = 5 * 1024 * 1024;
        const QImage after = render();
        QCOMPARE(after.copy(top), before.copy(top));
        QVERIFY(after.copy(bottom) != before.copy(bottom));
        QCOMPARE(clock.probe().Sent(), 0);  // an unset counter reads 0
    }

    // ---- What is shown when there is nothing to show ----

    void noticesWithoutEntries() {
        TempModel model;
        HistoryPanel panel(nullptr, model.state, HistoryPanel::Layout::Full);
        const QRect rect(0, 0, 240, 200);
        QVERIFY(Untouched(Render(panel, rect), rect));  // no current contact

        // Not loaded yet: the loading notice in white, at the top.
        ContactPtr contact = model.Add(Info(u"a", u"1"));
        model.state.SetCurrentContact(contact);
        QImage image = Render(panel, rect);
        QVERIFY(CountGrey(image, QRect(0, 0, 240, 20), 200) > 10);
        QVERIFY(Untouched(image, QRect(0, 20, 240, 180)));
        QVERIFY(Untouched(image, QRect(0, 0, 60, 20)));  // centred, not at the left

        // Loaded and empty: the empty notice in sky blue.
        model.state.GetHistory(contact);
        image = Render(panel, rect);
        const int blue = CountPixels(image, QRect(0, 0, 240, 20), [](const QColor& c) {
            return c != kSentinel && c.blue() > c.green() && c.green() > c.red();
        });
        QVERIFY(blue > 10);
        QCOMPARE(blue, 240 * 20 - CountColour(image, QRect(0, 0, 240, 20), kSentinel));
        QVERIFY(Untouched(image, QRect(0, 20, 240, 180)));

        // Under the contact list, on the blue panel box: white, clear of its edge.
        HistoryPanel compact(nullptr, model.state, HistoryPanel::Layout::Compact);
        image = Render(compact, rect);
        const auto light = [](const QColor& c) { return c.red() > 160; };  // not a blue
        QVERIFY(CountPixels(image, QRect(0, 0, 192, 20), light) > 10);
        QCOMPARE(CountPixels(image, QRect(0, 0, 192, 3), light), 0);

        // An empty rectangle paints nothing at all.
        QImage untouched = Render(panel, QRect());
        QVERIFY(Untouched(untouched, untouched.rect()));
    }

    // ---- Scrolling (full layout) ----

    void scrollOffsetRules() {
        TempModel model;
        ContactPtr a = WithHistory(model, u"1", ManyEntries(3));
        ContactPtr b = WithHistory(model, u"2", ManyEntries(3));
        HistoryPanel panel(nullptr, model.state, HistoryPanel::Layout::Full);
        HistoryPanel other(nullptr, model.state, HistoryPanel::Layout::Full);
        const QRect rect(0, 0, 240, 300);
        model.state.SetCurrentContact(a);

        panel.SetScrollOffset(2);
        Render(panel, rect);
        QCOMPARE(panel.scrollOffset(), 0);  // a contact this panel had not drawn
        panel.SetScrollOffset(2);
        Render(panel, rect);
        QCOMPARE(panel.scrollOffset(), 2);  // the same contact keeps its place
        panel.Scroll(-3);
        QCOMPARE(panel.scrollOffset(), -1);
        Render(panel, rect);
        QCOMPARE(panel.scrollOffset(), 0);  // never below 0 once painted
        panel.Scroll(40);
        Render(panel, rect);
        QCOMPARE(panel.scrollOffset(), 40);  // no upper bound

        model.state.SetCurrentContact(b);
        Render(panel, rect);
        QCOMPARE(panel.scrollOffset(), 0);

        // Another panel drawing another contact in between also starts it afresh.
        panel.SetScrollOffset(3);
        Render(panel, rect);
        QCOMPARE(panel.scrollOffset(), 3);
        model.state.SetCurrentContact(a);
        Render(other, rect);
        model.state.SetCurrentContact(b);
        Render(panel, rect);
        QCOMPARE(panel.scrollOffset(), 0);
    }

    void scrollStepMovesByFiveMargins() {
        TempModel model;
        model.state.SetCurrentContact(WithHistory(model, u"1", ManyEntries(40)));
        HistoryPanel panel(nullptr, model.state, HistoryPanel::Layout::Full);
        const QRect rect(0, 0, 200, 300);
        const int my = 300 * 4 / 100;
        const int step = 5 * my;
        const int entriesBottom = 300 - my;
        const QImage top = Render(panel, rect, QSize(200, 300));
        panel.SetScrollOffset(1);
        const QImage scrolled = Render(panel, rect, QSize(200, 300));
        QCOMPARE(panel.scrollOffset(), 1);
        for (int y = 0; y + step < entriesBottom; ++y) {
            QVERIFY2(scrolled.copy(0, y, 200, 1) == top.copy(0, y + step, 200, 1),
                     qPrintable(QStringLiteral("row %1").arg(y)));
        }
        // Drawing stops at the entries area's bottom, raised by one margin.
        QVERIFY(!Untouched(top, QRect(0, entriesBottom - 5, 200, 5)));
        QVERIFY(Untouched(top, QRect(0, entriesBottom, 200, my)));

        // Past the oldest entry only the background is left.
        panel.SetScrollOffset(1000);
        const QImage past = Render(panel, rect, QSize(200, 300));
        QVERIFY(Untouched(past, past.rect()));
    }

    // A long history is copied in pieces from the newest end. Every entry here is one
    // line high, so scrolled content is the newest-first sequence shifted by whole
    // entries: the panel scrolled by s steps must show, row for row, what it shows
    // unscrolled once the k newest drawn entries are gone (k = whole entries scrolled
    // past), shifted by the rest. A skipped, repeated or reordered entry anywhere in
    // the walk (chunk edges, system entries among them) breaks the match.
    void longHistoryScrolledFarMatchesItsOlderPart() {
        const int count = 3000;
        std::vector<MessageEntry> entries = ManyEntries(count);
        for (int i = 0; i < count; ++i) {
            // System entries scattered, and at the newest end and around its first
            // piece's edges.
            const int fromNewest = count - 1 - i;
            if (i % 7 == 3 || fromNewest == 0 || (fromNewest >= 30 && fromNewest <= 34)) {
                entries[static_cast<std::size_t>(i)].direction = MessageDirection::System;
            }
        }
        TempModel model;
        ContactPtr whole = WithHistory(model, u"1", entries);
        HistoryPanel panel(nullptr, model.state, HistoryPanel::Layout::Full);
        const QRect rect(0, 0, 240, 300);
        const int mx = 240 * 4 / 100;
        const int my = 300 * 4 / 100;
        const int entriesBottom = 300 - my;
        const int entryHeight = QFontMetrics(panel.smallFont()).height() + mx / 2 +
                                QFontMetrics(panel.messageFont()).height() + mx / 4;

        // Unscrolled, only the newest entries count: the newest 40 show the same.
        model.state.SetCurrentContact(whole);
        const QImage top = Render(panel, rect);
        ContactPtr newest =
            WithHistory(model, u"2", std::vector<MessageEntry>(entries.end() - 40, entries.end()));
        model.state.SetCurrentContact(newest);
        QCOMPARE(Render(panel, rect), top);

        for (int steps : {3, 40, 700}) {
            const int scrolled = steps * 5 * my;
            const int skipped = scrolled / entryHeight;
            const int shift = scrolled - skipped * entryHeight;
            // The history without its `skipped` newest entries.
            const std::vector<MessageEntry> older(entries.begin(), entries.end() - skipped);
            QVERIFY(older.size() > 100);  // still longer than the panel shows

            model.state.SetCurrentContact(whole);
            Render(panel, rect);  // a new contact for the panel starts at the top
            panel.SetScrollOffset(steps);
            const QImage far = Render(panel, rect);
            QCOMPARE(panel.scrollOffset(), steps);
            model.state.SetCurrentContact(
                WithHistory(model, u"3" + QString::number(steps).toStdU16String(), older));
            const QImage expected = Render(panel, rect);
            for (int y = 0; y + shift < entriesBottom; ++y) {
                QVERIFY2(far.copy(0, y, 240, 1) == expected.copy(0, y + shift, 240, 1),
                         qPrintable(QStringLiteral("%1 steps, row %2").arg(steps).arg(y)));
            }
            QVERIFY(!Untouched(far, QRect(0, 0, 240, entriesBottom)));
        }
    }

    // ---- Entries ----

    // The conversation shows system entries; the compact history under the list
    // never does.
    void systemEntriesOnlyInTheConversation() {
        for (HistoryPanel::Layout layout : {HistoryPanel::Layout::Full, HistoryPanel::Layout::Compact}) {
            const bool full = layout == HistoryPanel::Layout::Full;
            TempModel model;
            const std::vector<MessageEntry> plain = {
                Entry(u"first", MessageDirection::In, kFixedNow - 300),
                Entry(u"second", MessageDirection::Out, kFixedNow - 200),
                Entry(u"third", MessageDirection::In, kFixedNow - 100)};
            std::vector<MessageEntry> mixed = {
                Entry(u"system oldest", MessageDirection::System, kFixedNow - 400), plain[0],
                Entry(u"system between", MessageDirection::System, kFixedNow - 250), plain[1],
                plain[2], Entry(u"system newest", MessageDirection::System, kFixedNow)};
            ContactPtr withoutSystem = WithHistory(model, u"1", plain);
            ContactPtr withSystem = WithHistory(model, u"2", mixed);
            ContactPtr onlySystem = WithHistory(
                model, u"3", {Entry(u"system", MessageDirection::System, kFixedNow)});
            HistoryPanel panel(nullptr, model.state, layout);
            const QRect rect(0, 0, 240, 200);

            model.state.SetCurrentContact(withoutSystem);
            const QImage expected = Render(panel, rect);
            model.state.SetCurrentContact(withSystem);
            QCOMPARE(Render(panel, rect) == expected, !full);

            // Only system entries: in the compact history nothing but what surrounds
            // the entries.
            model.state.SetCurrentContact(onlySystem);
            const QImage systemOnly = Render(panel, rect);
            model.state.SetCurrentContact(nullptr);
            QCOMPARE(systemOnly == Render(panel, rect), !full);
        }
    }

    void fullLayoutHeaderBandsAndColours() {
        TempModel model;
        model.state.SetCurrentContact(
            WithHistory(model, u"1",
                        {Entry(u"incoming text", MessageDirection::In, kFixedNow - 60),
                         Entry(u"outgoing text", MessageDirection::Out, kFixedNow)}));
        HistoryPanel panel(nullptr, model.state, HistoryPanel::Layout::Full);
        const QRect rect(0, 10, 240, 300);
        const QImage image = Render(panel, rect);
        const int mx = 240 * 4 / 100;
        const int bandHeight = QFontMetrics(panel.smallFont()).height() + mx / 2;

        // The newest entry's band: across the whole width, (102..51) top to bottom.
        QVERIFY(Untouched(image, QRect(0, 0, 240, 10)));
        QVERIFY(RowIs(image, 10, 0, 239, QColor(102, 102, 102)));
        QVERIFY(RowIs(image, 10 + bandHeight - 1, 0, 239, QColor(51, 51, 51)));
        const QRect band(0, 10, 240, bandHeight);
        QVERIFY(CountGrey(image, band, 150) > 10);  // the date and time in (200, 200, 200)
        QCOMPARE(CountGrey(image, band, 201), 0);

        // Below it the outgoing text in (255, 255, 150), not white.
        const int lineHeight = QFontMetrics(panel.messageFont()).height();
        const QRect outgoing(0, 10 + bandHeight, 240, lineHeight);
        QVERIFY(CountPixels(image, outgoing, [](const QColor& c) {
                    return c.red() > 200 && std::abs(c.red() - c.green()) <= 2 && c.blue() < c.red() * 3 / 4;
                }) > 10);
        QCOMPARE(CountGrey(image, outgoing, 200), 0);
        QVERIFY(Untouched(image, QRect(0, outgoing.top(), mx, lineHeight)));  // the margin

        // Then the older entry's band, and its text in white.
        const int secondBand = outgoing.top() + lineHeight + mx / 4;
        QVERIFY(RowIs(image, secondBand, 0, 239, QColor(102, 102, 102)));
        QVERIFY(CountGrey(image, QRect(0, secondBand + bandHeight, 240, lineHeight), 200) > 10);
    }

    // A word wider than the panel goes on in the next line instead of running past
    // the edge; other words still wrap whole.
    void aWordTooLongForALineIsBrokenWhereItMust() {
        TempModel model;
        const std::u16string word(60, u'W');
        model.state.SetCurrentContact(WithHistory(model, u"1", {Entry(word, MessageDirection::In, kFixedNow)}));
        HistoryPanel panel(nullptr, model.state, HistoryPanel::Layout::Full);
        const QRect rect(0, 0, 240, 300);
        const QImage image = Render(panel, rect);
        const int mx = 240 * 4 / 100;
        const int textTop = QFontMetrics(panel.smallFont()).height() + mx / 2;
        const int lineHeight = QFontMetrics(panel.messageFont()).height();
        const int lines = 60 * QFontMetrics(panel.messageFont()).horizontalAdvance(u'W') / (240 - 2 * mx) + 1;
        QVERIFY(lines >= 3);
        for (int line = 0; line < lines; ++line) {
            QVERIFY2(CountGrey(image, QRect(0, textTop + line * lineHeight, 240, lineHeight), 200) > 10,
                     qPrintable(QString::number(line)));
        }
        QVERIFY(Untouched(image, QRect(240 - mx + 1, textTop, mx - 1, lines * lineHeight)));  // the margin
    }

    void compactLayoutBoxSeparatorsAndClock() {
        TempModel model;
        model.state.SetCurrentContact(
            WithHistory(model, u"1",
                        {Entry(u"one", MessageDirection::In, kFixedNow - 30),
                         Entry(u"system", MessageDirection::System, kFixedNow - 20),
                         Entry(u"two", MessageDirection::Out, kFixedNow - 10),
                         Entry(u"three", MessageDirection::In, kFixedNow)}));
        HistoryPanel panel(nullptr, model.state, HistoryPanel::Layout::Compact);
        const QRect rect(0, 0, 300, 150);
        const QImage image = Render(panel, rect, QSize(300, 150));
        QCOMPARE(panel.lastRect(), rect);
        const int clockLeft = 300 - 300 * 20 / 100;
        const int t = 150 * 5 / 100;

        // The panel box under everything: sky blue at the top and bottom rows.
        QVERIFY(RowIs(image, 0, 0, 299, kSkyBlue));
        QVERIFY(RowIs(image, 149, 0, clockLeft - 1, kSkyBlue));
        QCOMPARE(PixelAt(image, clockLeft + 2, 75 - 5), kSteelBlue);
        for (int y = 0; y < 150; ++y) QCOMPARE(PixelAt(image, clockLeft, y), kSkyBlue);

        // One separator between each two drawn entries, across the entries' part only.
        QList<int> separators;
        for (int y = t; y < 150 - t; ++y) {
            if (RowIs(image, y, 0, clockLeft - 1, kSkyBlue)) separators << y;
        }
        QCOMPARE(separators.size(), 2);
        QCOMPARE(PixelAt(image, clockLeft + 2, separators[0]), kSteelBlue);
    }

    void conversationChangedRepaintsTheOwner() {
        TempModel model;
        PaintCounter owner;
        owner.resize(50, 50);
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner));
        HistoryPanel panel(&owner, model.state, HistoryPanel::Layout::Full);
        panel.Register();
        QCoreApplication::processEvents();
        const int before = owner.paints;
        model.state.Notify(ChangeCode::ContactChanged);
        model.state.Notify(ChangeCode::ConnectionStateChanged);
        QCoreApplication::processEvents();
        QCOMPARE(owner.paints, before);
        model.state.Notify(ChangeCode::ConversationChanged);
        QTRY_VERIFY(owner.paints > before);
    }
};

QTEST_MAIN(HistoryPanelTest)
#include "history_panel_test.moc"
