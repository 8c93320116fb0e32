#include "ui/message_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>
#include <memory>

#include "net/net_command.h"
#include "net/session_impl.h"
#include "platform/local_time.h"
#include "protocol/messages.h"
#include "protocol/messenger_session.h"
#include "resources/command_ids.h"
#include "store/message_history.h"
#include "tests/ui/form_test_support.h"
#include "tests/ui/view_test_support.h"
#include "ui/application.h"
#include "ui/contacts_view.h"
#include "ui/image_button.h"
#include "ui/message_box.h"
#include "ui/sound_player.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::test;
using formtest::ChangeRecorder;
using formtest::RecordingSession;

namespace {

constexpr std::time_t kFixedNow = 1700000000;
std::time_t FixedClock() {
    return kFixedNow;
}

// The application object's stand-in: records every command it is offered and
// carries out the few the conversation relies on, as the application does.
struct FakeApplication : CommandTarget {
    AppState& state;
    CMainFrame* frame = nullptr;
    std::vector<int> received;

    explicit FakeApplication(AppState& model) : state(model) {}

    bool OnCommand(int id) override {
        received.push_back(id);
        switch (id) {
            case cmd::kMessageSent: {
                // Marks the conversation open; with "sendclose" the list comes back.
                if (ContactPtr current = state.CurrentContact()) {
                    const bool opened = current->Update([](ContactInfo& info) {
                        if (info.conversationOpen()) return false;
                        info.SetConversationOpen(true);
                        return true;
                    });
                    if (opened) state.Notify(ChangeCode::ContactChanged, current);
                }
                if (state.GetSettings().sendclose) frame->SwitchView(ViewKind::Contacts, menubar::kMain);
                return true;
            }
            case cmd::kShowContacts:
                frame->SwitchView(ViewKind::Contacts, menubar::kMain);
                return true;
            case cmd::kDeleteContact:
                if (ContactPtr current = state.CurrentContact()) state.RemoveContact(current);
                return true;
            default:
                return true;
        }
    }
    std::optional<CommandState> QueryCommand(int) override { return CommandState{}; }
    int Count(int id) const {
        return static_cast<int>(std::count(received.begin(), received.end(), id));
    }
};

// Counts the paint events of a widget.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

// A frame with the contact list and the conversation over a model of its own,
// posted changes delivered by the event loop as the application delivers them.
struct Harness {
    TempModel model;
    RecordingSession session;
    SoundPlayer sounds{QStringList{}};  // no files: requests are only counted
    FakeApplication application{model.state};
    EventLoopPoster poster{model.state};
    CMainFrame frame;

    Harness() {
        session.state = ConnState::ContactsLoaded;
        application.frame = &frame;
        frame.SetApplicationTarget(&application);
        frame.RegisterView(ViewKind::Contacts, [this](QWidget* parent) {
            return new CContactsView(model.state, SessionProbe{}, parent);
        });
        frame.RegisterView(ViewKind::Message, [this](QWidget* parent) {
            return new CMessageView(model.state, session, sounds, parent);
        });
        frame.show();
        QApplication::setActiveWindow(&frame);
        frame.SwitchView(ViewKind::Contacts, menubar::kMain);
    }
    // A listed contact with a loaded history holding `entries`.
    ContactPtr AddWithHistory(const ContactInfo& info, const std::vector<MessageEntry>& entries) {
        ContactPtr contact = model.Add(info);
        std::shared_ptr<MessageHistory> history = model.state.GetHistory(contact);
        for (const MessageEntry& entry : entries) history->Append(entry);
        return contact;
    }
    // Makes `contact` current and opens the conversation ("Написать").
    CMessageView* Open(const ContactPtr& contact) {
        model.state.SetCurrentContact(contact);
        if (!frame.SwitchView(ViewKind::Message, menubar::kMessage)) return nullptr;
        return view();
    }
    CMessageView* view() const {
        return qobject_cast<CMessageView*>(frame.findView(ViewKind::Message));
    }
    bool MessageViewActive() const { return frame.activeViewKind() == ViewKind::Message; }
    void SetSendClose(bool on) {
        model.state.UpdateSettings([on](Settings& settings) { settings.sendclose = on; });
    }
    // Lets posted commands and changes run, and whatever they post in turn.
    static void Settle() {
        for (int round = 0; round < 5; ++round) QTest::qWait(10);
    }
};

void Type(QWidget* target, const QString& text) {
    for (const QChar c : text) {
        QTest::sendKeyEvent(QTest::Click, target, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

MessageEntry Entry(std::u16string text, MessageDirection direction, std::int64_t time) {
    return MessageEntry{std::move(text), time, direction};
}

bool IsWhitish(const QColor& c) {
    return c.red() > 230 && c.green() > 230 && c.blue() > 230;
}
bool IsOutgoingYellow(const QColor& c) {
    return c.red() > 200 && std::abs(c.red() - c.green()) <= 3 && c.blue() < c.red() * 3 / 4;
}

// The view background of a whole view of `size`, as the drawing kit paints it.
QImage ViewBackground(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    PaintViewBackground(painter, image.rect());
    return image;
}

bool SameArea(const QImage& a, const QImage& b, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y)) return false;
        }
    }
    return true;
}

}  // namespace

class MessageViewTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setFont(ApplicationFont());
        platform::SetClockForTesting(&FixedClock);
    }
    void cleanupTestCase() { platform::SetClockForTesting(nullptr); }

    // ---- Layout ----

    void layoutFollowsTheClientSize() {
        // 240 x 300, a 13-pixel line: the header line is 16 + 2, the icon's height
        // winning over the font's.
        CMessageView::Layout l = CMessageView::ComputeLayout(QSize(240, 300), 13);
        QCOMPARE(l.header, QRect(0, 0, 240, 18));
        QCOMPARE(l.inputArea, QRect(0, 18, 192, 45));       // 80% wide, 15% high
        QCOMPARE(l.input, QRect(5, 20, 182, 41));           // 5 px, 5% of 45 = 2 px
        QCOMPARE(l.send, QRect(192, 18, 48, 45));           // the rest of the width
        QCOMPARE(l.history, QRect(0, 63, 240, 237));        // to the bottom
        QVERIFY(l.search.isEmpty());

        // The search bar goes between the input area and the conversation, its line
        // 70% wide and 3 px inside it, the count beside it.
        l = CMessageView::ComputeLayout(QSize(240, 300), 13, false, 0, 24);
        QCOMPARE(l.search, QRect(0, 63, 240, 24));
        QCOMPARE(l.searchLine, QRect(5, 66, 163, 18));
        QCOMPARE(l.history, QRect(0, 87, 240, 213));

        // A taller font makes the line; an on-screen keyboard makes the input area
        // a quarter of the height, its own height counting in.
        l = CMessageView::ComputeLayout(QSize(200, 300), 20, true, 100);
        QCOMPARE(l.header, QRect(0, 0, 200, 22));
        QCOMPARE(l.inputArea, QRect(0, 22, 160, 100));
        QCOMPARE(l.input, QRect(5, 27, 150, 90));
        QCOMPARE(l.send, QRect(160, 22, 40, 100));
        QCOMPARE(l.history, QRect(0, 122, 200, 278));

        // A view too small for its parts gets empty areas, never negative ones.
        l = CMessageView::ComputeLayout(QSize(6, 10), 13);
        QVERIFY(l.input.width() >= 0 && l.input.height() >= 0);
        QVERIFY(l.history.isEmpty());
    }

    void childrenFollowTheLayout() {
        Harness h;
        CMessageView* view = h.Open(h.model.Add(Info(u"Иван", u"100")));
        QVERIFY(view != nullptr);
        for (QSize size : {QSize(240, 300), QSize(400, 500)}) {
            view->resize(size);
            const CMessageView::Layout l = view->CurrentLayout();
            QCOMPARE(l.header.height(), std::max(16, QFontMetrics(view->font()).height()) + 2);
            QCOMPARE(view->inputBox()->geometry(), l.input);
            QCOMPARE(view->sendButton()->geometry(), l.send);
        }
        QCOMPARE(view->inputBox()->property("controlId").toInt(), CMessageView::kInputBoxId);
        QCOMPARE(view->sendButton()->commandId(), cmd::kViewOk);
        QVERIFY(view->sendButton()->hasBitmap());
        QVERIFY(view->sendButton()->returnFocus());
    }

    // ---- Becoming active ----

    void openingWithUnreadMessagesFocusesTheView() {
        Harness h;
        ContactPtr contact = h.model.Add(Info(u"Иван", u"100", 0, 3));
        ChangeRecorder changes;
        h.model.state.AddListener(&changes);
        CMessageView* view = h.Open(contact);
        QVERIFY(view != nullptr);

        QCOMPARE(contact->Snapshot().unreadCount, 0);
        QCOMPARE(view->shownContact(), contact);
        QVERIFY(view->hasFocus());
        QVERIFY(!view->inputPanelRequested());
        // The change is posted: it reaches the listeners once the switch is over.
        QCOMPARE(changes.Count(ChangeCode::ContactChanged), 0);
        Harness::Settle();
        QCOMPARE(changes.Count(ChangeCode::ContactChanged), 1);
        QCOMPARE(changes.changes.back().second, contact);
        h.model.state.RemoveListener(&changes);
    }

    void openingWithoutUnreadMessagesFocusesTheInputBox() {
        Harness h;
        ContactPtr first = h.model.Add(Info(u"Иван", u"100"));
        ContactPtr second = h.model.Add(Info(u"Пётр", u"200"));
        ChangeRecorder changes;
        h.model.state.AddListener(&changes);
        CMessageView* view = h.Open(first);
        QVERIFY(view->inputBox()->hasFocus());
        QVERIFY(view->inputPanelRequested());
        Harness::Settle();
        QCOMPARE(changes.Count(ChangeCode::ContactChanged), 0);

        // Back to the list and into another conversation: the same view, emptied,
        // showing the other contact, starting at the newest entry.
        Type(view->inputBox(), QStringLiteral("черновик"));
        view->historyPanel().SetScrollOffset(4);
        h.frame.RouteCommand(cmd::kShowContacts);
        QVERIFY(!view->isVisible());
        QCOMPARE(h.Open(second), view);
        QVERIFY(view->isVisible());
        QCOMPARE(view->shownContact(), second);
        QVERIFY(view->inputBox()->toPlainText().isEmpty());
        QCOMPARE(view->historyPanel().scrollOffset(), 0);
        h.model.state.RemoveListener(&changes);
    }

    // ---- Sending ----

    void sendQueuesStoresAndRaises() {
        Harness h;
        h.SetSendClose(false);
        ContactPtr contact = h.AddWithHistory(Info(u"Иван", u"100"),
                                              {Entry(u"старое", MessageDirection::In, 5)});
        CMessageView* view = h.Open(contact);
        ChangeRecorder changes;
        h.model.state.AddListener(&changes);

        Type(view->inputBox(), QStringLiteral("Привет"));
        QTest::keyClick(view->inputBox(), Qt::Key_Return);
        Type(view->inputBox(), QStringLiteral("мир"));
        // Stored before it is queued: an answer can never be stored ahead of it.
        std::size_t storedWhenQueued = 0;
        h.session.onQueued = [&] { storedWhenQueued = contact->History()->Count(); };
        QTest::mouseClick(view->sendButton(), Qt::LeftButton);
        QCOMPARE(storedWhenQueued, std::size_t{2});

        // Queued for the worker, in CR LF lines.
        QCOMPARE(h.session.queued.size(), std::size_t{1});
        const auto* send = std::get_if<SendMessageCommand>(&h.session.queued[0]);
        QVERIFY(send != nullptr);
        QCOMPARE(send->uin, std::u16string(u"100"));
        QCOMPARE(send->text, std::u16string(u"Привет\r\nмир"));
        QCOMPARE(send->contact, static_cast<const void*>(contact.get()));
        // Heard.
        QCOMPARE(h.sounds.requestCount(), 1);
        QCOMPARE(h.sounds.lastRequested(), QString::fromLatin1(kSendSound));
        // Stored, in memory and in the file.
        const std::vector<MessageEntry> entries = contact->History()->Entries();
        QCOMPARE(entries.size(), std::size_t{2});
        QVERIFY(entries.back() ==
                Entry(u"Привет\r\nмир", MessageDirection::Out, static_cast<std::int64_t>(kFixedNow)));
        QFile file(h.model.dir.filePath(QStringLiteral("msg_100.txt")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.contains("[OUT "));
        QVERIFY(bytes.endsWith(QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2\r\n\xEC\xE8\xF0\r\n")));
        // Raised in order: the conversation, then the contact.
        QCOMPARE(changes.changes.size(), std::size_t{2});
        QCOMPARE(changes.changes[0].first, ChangeCode::ConversationChanged);
        QCOMPARE(changes.changes[1].first, ChangeCode::ContactChanged);
        QCOMPARE(changes.changes[1].second, contact);
        QCOMPARE(contact->Snapshot().lastActivity, static_cast<std::int64_t>(kFixedNow));
        // Emptied; the application hears of it only once control returns.
        QVERIFY(view->inputBox()->toPlainText().isEmpty());
        QCOMPARE(h.application.Count(cmd::kMessageSent), 0);
        Harness::Settle();
        QCOMPARE(h.application.Count(cmd::kMessageSent), 1);
        // Without "sendclose" the conversation stays, now marked open.
        QVERIFY(h.MessageViewActive());
        QVERIFY(contact->Snapshot().conversationOpen());
        h.model.state.RemoveListener(&changes);
    }

    void aLongTextGoesAsSeveralMessagesEachStored() {
        Harness h;
        h.SetSendClose(false);
        ContactPtr contact = h.AddWithHistory(Info(u"Иван", u"100"), {});
        CMessageView* view = h.Open(contact);
        // 3000 + 2000 units outside the code page: 10002 bytes, three messages.
        const QString first(3000, QChar(0x00E9));
        const QString second(2000, QChar(0x65E5));
        view->inputBox()->setPlainText(first + QLatin1Char('\n') + second);
        view->Send();

        const std::vector<std::u16string> parts = {first.left(2000).toStdU16String(),
                                                   first.mid(2000).toStdU16String(),
                                                   second.toStdU16String()};
        QCOMPARE(h.session.queued.size(), parts.size());
        const std::vector<MessageEntry> entries = contact->History()->Entries();
        QCOMPARE(entries.size(), parts.size());
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const auto* part = std::get_if<SendMessageCommand>(&h.session.queued[i]);
            QVERIFY(part != nullptr && part->text == parts[i]);
            QVERIFY(entries[i] == Entry(parts[i], MessageDirection::Out,
                                        static_cast<std::int64_t>(kFixedNow)));
        }
        QCOMPARE(h.sounds.requestCount(), 1);
    }

    void titleBarOkSendsInsteadOfMinimising() {
        Harness h;
        ContactPtr contact = h.model.Add(Info(u"Иван", u"100"));
        CMessageView* view = h.Open(contact);
        view->inputBox()->setPlainText(QStringLiteral("через ok"));
        QTest::mouseClick(h.frame.okButton(), Qt::LeftButton);
        Harness::Settle();
        QCOMPARE(h.session.queued.size(), std::size_t{1});
        QVERIFY(!h.frame.isMinimized());
        QCOMPARE(h.application.Count(cmd::kMessageSent), 1);

        // On the contact list the same button minimises.
        h.frame.RouteCommand(cmd::kShowContacts);
        QVERIFY(h.frame.RouteCommand(cmd::kOk));
        QCOMPARE(h.session.queued.size(), std::size_t{1});
        QVERIFY(h.frame.isMinimized());
    }

    void emptySendStillMarksTheConversationAndCloses() {
        Harness h;
        h.SetSendClose(true);
        ContactPtr contact = h.model.Add(Info(u"Иван", u"100", 0, 0, 7));
        CMessageView* view = h.Open(contact);
        // Unread messages arriving while the conversation is shown.
        contact->Update([](ContactInfo& info) { info.unreadCount = 2; });
        ChangeRecorder changes;
        h.model.state.AddListener(&changes);

        QVERIFY(h.frame.RouteCommand(cmd::kViewOk));
        QVERIFY(h.session.queued.empty());
        QCOMPARE(h.sounds.requestCount(), 0);
        QVERIFY(contact->History() == nullptr);  // nothing stored, nothing loaded
        QCOMPARE(changes.Count(ChangeCode::ConversationChanged), 0);
        QCOMPARE(changes.Count(ChangeCode::ContactChanged), 1);
        const ContactInfo info = contact->Snapshot();
        QCOMPARE(info.unreadCount, 0);
        QCOMPARE(info.lastActivity, static_cast<std::int64_t>(kFixedNow));

        // "sendclose": the application brings the list back; the view is kept.
        Harness::Settle();
        QCOMPARE(h.application.Count(cmd::kMessageSent), 1);
        QVERIFY(contact->Snapshot().conversationOpen());
        QCOMPARE(h.frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));
        QCOMPARE(h.view(), view);
        QVERIFY(!view->isVisible());
        h.model.state.RemoveListener(&changes);
    }

    void sendWhileNotConnectedKeepsTheText() {
        Harness h;
        h.session.state = ConnState::ConnectionError;
        ContactPtr contact = h.model.Add(Info(u"Иван", u"100", 0, 1));
        CMessageView* view = h.Open(contact);
        view->inputBox()->setPlainText(QStringLiteral("потом"));
        for (int id : {cmd::kViewOk, cmd::kOk}) {
            QVERIFY(h.frame.RouteCommand(id));
            Harness::Settle();
            // Nothing queued, stored or heard; the text waits in the box; a notice
            // says why.
            QVERIFY(h.session.queued.empty());
            QVERIFY(contact->History() == nullptr);  // nothing stored, nothing loaded
            QCOMPARE(h.sounds.requestCount(), 0);
            QCOMPARE(view->inputBox()->toPlainText(), QStringLiteral("потом"));
            QCOMPARE(h.application.Count(cmd::kMessageSent), 0);
            auto* notice = h.frame.findChild<QMessageBox*>(kNoticeObjectName);
            QVERIFY(notice != nullptr && notice->isVisible());
            QVERIFY(notice->text().startsWith(QStringLiteral("Нет соединения")));
            notice->close();
            Harness::Settle();
        }
        // Connected again: the same text goes.
        h.session.state = ConnState::ContactsLoaded;
        QVERIFY(h.frame.RouteCommand(cmd::kViewOk));
        QCOMPARE(h.session.queued.size(), std::size_t{1});
        QCOMPARE(contact->History()->Count(), std::size_t{1});
    }

    void messagesArrivingInTheActiveConversationAreRead() {
        Harness h;
        MessengerSession network(h.model.state);
        Connection link = network.NetForTesting().CurrentConnection();
        ContactPtr shown = h.model.Add(Info(u"Иван", u"100"));
        ContactPtr other = h.model.Add(Info(u"Пётр", u"200"));
        h.Open(shown);
        network.OnMessage(link, u"100", u"прочитано");
        network.OnMessage(link, u"200", u"не прочитано");
        Harness::Settle();
        QCOMPARE(shown->Snapshot().unreadCount, 0);
        QCOMPARE(shown->History()->Count(), std::size_t{1});
        QCOMPARE(other->Snapshot().unreadCount, 1);

        // Not in front: the message waits to be read.
        QApplication::setActiveWindow(nullptr);
        network.OnMessage(link, u"100", u"в фоне");
        Harness::Settle();
        QCOMPARE(shown->Snapshot().unreadCount, 1);
        // Nor while the contact list is shown.
        QApplication::setActiveWindow(&h.frame);
        h.frame.RouteCommand(cmd::kShowContacts);
        network.OnMessage(link, u"100", u"в списке");
        Harness::Settle();
        QCOMPARE(shown->Snapshot().unreadCount, 2);
    }

    void sendToAContactThatLeftTheList() {
        Harness h;
        ContactPtr contact = h.model.Add(Info(u"Иван", u"100"));
        CMessageView* view = h.Open(contact);
        h.frame.RouteCommand(cmd::kShowContacts);
        h.model.state.RemoveContact(contact);
        QCOMPARE(view->shownContact(), nullptr);  // the list's new current: none

        view->inputBox()->setPlainText(QStringLiteral("в пустоту"));
        view->Send();
        QVERIFY(h.session.queued.empty());
        QVERIFY(contact->History() == nullptr);
        QVERIFY(view->inputBox()->toPlainText().isEmpty());
        // The frame still hears of the attempt.
        Harness::Settle();
        QCOMPARE(h.application.Count(cmd::kMessageSent), 1);
    }

    // ---- Keys ----

    void enterStartsANewLineAndCtrlEnterSends() {
        Harness h;
        h.SetSendClose(false);
        CMessageView* view = h.Open(h.model.Add(Info(u"Иван", u"100")));
        QPlainTextEdit* input = view->inputBox();
        QVERIFY(input->hasFocus());
        QTest::keyClicks(input, "ab");
        QTest::keyClick(input, Qt::Key_Return);
        QTest::keyClick(input, Qt::Key_Enter);
        Type(input, QStringLiteral("вд"));
        QCOMPARE(input->toPlainText(), QStringLiteral("ab\n\nвд"));
        Harness::Settle();
        QVERIFY(h.session.queued.empty());
        QCOMPARE(h.application.Count(cmd::kMessageSent), 0);

        // Ctrl+Enter sends, from the box and from the view (the keypad's Enter too).
        QTest::keyClick(input, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(h.session.queued.size(), std::size_t{1});
        QVERIFY(input->toPlainText().isEmpty());
        input->setPlainText(QStringLiteral("ещё"));
        view->setFocus();
        QTest::keyClick(view, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
        QCOMPARE(h.session.queued.size(), std::size_t{2});
        Harness::Settle();
        QCOMPARE(h.application.Count(cmd::kMessageSent), 2);

        // Escape, typed in the box, runs "Отменить": back to the contact list.
        input->setFocus();
        QTest::keyClick(input, Qt::Key_Escape);
        Harness::Settle();
        QCOMPARE(h.frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));
    }

    // Up, Down and the wheel scroll, while reading and while typing, from the
    // newest entry to the point where the oldest one is shown whole, no further.
    void scrollingStopsAtBothEnds() {
        Harness h;
        std::vector<MessageEntry> entries;
        for (int i = 0; i < 40; ++i) {
            entries.push_back(Entry(u"сообщение " + QString::number(i).toStdU16String(),
                                    i % 2 ? MessageDirection::Out : MessageDirection::In, 100 + i));
        }
        ContactPtr contact = h.AddWithHistory(Info(u"Иван", u"100", 0, 1), entries);
        CMessageView* view = h.Open(contact);  // unread: the view has the focus
        QVERIFY(view->hasFocus());
        HistoryPanel& panel = view->historyPanel();
        const QImage atTop = view->grab().toImage();

        QTest::keyClick(view, Qt::Key_Down);
        QTest::keyClick(view, Qt::Key_Down);
        QCOMPARE(panel.scrollOffset(), 2);
        QVERIFY(view->grab().toImage() != atTop);
        QTest::keyClick(view, Qt::Key_Up);
        QTest::keyClick(view, Qt::Key_Up);
        QTest::keyClick(view, Qt::Key_Up);
        QCOMPARE(panel.scrollOffset(), 0);
        QCOMPARE(view->grab().toImage(), atTop);

        // Down to the oldest entry: the last steps change nothing.
        for (int i = 0; i < 200; ++i) QTest::keyClick(view, Qt::Key_Down);
        const int last = panel.scrollOffset();
        QVERIFY(last > 2 && last < 200);
        const QRect history = view->CurrentLayout().history;
        bool oldestShown = false;
        for (int y = history.top(); y < history.bottom(); ++y) {
            const auto entry = panel.EntryAt(history, QPoint(history.center().x(), y));
            oldestShown = oldestShown || (entry.has_value() && entry->text == u"сообщение 0");
        }
        QVERIFY(oldestShown);
        // The wheel: a notch is a step, and it stops at the same ends.
        for (const auto& [notches, offset] : {std::pair{3, last}, {-2, last - 2}, {-1000, 0}}) {
            QWheelEvent event(history.center(), view->mapToGlobal(history.center()), QPoint(),
                              QPoint(0, -120 * notches), Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(view, &event);
            QCOMPARE(panel.scrollOffset(), offset);
        }

        // Typing: the arrows move between the lines of the draft, and scroll where
        // the cursor can go no further.
        QPlainTextEdit* input = view->inputBox();
        input->setFocus();
        QTest::keyClick(input, Qt::Key_Down);
        QCOMPARE(panel.scrollOffset(), 1);
        input->setPlainText(QStringLiteral("одна\nдве"));
        input->moveCursor(QTextCursor::End);
        QTest::keyClick(input, Qt::Key_Up);
        QCOMPARE(panel.scrollOffset(), 1);
        QCOMPARE(input->textCursor().blockNumber(), 0);
        QTest::keyClick(input, Qt::Key_Up);
        QCOMPARE(panel.scrollOffset(), 0);
        // Tab leaves the box for the view, not for the send button.
        QTest::keyClick(input, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), view);
        QTest::keyClick(view, Qt::Key_Down);
        QCOMPARE(panel.scrollOffset(), 1);
    }

    void typingWhileReadingGoesToTheInputBox() {
        Harness h;
        CMessageView* view = h.Open(h.model.Add(Info(u"Иван", u"100", 0, 1)));
        QVERIFY(view->hasFocus());
        // "&" and "(" are ordinary characters here, not arrow keys.
        Type(view, QStringLiteral("&"));
        QVERIFY(view->inputBox()->hasFocus());
        QVERIFY(view->inputPanelRequested());
        Type(view->inputBox(), QStringLiteral("(ж"));
        QCOMPARE(view->inputBox()->toPlainText(), QStringLiteral("&(ж"));
        QCOMPARE(view->historyPanel().scrollOffset(), 0);
    }

    // Every key that carries text, typed while reading and while typing, leaves
    // Pellox running: one the input box does not take (Escape) must not come back
    // to the view and be handed to the box again without end.
    void noKeyLoopsBetweenTheViewAndTheInputBox() {
        Harness h;
        CMessageView* view = h.Open(h.model.Add(Info(u"Иван", u"100", 0, 1)));
        const std::pair<Qt::Key, const char16_t*> keys[] = {
            {Qt::Key_Escape, u"\x1b"}, {Qt::Key_Tab, u"\t"},      {Qt::Key_Backspace, u"\b"},
            {Qt::Key_Return, u"\r"},   {Qt::Key_Delete, u"\x7f"}, {Qt::Key_A, u"a"},
            {Qt::Key_unknown, u"ж"},   {Qt::Key_unknown, u"\x01"}};
        for (const auto& [key, text] : keys) {
            for (QWidget* target :
                 {static_cast<QWidget*>(view), static_cast<QWidget*>(view->inputBox())}) {
                target->setFocus();
                // As the window system delivers a key no shortcut took.
                QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString::fromUtf16(text));
                QApplication::sendEvent(target, &press);
            }
        }
        QVERIFY(h.MessageViewActive());
        QVERIFY(view->inputBox()->toPlainText().contains(QStringLiteral("aaжж")));
    }

    void tapsMoveTheFocus() {
        Harness h;
        CMessageView* view = h.Open(h.model.Add(Info(u"Иван", u"100")));
        QVERIFY(view->inputBox()->hasFocus());
        const QPoint inHistory = view->CurrentLayout().history.center();
        // From the input box: the view takes the focus, the keyboard goes away.
        QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, inHistory);
        QVERIFY(view->hasFocus());
        QVERIFY(!view->inputPanelRequested());
        // A second tap: back to typing.
        QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, inHistory);
        QVERIFY(view->inputBox()->hasFocus());
        QVERIFY(view->inputPanelRequested());
        // A double tap is two taps: to the view and back to typing.
        QTest::mouseDClick(view, Qt::LeftButton, Qt::NoModifier, inHistory);
        QVERIFY(view->inputBox()->hasFocus());
    }

    void rightClickOnAnEntryCopiesIt() {
        Harness h;
        CMessageView* view = h.Open(h.AddWithHistory(
            Info(u"Иван", u"100"), {Entry(u"первая\r\nстрока", MessageDirection::In, 10)}));
        const QRect history = view->CurrentLayout().history;
        QGuiApplication::clipboard()->clear();
        // On the entry (at the top) its text is offered; below it, nothing.
        for (const int y : {history.top() + 2, history.bottom() - 2}) {
            const QPoint at(history.center().x(), y);
            QTest::mouseClick(view, Qt::RightButton, {}, at);
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->mapToGlobal(at));
            QApplication::sendEvent(view, &event);
            QMenu* menu = view->entryMenu();
            QCOMPARE(menu != nullptr, y == history.top() + 2);
            if (menu == nullptr) continue;
            QCOMPARE(menu->actions().front()->text(), QStringLiteral("Копировать"));
            menu->actions().front()->trigger();
            menu->close();
        }
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("первая\nстрока"));
        QVERIFY(view->inputBox()->hasFocus());  // a right click leaves the focus
    }

    // ---- Closing and removing ----

    void closeConversationClearsTheMarkAndReturns() {
        Harness h;
        ContactPtr open = h.model.Add(Info(u"Иван", u"100", 0, 0, 0, true));
        CMessageView* view = h.Open(open);
        open->Update([](ContactInfo& info) { info.unreadCount = 4; });
        ChangeRecorder changes;
        h.model.state.AddListener(&changes);
        QVERIFY(h.frame.RouteCommand(cmd::kCloseConversation));
        QVERIFY(!open->Snapshot().conversationOpen());
        QCOMPARE(open->Snapshot().unreadCount, 0);
        QCOMPARE(changes.Count(ChangeCode::ContactChanged), 1);
        Harness::Settle();
        QCOMPARE(h.frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));

        // A conversation that is not marked open: nothing changes, the list comes back.
        ContactPtr closed = h.model.Add(Info(u"Пётр", u"200"));
        QCOMPARE(h.Open(closed), view);
        closed->Update([](ContactInfo& info) { info.unreadCount = 4; });
        changes.changes.clear();
        h.frame.RouteCommand(cmd::kCloseConversation);
        QCOMPARE(closed->Snapshot().unreadCount, 4);
        QCOMPARE(changes.changes.size(), std::size_t{0});
        Harness::Settle();
        QCOMPARE(h.frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));
        h.model.state.RemoveListener(&changes);
    }

    void deletingTheShownContactReturnsToTheList() {
        Harness h;
        ContactPtr shown = h.model.Add(Info(u"Иван", u"100"));
        ContactPtr other = h.model.Add(Info(u"Пётр", u"200"));
        CMessageView* view = h.Open(shown);

        // Another contact leaving changes nothing here.
        h.model.state.RemoveContact(other);
        Harness::Settle();
        QVERIFY(h.MessageViewActive());
        QCOMPARE(view->shownContact(), shown);

        // "Удалить контакт" from this view's menu.
        QVERIFY(h.frame.RouteCommand(cmd::kDeleteContact));
        QVERIFY(h.model.state.ContainsContact(shown) == nullptr);
        QCOMPARE(view->shownContact(), h.model.state.CurrentContact());
        Harness::Settle();
        QCOMPARE(h.application.Count(cmd::kShowContacts), 1);
        QCOMPARE(h.frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));

        // Removed while hidden: no trip back is asked for.
        ContactPtr third = h.model.Add(Info(u"Анна", u"300"));
        h.Open(third);
        h.frame.RouteCommand(cmd::kShowContacts);
        h.model.state.RemoveContact(third);
        Harness::Settle();
        // Two: the view's trip back above and the command routed by this test.
        QCOMPARE(h.application.Count(cmd::kShowContacts), 2);
    }

    // ---- Listener reactions and painting ----

    void changesOfTheShownContactRepaint() {
        Harness h;
        ContactPtr shown = h.AddWithHistory(Info(u"Иван", u"100"),
                                            {Entry(u"мой ответ", MessageDirection::Out, 50)});
        ContactPtr other = h.model.Add(Info(u"Пётр", u"200"));
        CMessageView* view = h.Open(shown);
        PaintCounter counter;
        view->installEventFilter(&counter);
        Harness::Settle();

        auto paintsAfter = [&](ChangeCode code, const ContactPtr& contact) {
            counter.paints = 0;
            h.model.state.Notify(code, contact, true);  // as a network thread does
            Harness::Settle();
            return counter.paints;
        };
        QCOMPARE(paintsAfter(ChangeCode::ContactChanged, other), 0);
        QVERIFY(paintsAfter(ChangeCode::ContactChanged, shown) > 0);
        QVERIFY(paintsAfter(ChangeCode::ListReset, nullptr) > 0);
        QVERIFY(paintsAfter(ChangeCode::CurrentContactChanged, shown) > 0);
        QCOMPARE(paintsAfter(ChangeCode::FilterChanged, nullptr), 0);

        // An incoming message: the new entry is drawn at the top, in white.
        const QRect history = view->CurrentLayout().history;
        const int band = QFontMetrics(view->historyPanel().smallFont()).height() +
                         history.width() * 4 / 100 / 2;
        const QRect firstText(0, history.top() + band, history.width(),
                              QFontMetrics(view->historyPanel().messageFont()).height());
        QImage image = view->grab().toImage();
        QVERIFY(CountPixels(image, firstText, IsOutgoingYellow) > 10);
        QCOMPARE(CountPixels(image, firstText, IsWhitish), 0);
        shown->History()->Append(Entry(u"входящее", MessageDirection::In, 60));
        QVERIFY(paintsAfter(ChangeCode::ConversationChanged, shown) > 0);
        image = view->grab().toImage();
        QVERIFY(CountPixels(image, firstText, IsWhitish) > 10);
        QCOMPARE(CountPixels(image, firstText, IsOutgoingYellow), 0);
        view->removeEventFilter(&counter);
    }

    void ownTypingIsToldOnlyWithTheSettingOn() {
        Harness h;
        h.SetSendClose(false);
        ContactPtr ivan = h.model.Add(Info(u"Иван", u"100"));
        ContactPtr petr = h.model.Add(Info(u"Пётр", u"200"));
        CMessageView* view = h.Open(ivan);
        auto kinds = [&] {
            std::vector<std::pair<std::u16string, int>> out;
            for (const auto& command : h.session.queued) {
                if (const auto* typing = std::get_if<TypingCommand>(&command)) {
                    out.emplace_back(typing->uin, typing->kind);
                }
            }
            h.session.queued.clear();
            return out;
        };
        using Kinds = std::vector<std::pair<std::u16string, int>>;
        Type(view->inputBox(), QStringLiteral("ab"));
        QCOMPARE(kinds(), Kinds{});  // off by default

        h.model.state.UpdateSettings([](Settings& s) { s.typing = true; });
        view->inputBox()->clear();
        Type(view->inputBox(), QStringLiteral("ab"));
        QCOMPARE(kinds(), (Kinds{{u"100", 2}}));  // begun once, not per key
        // Still typing seconds later: told again before the contact's notice runs out.
        QTest::qWait(4100);
        Type(view->inputBox(), QStringLiteral("c"));
        const Kinds again = kinds();  // a slow machine may have paused ("typed") first
        QVERIFY(!again.empty());
        QCOMPARE(again.back(), (std::pair<std::u16string, int>{u"100", 2}));
        QTest::mouseClick(view->sendButton(), Qt::LeftButton);
        QCOMPARE(kinds(), (Kinds{{u"100", 0}}));  // sending ends it

        // Typing, then another conversation: the first contact hears it stopped.
        Type(view->inputBox(), QStringLiteral("c"));
        QVERIFY(h.frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        h.Open(petr);
        QCOMPARE(kinds(), (Kinds{{u"100", 2}, {u"100", 0}}));
    }

    void theMenuKeyOpensTheSoftKeyMenu() {
        Harness h;
        CMessageView* view = h.Open(h.model.Add(Info(u"Иван", u"100")));
        QMenu* softKeys = h.frame.softKeyMenu(0);
        QVERIFY(softKeys != nullptr);
        // The key as a desktop sends it to the box: as a key, then as a request for
        // a context menu.
        QTest::keyClick(view->inputBox(), Qt::Key_Menu);
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                  view->inputBox()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(view->inputBox(), &menuKey);
        QTRY_VERIFY(softKeys->isVisible());
        for (const QMenu* menu : view->findChildren<QMenu*>())
            QVERIFY(!menu->isVisible());  // not the box's
        softKeys->close();
        // Without the key the context menu comes the same way too.
        QApplication::sendEvent(view->inputBox(), &menuKey);
        QTRY_VERIFY(softKeys->isVisible());
        softKeys->close();
    }

    // Qt's own texts (the box's menu on the right button) speak the interface's language.
    void theInputBoxMenuIsRussian() {
        QVERIFY(InstallQtTranslations(*QCoreApplication::instance()));
        Harness h;
        CMessageView* view = h.Open(h.model.Add(Info(u"Иван", u"100")));
        const std::unique_ptr<QMenu> menu(view->inputBox()->createStandardContextMenu());
        QStringList texts;
        for (const QAction* action : menu->actions()) {
            if (!action->isSeparator()) texts << action->text();
        }
        QVERIFY(texts.size() >= 5);
        for (const QString& text : texts) {
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("[а-яА-Я]"))),
                     qPrintable(text));
        }
    }

    void eachContactKeepsItsDraft() {
        Harness h;
        h.SetSendClose(false);
        h.model.state.UpdateSettings([](Settings& s) { s.typing = true; });
        ContactPtr ivan = h.model.Add(Info(u"Иван", u"100"));
        ContactPtr petr = h.model.Add(Info(u"Пётр", u"200"));
        CMessageView* view = h.Open(ivan);
        Type(view->inputBox(), QStringLiteral("Ивану"));
        QVERIFY(h.frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        QCOMPARE(h.Open(petr)->inputBox()->toPlainText(), QString());
        Type(view->inputBox(), QStringLiteral("Петру"));
        QVERIFY(h.frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        h.session.queued.clear();
        QCOMPARE(h.Open(ivan)->inputBox()->toPlainText(), QStringLiteral("Ивану"));
        // Shown again, a draft is not typing.
        for (const auto& command : h.session.queued) {
            const auto* typing = std::get_if<TypingCommand>(&command);
            QVERIFY(typing == nullptr || typing->kind == kTypingStopped);
        }
        // Sent, it is gone.
        QTest::mouseClick(view->sendButton(), Qt::LeftButton);
        QVERIFY(h.frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        QCOMPARE(h.Open(petr)->inputBox()->toPlainText(), QStringLiteral("Петру"));
        QVERIFY(h.frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        QCOMPARE(h.Open(ivan)->inputBox()->toPlainText(), QString());
    }

    void headerShowsTypingUntilItRunsOut() {
        Harness h;
        ContactPtr contact = h.model.Add(Info(u"Иван", u"100", 0));
        CMessageView* view = h.Open(contact);
        const QRect header = view->CurrentLayout().header;
        const QImage plain = view->grab().toImage().copy(header);
        auto setTyping = [&](std::int64_t forMs) {
            contact->Update([&](ContactInfo& i) { i.typingUntilMs = ContactInfo::TypingClockMs() + forMs; });
            h.model.state.Notify(ChangeCode::ContactChanged, contact, true);
            Harness::Settle();
        };
        setTyping(10000);
        const QImage typing = view->grab().toImage().copy(header);
        QVERIFY(CountPixels(typing, typing.rect(), IsWhitish) > CountPixels(plain, plain.rect(), IsWhitish) + 20);
        // Left to run out, the notice goes by itself.
        setTyping(100);
        QTRY_COMPARE(view->grab().toImage().copy(header), plain);
    }

    void systemEntriesAreShown() {
        Harness h;
        ContactPtr contact = h.AddWithHistory(
            Info(u"Иван", u"100"), {Entry(u"Авторизация получена.", MessageDirection::System, 10)});
        CMessageView* view = h.Open(contact);
        // An authorization answer is a line of the conversation.
        QVERIFY(!SameArea(view->grab().toImage(), ViewBackground(view->size()),
                          view->CurrentLayout().history));
    }

    void paintsHeaderInputAreaAndNotices() {
        Harness h;
        ContactPtr contact = h.model.Add(Info(u"Иван Петрович", u"100", 0));
        CMessageView* view = h.Open(contact);
        const CMessageView::Layout l = view->CurrentLayout();
        QImage image = view->grab().toImage();

        // Header: the presence icon at the left, the name in white from x = 20.
        const QRect icon(0, (l.header.height() - 16) / 2, 16, 16);
        const QImage expectedIcon = StatusIcons::Instance().Icon(0).toImage();
        int iconPixels = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                if (qAlpha(expectedIcon.pixel(x, y)) == 255) {
                    QCOMPARE(image.pixel(icon.left() + x, icon.top() + y) | 0xff000000u,
                             expectedIcon.pixel(x, y) | 0xff000000u);
                    ++iconPixels;
                }
            }
        }
        QVERIFY(iconPixels > 20);
        QVERIFY(CountPixels(image, QRect(20, 0, 200, l.header.height()), IsWhitish) > 20);
        QCOMPARE(CountPixels(image, QRect(16, 0, 4, l.header.height()), IsWhitish), 0);
        // The background's first row.
        QCOMPARE(PixelAt(image, view->width() - 1, 0), QColor(51, 51, 51));

        // The panel box frames the input box: sky blue at its top, steel blue beside the box.
        QCOMPARE(PixelAt(image, 1, l.inputArea.top()), ThemeColors::kSkyBlue);
        QCOMPARE(PixelAt(image, 1, l.inputArea.center().y()), ThemeColors::kSteelBlue);
        QCOMPARE(PixelAt(image, l.inputArea.width() - 2, l.inputArea.center().y()),
                 ThemeColors::kSteelBlue);
        // The input box: steel blue with white text.
        QCOMPARE(PixelAt(image, l.input.right() - 12, l.input.bottom() - 3), ThemeColors::kSteelBlue);
        view->inputBox()->setPlainText(QStringLiteral("Текст"));
        image = view->grab().toImage();
        QVERIFY(CountPixels(image, l.input, IsWhitish) > 10);
        // The send button's frame.
        QCOMPARE(PixelAt(image, l.send.left(), l.send.top()), QColor(127, 127, 127));

        // History not loaded yet, and empty: the two notices.
        const QRect top(0, l.history.top(), view->width(), 14);
        QVERIFY(CountPixels(image, top, IsWhitish) > 10);  // "Загружается переписка"
        h.model.state.GetHistory(contact);
        image = view->grab().toImage();
        QCOMPARE(CountPixels(image, top, IsWhitish), 0);
        QVERIFY(CountPixels(image, top, [](const QColor& c) {  // "Переписки не найдено"
                    return c.blue() > 150 && c.blue() - c.red() > 60;
                }) > 10);

        // No current contact (an empty list): an empty header and history.
        Harness empty;
        QVERIFY(empty.frame.SwitchView(ViewKind::Message, menubar::kMessage));
        CMessageView* bare = empty.view();
        QCOMPARE(bare->shownContact(), nullptr);
        image = bare->grab().toImage();
        QCOMPARE(CountPixels(image, bare->CurrentLayout().header, IsWhitish), 0);
        QVERIFY(SameArea(image, ViewBackground(bare->size()), bare->CurrentLayout().history));
    }

    // ---- Search ----

    void searchHighlightsCountsAndWraps() {
        Harness h;
        ContactPtr contact = h.AddWithHistory(
            Info(u"Иван", u"100"), {Entry(u"Привет и ещё раз ПРИВЕТ", MessageDirection::In, 10),
                                    Entry(u"ничего", MessageDirection::Out, 20),
                                    Entry(u"привет, Иван", MessageDirection::Out, 30)});
        CMessageView* view = h.Open(contact);
        QTest::keyClick(view->inputBox(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(view->searchOpen());
        QVERIFY(view->searchLine()->isVisible());
        QCOMPARE(view->CurrentLayout().history.top(), view->CurrentLayout().search.bottom() + 1);

        view->searchLine()->setText(QStringLiteral("пРиВеТ"));
        QCOMPARE(view->SearchCountText(), QStringLiteral("1 из 3"));
        QImage image = view->grab().toImage();
        const QRect history = view->CurrentLayout().history;
        QVERIFY(FindBox(image, history, HistoryPanel::kCurrentMatchBackground).x() >= 0);
        QVERIFY(FindBox(image, history, HistoryPanel::kMatchBackground).x() >= 0);

        // Enter goes down to older matches, Shift+Enter back up, both around the ends.
        const QStringList expected{"2 из 3", "3 из 3", "1 из 3"};
        for (const QString& count : expected) {
            QTest::keyClick(view->searchLine(), Qt::Key_Return);
            QCOMPARE(view->SearchCountText(), count);
        }
        QTest::keyClick(view->searchLine(), Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(view->SearchCountText(), QStringLiteral("3 из 3"));
        // A screen reader hears the count as the search line's description.
        QCOMPARE(view->searchLine()->accessibleDescription(), QStringLiteral("3 из 3"));
        QCOMPARE(view->search().Current(), std::optional(ConversationSearch::Hit{0, 1}));

        // A message arriving meanwhile is searched too; the current match stays.
        contact->History()->Append(Entry(u"и тебе привет", MessageDirection::In, 40));
        h.model.state.Notify(ChangeCode::ContactChanged, contact);
        QCOMPARE(view->SearchCountText(), QStringLiteral("4 из 4"));

        // Nothing found says so.
        view->searchLine()->setText(QStringLiteral("пока"));
        QCOMPARE(view->SearchCountText(), QStringLiteral("Не найдено"));

        // Escape closes the search, not the conversation; the highlights go.
        view->searchLine()->setText(QStringLiteral("привет"));
        QTest::keyClick(view->searchLine(), Qt::Key_Escape);
        Harness::Settle();
        QVERIFY(!view->searchOpen());
        QVERIFY(h.MessageViewActive());
        image = view->grab().toImage();
        QCOMPARE(FindBox(image, view->CurrentLayout().history, HistoryPanel::kMatchBackground),
                 QPoint(-1, -1));
        // The menu entry opens it again, empty.
        QVERIFY(h.frame.RouteCommand(cmd::kFindInConversation));
        QVERIFY(view->searchOpen());
        QVERIFY(view->searchLine()->text().isEmpty());
    }

    void aRevealedEntryWaitsForItsHistory() {
        Harness h;
        // A long conversation in the file, not loaded yet.
        std::vector<MessageEntry> entries;
        for (int i = 0; i < 120; ++i) {
            entries.push_back(Entry(u"строка " + QString::number(i).toStdU16String(),
                                    MessageDirection::In, 1000 + i));
        }
        entries[5].text = u"здесь искомое";
        {
            MessageHistory file(h.model.path());
            QVERIFY(file.Load(HistoryFileName(u"100")));
            for (const MessageEntry& entry : entries) file.Append(entry);
        }
        ContactPtr contact = h.model.Add(Info(u"Иван", u"100"));
        CMessageView* view = h.Open(contact);
        QVERIFY(contact->History() == nullptr);
        view->RevealEntry(5, entries[5], u"искомое");
        QCOMPARE(view->SearchCountText(), QString());  // nothing to search yet

        // The history arrives: the entry's match is current and on screen.
        h.model.state.GetHistory(contact);
        h.model.state.Notify(ChangeCode::ConversationChanged, contact);
        QCOMPARE(view->SearchCountText(), QStringLiteral("1 из 1"));
        const QRect area = view->CurrentLayout().history;
        const QPoint mark =
            FindBox(view->grab().toImage(), area, HistoryPanel::kCurrentMatchBackground);
        QVERIFY2(mark.x() >= 0, "the revealed match is not on screen");
        QCOMPARE(view->historyPanel().EntryAt(area, mark), std::optional(entries[5]));
    }

    // ---- Export ----

    void exportWritesTextAndHtmlAndLeavesTheHistory() {
        Harness h;
        h.model.state.UpdateSettings([](Settings& s) { s.profile = u"100001"; });
        const std::vector<MessageEntry> entries{
            Entry(u"Привет <b>&\"друг\"</b>", MessageDirection::In, 1700000000),
            Entry(u"Две\r\nстроки 😀", MessageDirection::Out, 1700000060),
            Entry(u"Авторизация получена.", MessageDirection::System, 1700000120)};
        ContactPtr contact = h.AddWithHistory(Info(u"Боб <i>", u"200002"), entries);
        CMessageView* view = h.Open(contact);
        const QByteArray history = h.model.read(QStringLiteral("msg_200002.txt"));
        QTemporaryDir out;
        const auto date = [](std::int64_t time) {
            return QString::fromStdU16String(HistoryTimeText(time));
        };

        const QString text = out.filePath(QStringLiteral("переписка.txt"));
        QVERIFY(view->ExportTo(text, ExportFormat::PlainText));
        QFile textFile(text);
        QVERIFY(textFile.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(textFile.readAll()),
                 QStringLiteral("Переписка между 100001 и Боб <i> (200002)\n"
                                "\nБоб <i> (200002), %1\nПривет <b>&\"друг\"</b>\n"
                                "\n100001, %2\nДве\nстроки 😀\n"
                                "\nСистема, %3\nАвторизация получена.\n")
                     .arg(date(1700000000), date(1700000060), date(1700000120)));
        QCOMPARE(textFile.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                 QFileDevice::Permissions());

        const QString html = out.filePath(QStringLiteral("переписка.html"));
        QVERIFY(view->ExportTo(html, ExportFormat::Html));
        QFile htmlFile(html);
        QVERIFY(htmlFile.open(QIODevice::ReadOnly));
        const QString page = QString::fromUtf8(htmlFile.readAll());
        QVERIFY(page.startsWith(QStringLiteral("<!DOCTYPE html>\n")));
        QVERIFY(page.contains(QStringLiteral("<meta charset=\"utf-8\">")));
        QVERIFY(page.contains(
            QStringLiteral("<title>Переписка между 100001 и Боб &lt;i&gt; (200002)</title>")));
        QVERIFY(page.contains(
            QStringLiteral("<div class=\"in\"><div class=\"head\">Боб &lt;i&gt; (200002), %1</div>"
                           "<p class=\"text\">Привет &lt;b&gt;&amp;&quot;друг&quot;&lt;/b&gt;"
                           "</p></div>\n"
                           "<div class=\"out\"><div class=\"head\">100001, %2</div>"
                           "<p class=\"text\">Две\nстроки 😀</p></div>\n"
                           "<div class=\"system\"><div class=\"head\">Система, %3</div>"
                           "<p class=\"text\">Авторизация получена.</p></div>\n</body>\n</html>\n")
                .arg(date(1700000000), date(1700000060), date(1700000120))));
        // Nothing of the texts is markup, and nothing comes from elsewhere.
        QVERIFY(!page.contains(QStringLiteral("<b>")) && !page.contains(QStringLiteral("<i>")));
        for (const char* outside : {"src=", "href=", "url(", "@import"}) {
            QVERIFY2(!page.contains(QLatin1String(outside)), outside);
        }

        QCOMPARE(h.model.read(QStringLiteral("msg_200002.txt")), history);
        QCOMPARE(contact->History()->Entries(), entries);
    }

    void exportAsksForAFileOutsideTheDataFolder() {
        Harness h;
        ContactPtr contact = h.AddWithHistory(Info(u"Иван", u"100"),
                                              {Entry(u"текст", MessageDirection::In, 10)});
        CMessageView* view = h.Open(contact);
        const QByteArray history = h.model.read(QStringLiteral("msg_100.txt"));

        // The menu entry opens the file dialog, Qt's own, with the two formats.
        QVERIFY(h.frame.RouteCommand(cmd::kExportConversation));
        auto* dialog = view->findChild<QFileDialog*>(QStringLiteral("exportDialog"));
        QVERIFY(dialog != nullptr && dialog->isVisible());
        QVERIFY(dialog->testOption(QFileDialog::DontUseNativeDialog));
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(dialog->nameFilters(), (QStringList{"Текст (*.txt)", "HTML (*.html)"}));
        dialog->reject();

        // Not into the data folder: there it could replace the history itself.
        for (const QString& name : {QStringLiteral("msg_100.txt"), QStringLiteral("новый.txt")}) {
            QVERIFY(!view->ExportTo(h.model.file(name), ExportFormat::PlainText));
            auto* notice = h.frame.findChild<QMessageBox*>(kNoticeObjectName);
            QVERIFY(notice != nullptr && notice->isVisible());
            notice->close();
            Harness::Settle();
        }
        QVERIFY(!h.model.exists(QStringLiteral("новый.txt")));
        QCOMPARE(h.model.read(QStringLiteral("msg_100.txt")), history);

        // The format follows the name first, the chosen filter where it says nothing.
        QCOMPARE(ExportFormatFor(QStringLiteral("a.HTML"), false), ExportFormat::Html);
        QCOMPARE(ExportFormatFor(QStringLiteral("a.txt"), true), ExportFormat::PlainText);
        QCOMPARE(ExportFormatFor(QStringLiteral("a"), true), ExportFormat::Html);
    }
};

QTEST_MAIN(MessageViewTest)
#include "message_view_test.moc"
