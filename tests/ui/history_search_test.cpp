#include "ui/history_search.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include "tests/ui/application_test_support.h"
#include "tests/ui/view_test_support.h"
#include "ui/history_search_view.h"
#include "ui/message_view.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::apptest;
using pellox::test::FindBox;

namespace {

using Matches = std::vector<TextMatch>;

// An unbound history holding `texts` as incoming entries, oldest first.
void Fill(MessageHistory& history, const std::vector<std::u16string>& texts) {
    std::int64_t time = 1700000000;
    for (const std::u16string& text : texts)
        history.Append(MessageEntry{text, time++, MessageDirection::In});
}

std::vector<ConversationSearch::Hit> Hits(std::initializer_list<std::pair<std::size_t, int>> hits) {
    std::vector<ConversationSearch::Hit> result;
    for (const auto& [entry, ordinal] : hits) result.push_back({entry, ordinal});
    return result;
}

// Writes entries with the given texts and times into a contact's history file.
void WriteHistory(const std::string& directory, const std::u16string& uin,
                  const std::vector<MessageEntry>& entries) {
    MessageHistory history(directory);
    QVERIFY(history.Load(HistoryFileName(uin)));
    for (const MessageEntry& entry : entries) history.Append(entry);
}

Seed TwoContacts() {
    Seed seed;
    seed.contacts = {Template(u"100002", u"Борис"), Template(u"100003", u"Эхо")};
    return seed;
}

// Starts the application on the data directory of `h`, opens the search over every
// conversation and searches for `query` at once (Enter); the view, once the search
// is done (or has run for 10 s).
CHistorySearchView* SearchFor(AppHarness& h, const QString& query) {
    h.Make();
    h.app->Start();
    h.frame().resize(480, 640);
    h.frame().RouteCommand(cmd::kSearchHistory);
    auto* view = qobject_cast<CHistorySearchView*>(h.frame().activeView());
    if (view == nullptr) return nullptr;
    view->searchLine()->setText(query);
    QTest::keyClick(view->searchLine(), Qt::Key_Return);
    (void)QTest::qWaitFor([view] { return !view->searching(); }, 10000);
    return view;
}

}  // namespace

Q_DECLARE_METATYPE(Matches)

class HistorySearchTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    // ---- Matching ----

    void matchesIgnoreCaseInEveryScript_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("text");
        QTest::addColumn<Matches>("expected");
        QTest::newRow("cyrillic") << "ПрИвЕт"
                                  << "привет, ПРИВЕТ!" << Matches{{0, 6}, {8, 6}};
        QTest::newRow("latin") << "hello"
                               << "Say HELLO, hello" << Matches{{4, 5}, {11, 5}};
        QTest::newRow("ё is not е") << "ёж"
                                    << "ЁЖ еж" << Matches{{0, 2}};
        QTest::newRow("emoji") << "😀"
                               << "a😀b😀" << Matches{{1, 2}, {4, 2}};
        // Deseret capital and small letters lie outside the basic plane.
        QTest::newRow("folding outside the basic plane")
            << QString::fromUcs4(U"\U00010400x") << QString::fromUcs4(U"\U00010428X")
            << Matches{{0, 3}};
        // Long texts go eight units at a time up to a unit that folds to the query's
        // first: matches across a block's edge, in the tail, and by a letter that
        // only folds to it.
        QTest::newRow("across blocks") << "привет"
                                       << "1234567привет 890 ПРИВЕТ" << Matches{{7, 6}, {18, 6}};
        QTest::newRow("kelvin sign") << "k" << QString::fromUtf16(u"0123456789\u212Ak abcdefK")
                                     << Matches{{10, 1}, {11, 1}, {19, 1}};
        QTest::newRow("not overlapping") << "аа"
                                         << "ааааа" << Matches{{0, 2}, {2, 2}};
        QTest::newRow("line breaks of the query dropped") << "при\r\nвет"
                                                          << "привет" << Matches{{0, 6}};
        QTest::newRow("nothing across a line break") << "a b"
                                                     << "a\r\nb" << Matches{};
        QTest::newRow("empty query") << ""
                                     << "anything" << Matches{};
        // Half a pair never matches, nor does a letter that a combining mark
        // belongs to.
        QTest::newRow("half a surrogate pair") << QString(QChar(0xD83D)) << "😀" << Matches{};
        QTest::newRow("base of a combined letter") << "е"
                                                   << "е\u0308 е" << Matches{{3, 1}};
    }
    void matchesIgnoreCaseInEveryScript() {
        QFETCH(QString, query);
        QFETCH(QString, text);
        QFETCH(Matches, expected);
        const TextMatcher matcher(query.toStdU16String());
        QCOMPARE(matcher.FindAll(text.toStdU16String()), expected);
        QCOMPARE(matcher.Count(text.toStdU16String()), int(expected.size()));
    }

    void snippetsCutAroundTheMatch() {
        TextMatch in;
        // The match keeps a little of what comes before it; the rest follows, on one
        // line, with an ellipsis where text was left out.
        const std::u16string text =
            u"первая строка\r\nвторая, где нужное слово стоит посередине длинной строки";
        const auto at = static_cast<int>(text.find(u"нужное"));
        const QString snippet = Snippet(text, TextMatch{at, 6}, 30, in);
        QVERIFY2(snippet.startsWith(QChar(0x2026)) && snippet.endsWith(QChar(0x2026)),
                 qPrintable(snippet));
        QCOMPARE(snippet.mid(in.start, in.length), QStringLiteral("нужное"));
        QCOMPARE(snippet.size(), 32);

        // Short text: all of it, line breaks as spaces, no ellipsis.
        QCOMPARE(Snippet(u"да\r\nнет", TextMatch{4, 3}, 30, in), QStringLiteral("да  нет"));
        QCOMPARE(in, (TextMatch{4, 3}));

        // A cut never halves a surrogate pair: the pair at the edge goes whole.
        const std::u16string emoji = u"😀😀😀😀😀x😀😀😀😀😀";
        const QString cut = Snippet(emoji, TextMatch{10, 1}, 6, in);
        QCOMPARE(cut.mid(in.start, in.length), QStringLiteral("x"));
        for (int i = 0; i < cut.size(); ++i) {
            if (cut[i].isHighSurrogate())
                QVERIFY(i + 1 < cut.size() && cut[i + 1].isLowSurrogate());
            if (cut[i].isLowSurrogate()) QVERIFY(i > 0 && cut[i - 1].isHighSurrogate());
        }
    }

    // ---- One conversation ----

    void matchesGoNewestFirstAndWrapAround() {
        MessageHistory history("");
        Fill(history, {u"Привет раз, привет два", u"ничего", u"ПРИВЕТ три"});
        ConversationSearch search;
        search.SetQuery(u"привет");
        search.Update(history);
        // The view shows the newest entry first, and an entry in reading order.
        QCOMPARE(search.hits(), Hits({{2, 0}, {0, 0}, {0, 1}}));
        QCOMPARE(search.currentIndex(), 0);

        search.Next();
        search.Next();
        QCOMPARE(search.Current(), std::optional(ConversationSearch::Hit{0, 1}));
        search.Next();  // past the oldest: the newest again
        QCOMPARE(search.currentIndex(), 0);
        search.Previous();  // before the newest: the oldest
        QCOMPARE(search.currentIndex(), 2);

        // A new entry with a match comes first; the current match stays where it was.
        history.Append(MessageEntry{u"и снова привет", 1800000000, MessageDirection::Out});
        search.Update(history);
        QCOMPARE(search.count(), 4);
        QCOMPARE(search.Current(), std::optional(ConversationSearch::Hit{0, 1}));

        QVERIFY(search.SelectEntry(2));
        QCOMPARE(search.Current(), std::optional(ConversationSearch::Hit{2, 0}));
        QVERIFY(!search.SelectEntry(1));

        // No match: nothing current, and moving does nothing.
        search.SetQuery(u"пока");
        search.Update(history);
        search.Next();
        QCOMPARE(search.currentIndex(), -1);
        QVERIFY(!search.Current().has_value());
    }

    void anEntryIsFoundAgainWhereverItMoved() {
        MessageHistory history("");
        Fill(history, {u"один", u"два", u"три"});
        const MessageEntry two{u"два", 1700000001, MessageDirection::In};
        QCOMPARE(FindEntry(history, 1, two), std::optional<std::size_t>(1));
        // Taken back at the front: the index no longer holds it.
        QCOMPARE(FindEntry(history, 2, two), std::optional<std::size_t>(1));
        QVERIFY(!FindEntry(history, 1, MessageEntry{u"два", 5, MessageDirection::In}).has_value());
    }

    // ---- Every conversation ----

    void everyConversationIsSearchedWithoutTouchingItsFile() {
        AppHarness h;
        Seed seed;
        seed.contacts = {Template(u"100002", u"Борис"), Template(u"100003", u"Эхо"),
                         Template(u"100004", u"Marta")};
        h.Write(seed);
        WriteHistory(h.path(), u"100002",
                     {{u"Привет, Марта передаёт привет", 1700000100, MessageDirection::In},
                      {u"пока", 1700000200, MessageDirection::Out}});
        WriteHistory(h.path(), u"100003",
                     {{u"эхо: ПРИВЕТ", 1700000300, MessageDirection::In},
                      {u"привет", 1700000050, MessageDirection::Out}});
        WriteHistory(h.path(), u"100004", {{u"hello", 1700000400, MessageDirection::In}});
        const QByteArray before2 = h.read("msg_100002.txt");
        const QByteArray before3 = h.read("msg_100003.txt");
        h.Make();
        h.app->Start();

        QVERIFY(h.frame().RouteCommand(cmd::kSearchHistory));
        auto* view = qobject_cast<CHistorySearchView*>(h.frame().activeView());
        QVERIFY(view != nullptr);
        QCOMPARE(h.frame().menuBarId(), menubar::kHistorySearch);
        // The search starts a pause after typing.
        view->searchLine()->setText(QStringLiteral("привет"));
        QTRY_VERIFY(!view->hits().empty() && !view->searching());

        // Newest first across the conversations; an entry once however often it
        // matches, its snippet around the first match.
        QStringList listed;
        for (const HistoryHit& hit : view->hits()) {
            listed << QString::fromStdU16String(hit.name) + ": " +
                          QString::fromStdU16String(hit.message.text);
        }
        QCOMPARE(listed, (QStringList{"Эхо: эхо: ПРИВЕТ", "Борис: Привет, Марта передаёт привет",
                                      "Эхо: привет"}));
        QCOMPARE(view->found(), 3);
        QCOMPARE(view->StatusText(), QStringLiteral("Найдено: 3"));
        const HistoryHit& first = view->hits()[0];
        QCOMPARE(first.snippet.mid(first.inSnippet.start, first.inSnippet.length),
                 QStringLiteral("ПРИВЕТ"));
        QCOMPARE(view->selected(), 0);

        // The files were read, not written, and no history was kept for a
        // conversation that is not open.
        QCOMPARE(h.read("msg_100002.txt"), before2);
        QCOMPARE(h.read("msg_100003.txt"), before3);
        const ContactPtr current = h.state->CurrentContact();
        for (const ContactPtr& contact : h.state->Contacts()) {
            if (contact != current) QVERIFY(contact->History() == nullptr);
        }

        // Nothing to find says so.
        view->searchLine()->setText(QStringLiteral("нет такого"));
        QTest::keyClick(view->searchLine(), Qt::Key_Return);
        QTRY_VERIFY(!view->searching());
        QVERIFY(view->hits().empty());
        QCOMPARE(view->StatusText(), QStringLiteral("Ничего не найдено"));
    }

    void theNewestHitsAreListedDrawnAndChosen() {
        AppHarness h;
        h.Write(TwoContacts());
        std::vector<MessageEntry> entries;
        for (int i = 0; i < 600; ++i)
            entries.push_back({u"ответ " + QString::number(i).toStdU16String(), 1700000000 + i,
                               MessageDirection::In});
        WriteHistory(h.path(), u"100002", entries);
        WriteHistory(h.path(), u"100003",
                     {{u"последний ответ", 1800000000, MessageDirection::Out}});
        CHistorySearchView* view = SearchFor(h, QStringLiteral("Ответ"));
        QVERIFY(view != nullptr && !view->searching());

        // The newest of them, however the conversations came in.
        QCOMPARE(view->found(), 601);
        QCOMPARE(int(view->hits().size()), int(CHistorySearchView::kMaxListedHits));
        QCOMPARE(view->StatusText(), QStringLiteral("Найдено: 601, показаны последние 500"));
        QCOMPARE(view->hits().front().message.text, std::u16string(u"последний ответ"));
        QCOMPARE(view->hits().back().message.text, std::u16string(u"ответ 101"));

        // Drawn: each hit's band, its match highlighted, the chosen one on the
        // selection's light top row.
        const QImage image = view->grab().toImage();
        const QRect list = view->CurrentLayout().list;
        QVERIFY(FindBox(image, list, HistoryPanel::kMatchBackground).x() >= 0);
        const QRect first = view->HitRect(0);
        QCOMPARE(QColor(image.pixel(2, first.top())), HistoryPanel::kHeaderBandTop);
        QVERIFY(test::CountColour(image, QRect(0, first.top(), list.width(), first.height()),
                                  shade::kLight) > list.width() / 2);

        // Chosen from the keyboard, scrolled along, within the list's ends.
        QCOMPARE(view->selected(), 0);
        QTest::keyClick(view->searchLine(), Qt::Key_Up);
        QCOMPARE(view->selected(), 0);
        QTest::keyClick(view->searchLine(), Qt::Key_Down);
        QCOMPARE(view->selected(), 1);
        for (int i = 0; i < 60; ++i) QTest::keyClick(view->searchLine(), Qt::Key_PageDown);
        QCOMPARE(view->selected(), 499);
        QVERIFY(list.contains(view->HitRect(499)));
        QCOMPARE(view->HitAt(view->HitRect(498).center()), 498);

        // A tap opens the hit tapped.
        QTest::mouseClick(view, Qt::LeftButton, {}, view->HitRect(498).center());
        QCOMPARE(h.frame().activeViewKind(), std::optional<ViewKind>(ViewKind::Message));
        QCOMPARE(h.state->CurrentContact(), h.state->FindContact(u"100002"));
        auto* conversation = qobject_cast<CMessageView*>(h.frame().activeView());
        QTRY_VERIFY(conversation->search().count() == 600);
        QCOMPARE(conversation->search().Current(), std::optional(ConversationSearch::Hit{102, 0}));
    }

    void aReplacedSearchDeliversNothing() {
        formtest::DataDir dir;
        std::vector<ProfileSearch::Source> sources;
        for (int f = 0; f < 8; ++f) {
            const std::u16string uin = u"30" + QString::number(f).toStdU16String();
            std::vector<MessageEntry> entries;
            for (int i = 0; i < 500; ++i)
                entries.push_back({u"старое и новое", 1700000000 + i, MessageDirection::In});
            WriteHistory(dir.path(), uin, entries);
            sources.push_back({uin, uin, nullptr});
        }
        ProfileSearch search(dir.path(), 10);
        int oldFound = 0;
        int newFound = 0;
        bool done = false;
        search.Start(
            sources, u"старое", [&](std::vector<HistoryHit>, int) { ++oldFound; },
            [&] { QFAIL("the replaced search finished"); });
        // Replaced at once, while the first runs: only the second one is heard from.
        search.Start(
            sources, u"НОВОЕ",
            [&](std::vector<HistoryHit> hits, int matched) {
                QCOMPARE(int(hits.size()), 10);  // the limit
                QCOMPARE(matched, 500);
                ++newFound;
            },
            [&] { done = true; });
        QTRY_VERIFY(done);
        QCOMPARE(newFound, 8);
        QCOMPARE(oldFound, 0);
        QVERIFY(!search.running());

        // Destroyed while it runs: it stops, and nothing arrives afterwards.
        auto running = std::make_unique<ProfileSearch>(dir.path(), 10);
        running->Start(
            sources, u"новое", [&](std::vector<HistoryHit>, int) { ++oldFound; }, [] {});
        running.reset();
        QTest::qWait(50);
        QCOMPARE(oldFound, 0);
    }

    void openingAHitShowsItsEntry() {
        AppHarness h;
        h.Write(TwoContacts());
        // A long conversation whose match lies far below the newest entries.
        std::vector<MessageEntry> entries;
        for (int i = 0; i < 200; ++i) {
            entries.push_back({u"строка номер " + QString::number(i).toStdU16String(),
                               1700000000 + i,
                               i % 2 == 0 ? MessageDirection::In : MessageDirection::Out});
        }
        entries[20].text = u"вот где искомое слово";
        WriteHistory(h.path(), u"100003", entries);
        CHistorySearchView* view = SearchFor(h, QStringLiteral("ИСКОМОЕ"));
        QVERIFY(view != nullptr && !view->searching());
        QCOMPARE(int(view->hits().size()), 1);
        // The file is read entry by entry into one reused entry: the hit holds its
        // own text and index, nothing of the entries read before it.
        QCOMPARE(view->hits().front().message.text, std::u16string(u"вот где искомое слово"));
        QCOMPARE(view->hits().front().entry, std::size_t{20});
        QTest::keyClick(view->searchLine(), Qt::Key_Return);  // opens the chosen hit

        // The conversation of that contact, the search line holding the query, the
        // entry's match current and on screen.
        QCOMPARE(h.frame().activeViewKind(), std::optional<ViewKind>(ViewKind::Message));
        auto* conversation = qobject_cast<CMessageView*>(h.frame().activeView());
        QCOMPARE(h.state->CurrentContact(), h.state->FindContact(u"100003"));
        QTRY_VERIFY(conversation->search().count() == 1);
        QVERIFY(conversation->searchOpen());
        QCOMPARE(conversation->searchLine()->text(), QStringLiteral("ИСКОМОЕ"));
        QCOMPARE(conversation->search().Current(), std::optional(ConversationSearch::Hit{20, 0}));
        QCOMPARE(conversation->SearchCountText(), QStringLiteral("1 из 1"));

        const QImage image = conversation->grab().toImage();
        const QRect area = conversation->CurrentLayout().history;
        const QPoint mark = FindBox(image, area, HistoryPanel::kCurrentMatchBackground);
        QVERIFY2(mark.x() >= 0, "the current match is not on screen");
        const std::optional<MessageEntry> shown = conversation->historyPanel().EntryAt(area, mark);
        QVERIFY(shown.has_value());
        QCOMPARE(shown->text, std::u16string(u"вот где искомое слово"));
    }
};

QTEST_MAIN(HistorySearchTest)
#include "history_search_test.moc"
