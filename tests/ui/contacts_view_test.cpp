#include "ui/contacts_view.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QTest>
#include <QWheelEvent>
#include <memory>

#include "resources/command_ids.h"
#include "resources/strings.h"
#include "tests/ui/form_test_support.h"
#include "tests/ui/view_test_support.h"
#include "ui/image_button.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::test;
using formtest::ChangeRecorder;
using formtest::CommandRecorder;

namespace {

// The model with a contacts view over it, and a session stand-in the test steers.
struct Fixture {
    TempModel model;
    int connectionState = 0;
    int loginRefusal = 0;
    std::int64_t received = 0;
    std::int64_t sent = 0;
    std::unique_ptr<CContactsView> view;

    SessionProbe Probe() {
        return SessionProbe{[this] { return connectionState; }, [this] { return received; },
                            [this] { return sent; }, [this] { return loginRefusal; }};
    }
    CContactsView& Show(QSize size = QSize(240, 320)) {
        view = std::make_unique<CContactsView>(model.state, Probe());
        view->resize(size);
        view->show();
        view->OnInitialUpdate();
        return *view;
    }
    ContactListPanel& list() { return view->listPanel(); }
    ContactPtr current() const { return model.state.CurrentContact(); }
    ContactPtr entry(int index) const {
        return view->listPanel().entries().at(static_cast<std::size_t>(index));
    }
    QImage Grab() { return view->grab().toImage(); }
};

QStringList Uins(const std::vector<ContactPtr>& contacts) {
    QStringList uins;
    for (const ContactPtr& contact : contacts) uins << QString::fromStdU16String(contact->Uin());
    return uins;
}

// Adds `count` online contacts whose order is their number (later activity first).
void AddNumbered(TempModel& model, int count) {
    for (int i = 0; i < count; ++i) {
        const std::u16string number = QString::number(1000 + i).toStdU16String();
        model.Add(Info(u"c" + number, number, 0, 0, 100000 - i));
    }
}

void SetFields(AppState& state, const ContactPtr& contact,
               const std::function<void(ContactInfo&)>& change) {
    contact->Update(change);
    state.Notify(ChangeCode::ContactChanged, contact);
}

// The bounding box of the pixels of `colour` in `area`.
QRect Bounds(const QImage& image, const QRect& area, const QColor& colour) {
    QRect bounds;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (PixelAt(image, x, y) == colour) bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

// Counts the paint events of a widget.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

}  // namespace

class ContactsViewTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setFont(ApplicationFont()); }

    // ---- Order and filter ----

    void orderByUnreadOpenPresenceActivityName() {
        Fixture f;
        // name, uin, status, unread, activity, open
        f.model.Add(Info(u"a", u"A", 1, 1, 0));          // unread beats everything
        f.model.Add(Info(u"b", u"B", 1, 5, 0));          // more unread first
        f.model.Add(Info(u"c", u"C", 1, 0, 0, true));    // open conversation, offline
        f.model.Add(Info(u"d", u"D", 0, 0, 10));         // online
        f.model.Add(Info(u"e", u"E", 0, 0, 20));         // later activity first
        f.model.Add(Info(u"z", u"F", 1, 0, 99));         // offline last
        f.model.Add(Info(u"b", u"G", 0, 0, 10));         // lower case after upper case
        f.model.Add(Info(u"B", u"H", 0, 0, 10));
        f.model.Add(Info(u"", u"C1", 0, 0, 10));         // no name: the UIN counts
        f.Show();
        QCOMPARE(Uins(f.list().entries()),
                 QStringList({"B", "A", "C", "E", "H", "C1", "G", "D", "F"}));
        QCOMPARE(f.current(), f.entry(0));

        // Insertion finds its place; a change re-sorts.
        ContactPtr added = f.model.state.AddContact(Info(u"x", u"X", 0, 0, 15), true);
        QCOMPARE(f.list().IndexOf(added.get()), 4);
        SetFields(f.model.state, f.model.state.FindContact(u"F"),
                  [](ContactInfo& info) { info.unreadCount = 9; });
        QCOMPARE(Uins(f.list().entries()),
                 QStringList({"F", "B", "A", "C", "E", "X", "H", "C1", "G", "D"}));
        // The selection (and current contact) stays on B, wherever it moved.
        QCOMPARE(f.list().selection(), f.model.state.FindContact(u"B"));
        QCOMPARE(f.current(), f.model.state.FindContact(u"B"));
    }

    void compareContactsIsAntisymmetric() {
        const std::vector<ContactInfo> infos = {
            Info(u"a", u"1", 1, 1), Info(u"a", u"2", 0, 0, 5, true), Info(u"a", u"3", 0, 0, 5),
            Info(u"b", u"4", 0, 0, 5), Info(u"", u"5", 3, 0, -7), Info(u"a", u"6", 1)};
        for (const ContactInfo& a : infos) {
            for (const ContactInfo& b : infos) {
                QCOMPARE(CompareContacts(a, b), -CompareContacts(b, a));
            }
            QCOMPARE(CompareContacts(a, a), 0);
        }
        // Activity is compared as signed 64-bit seconds.
        QVERIFY(CompareContacts(Info(u"a", u"1", 0, 0, 0), Info(u"a", u"2", 0, 0, -1)) < 0);
        QVERIFY(CompareContacts(Info(u"a", u"1", 0, 0, INT64_MIN),
                                Info(u"a", u"2", 0, 0, INT64_MAX)) > 0);
    }

    void onlyOnlineHidesIdleOfflineContacts() {
        Fixture f;
        f.model.SetOnlyOnline(true);
        f.model.Add(Info(u"on", u"1", 0, 0, 50));
        ContactPtr offline = f.model.Add(Info(u"off", u"2", 1, 0, 90));
        f.model.Add(Info(u"unread", u"3", 1, 1));
        f.model.Add(Info(u"open", u"4", 1, 0, 0, true));
        f.model.Add(Info(u"away", u"5", 2));
        f.Show();
        QCOMPARE(Uins(f.list().entries()), QStringList({"3", "4", "1", "5"}));

        // A message from the hidden contact brings it to the top (its activity is later
        // than that of the other contact with one unread message).
        SetFields(f.model.state, offline, [](ContactInfo& info) { info.unreadCount = 1; });
        QCOMPARE(f.list().IndexOf(offline.get()), 0);

        // Filter off: everyone, rebuilt in order.
        f.model.SetOnlyOnline(false);
        SetFields(f.model.state, offline, [](ContactInfo& info) { info.unreadCount = 0; });
        f.model.state.Notify(ChangeCode::FilterChanged);
        QCOMPARE(Uins(f.list().entries()), QStringList({"3", "4", "1", "5", "2"}));
    }

    // ---- Selection after model changes ----

    // The highlighted entry is the current contact, whichever change moved either.
    void highlightAndCurrentContactAgree() {
        Fixture f;
        f.model.SetOnlyOnline(true);
        ContactPtr a = f.model.Add(Info(u"a", u"1", 1, 0, 30));
        ContactPtr b = f.model.Add(Info(u"b", u"2", 1, 0, 20));
        f.Show();
        QVERIFY(f.list().entries().empty());
        QCOMPARE(f.current(), nullptr);

        // Signing on: the first contact to come online is listed, highlighted and current.
        SetFields(f.model.state, b, [](ContactInfo& info) { info.status = 0; });
        QCOMPARE(f.list().selection(), b);
        QCOMPARE(f.current(), b);

        // The current contact goes offline while the list is shown: the highlight
        // moves to the first entry and so does the current contact.
        SetFields(f.model.state, a, [](ContactInfo& info) { info.status = 0; });
        ChangeRecorder spy;
        f.model.state.AddListener(&spy);
        SetFields(f.model.state, b, [](ContactInfo& info) { info.status = 1; });
        QCOMPARE(Uins(f.list().entries()), QStringList({"1"}));
        QCOMPARE(f.list().selection(), a);
        QCOMPARE(f.current(), a);
        QCOMPARE(spy.Count(ChangeCode::CurrentContactChanged), 1);

        // While another view is shown (a conversation with it, say), the contact that
        // left the list stays current until the list comes back.
        SetFields(f.model.state, b, [](ContactInfo& info) { info.status = 0; });
        f.model.state.SetCurrentContact(b);
        f.view->hide();
        SetFields(f.model.state, b, [](ContactInfo& info) { info.status = 1; });
        QCOMPARE(f.current(), b);
        f.view->show();
        f.view->OnInitialUpdate();
        QCOMPARE(f.current(), a);
        QCOMPARE(f.list().selection(), a);

        // The last listed contact leaves: no highlight, no current contact.
        SetFields(f.model.state, a, [](ContactInfo& info) { info.status = 1; });
        QCOMPARE(f.list().selection(), nullptr);
        QCOMPARE(f.current(), nullptr);
        f.model.state.RemoveListener(&spy);
    }

    void addedAndRemovedContacts() {
        Fixture f;
        f.Show();
        QCOMPARE(f.current(), nullptr);

        // The first contact of an empty list becomes current.
        ContactPtr first = f.model.state.AddContact(Info(u"a", u"1", 0, 0, 10), true);
        QCOMPARE(f.current(), first);
        // A later one sorting before it is listed, the current contact stays.
        ContactPtr urgent = f.model.state.AddContact(Info(u"b", u"2", 0, 3), true);
        QCOMPARE(f.list().IndexOf(urgent.get()), 0);
        QCOMPARE(f.current(), first);
        ContactPtr third = f.model.state.AddContact(Info(u"c", u"3", 0, 0, 5), true);
        QCOMPARE(f.list().entries().size(), std::size_t{3});

        // Removing a contact that is not current leaves the current one alone.
        f.model.state.RemoveContact(third);
        QCOMPARE(Uins(f.list().entries()), QStringList({"2", "1"}));
        QCOMPARE(f.current(), first);
        // Removing the current one makes the first entry current.
        f.model.state.RemoveContact(first);
        QCOMPARE(Uins(f.list().entries()), QStringList({"2"}));
        QCOMPARE(f.current(), urgent);
        f.model.state.RemoveContact(urgent);
        QVERIFY(f.list().entries().empty());
        QCOMPARE(f.current(), nullptr);
        QCOMPARE(f.list().selection(), nullptr);
    }

    void staleNotificationsDoNotListRemovedContacts() {
        Fixture f;
        ContactPtr keep = f.model.Add(Info(u"a", u"1"));
        ContactPtr gone = f.model.Add(Info(u"b", u"2"));
        f.Show();
        f.model.state.RemoveContact(gone);
        // A change posted by a network thread before the removal arrives after it.
        f.model.state.Notify(ChangeCode::ContactChanged, gone);
        f.model.state.Notify(ChangeCode::ContactAdded, gone);
        f.model.state.Notify(ChangeCode::CurrentContactChanged, gone);
        QCOMPARE(Uins(f.list().entries()), QStringList({"1"}));
        QCOMPARE(f.current(), keep);
        // A second ContactAdded for a listed contact does not list it twice.
        f.model.state.Notify(ChangeCode::ContactAdded, keep);
        QCOMPARE(f.list().entries().size(), std::size_t{1});
    }

    void currentContactChangesFromOutside() {
        Fixture f;
        f.model.Add(Info(u"a", u"1", 0, 0, 3));
        ContactPtr b = f.model.Add(Info(u"b", u"2", 0, 0, 2));
        f.Show();
        f.model.state.SetCurrentContact(b);
        QCOMPARE(f.list().selection(), b);
        // Cleared from outside: the list makes its first entry current again.
        f.model.state.SetCurrentContact(nullptr);
        QCOMPARE(f.current(), f.entry(0));
        QCOMPARE(f.list().selection(), f.entry(0));
    }

    void rebuildKeepsListedCurrentContact() {
        Fixture f;
        f.model.Add(Info(u"a", u"1", 0, 0, 3));
        ContactPtr b = f.model.Add(Info(u"b", u"2", 1, 0, 2));
        f.Show();
        f.model.state.SetCurrentContact(b);
        f.model.state.Notify(ChangeCode::ListReset);
        QCOMPARE(f.current(), b);
        QCOMPARE(f.list().selection(), b);
        // The filter hides it: the first entry becomes current.
        f.model.SetOnlyOnline(true);
        f.model.state.Notify(ChangeCode::FilterChanged);
        QCOMPARE(Uins(f.list().entries()), QStringList({"1"}));
        QCOMPARE(f.current(), f.entry(0));
    }

    void keepsListeningWhileHidden() {
        TempModel model;
        CMainFrame frame;
        frame.RegisterView(ViewKind::Contacts, [&model](QWidget* parent) {
            return new CContactsView(model.state, SessionProbe{}, parent);
        });
        frame.RegisterView(ViewKind::Message, [](QWidget* parent) { return new FrameView(parent); });
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        auto* view = static_cast<CContactsView*>(frame.activeView());
        QVERIFY(frame.SwitchView(ViewKind::Message, menubar::kMessage));
        ContactPtr added = model.state.AddContact(Info(u"a", u"1"), true);
        QCOMPARE(view->listPanel().IndexOf(added.get()), 0);
        QCOMPARE(model.state.CurrentContact(), added);
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        QCOMPARE(view->listPanel().entries().size(), std::size_t{1});
    }

    // ---- Navigation and taps ----

    void keysMoveAndPageTheSelection() {
        Fixture f;
        f.Show();
        const int rows = f.list().rows();
        QVERIFY(rows >= 3);
        const int perPage = rows * ContactListPanel::kColumns;
        AddNumbered(f.model, 2 * perPage + 3);
        f.model.state.Notify(ChangeCode::ListReset);
        QCOMPARE(f.current(), f.entry(0));

        ChangeRecorder spy;
        f.model.state.AddListener(&spy);
        QTest::keyClick(f.view.get(), Qt::Key_Up);  // at the top: nothing raised
        QCOMPARE(spy.Count(ChangeCode::CurrentContactChanged), 0);
        QTest::keyClick(f.view.get(), Qt::Key_Down);
        QTest::keyClick(f.view.get(), Qt::Key_Down);
        QCOMPARE(f.current(), f.entry(2));
        QCOMPARE(spy.Count(ChangeCode::CurrentContactChanged), 2);
        QTest::keyClick(f.view.get(), Qt::Key_Right);  // next column, same row
        QCOMPARE(f.current(), f.entry(rows + 2));
        QCOMPARE(f.list().CellRect(rows + 2).left(), f.list().CellRect(0).left() + f.list().CellRect(0).width());
        QCOMPARE(f.list().CellRect(rows + 2).top(), f.list().CellRect(2).top());

        // ">>" on the last column shows the next page, selection in its first column.
        QTest::mouseClick(f.view->nextButton(), Qt::LeftButton);
        QCOMPARE(f.current(), f.entry(perPage + 2));
        QVERIFY(f.list().CellRect(0).isEmpty());  // page 0 is no longer shown
        QCOMPARE(f.list().CellRect(perPage).topLeft(), QPoint(0, 0));
        QTest::mouseClick(f.view->previousButton(), Qt::LeftButton);
        QCOMPARE(f.current(), f.entry(rows + 2));
        QTest::keyClick(f.view.get(), Qt::Key_Left);
        QTest::keyClick(f.view.get(), Qt::Key_Left);  // clamps at the first entry
        QCOMPARE(f.current(), f.entry(0));

        // The wheel turns a column per notch, as ">>" and "<<" do; half notches add up.
        for (const auto& [delta, expected] : {std::pair{-120, rows}, std::pair{-60, rows},
                                              std::pair{-60, 2 * rows}, std::pair{120, rows}}) {
            QWheelEvent wheel(QPointF(5, 5), f.view->mapToGlobal(QPointF(5, 5)), QPoint(),
                              QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                              false);
            QApplication::sendEvent(f.view.get(), &wheel);
            QCOMPARE(f.current(), f.entry(expected));
        }
        f.list().MoveSelection(-rows);

        // Beyond the end clamps to the last entry; once there nothing more happens.
        const int last = 2 * perPage + 2;
        QVERIFY(f.list().MoveSelection(10000));
        QCOMPARE(f.current(), f.entry(last));
        spy.changes.clear();
        QVERIFY(!f.list().MoveSelection(1));
        QTest::keyClick(f.view.get(), Qt::Key_Right);
        QCOMPARE(spy.changes.size(), std::size_t{0});
        f.model.state.RemoveListener(&spy);

        // Other keys are swallowed without effect.
        QTest::keyClick(f.view.get(), Qt::Key_A);
        QTest::keyClick(f.view.get(), Qt::Key_Home);
        QCOMPARE(f.current(), f.entry(last));
    }

    // Neither Tab nor a click on one of the buttons takes the arrow keys away from
    // the list.
    void arrowKeysStayWithTheList() {
        Fixture f;
        CContactsView& view = f.Show();
        AddNumbered(f.model, 4 * f.list().rows());
        f.model.state.Notify(ChangeCode::ListReset);
        QApplication::setActiveWindow(&view);
        QVERIFY(view.hasFocus());
        int expected = 0;
        const std::function<void()> detours[] = {
            [&] { QTest::keyClick(&view, Qt::Key_Tab); },
            [&] { QTest::keyClick(&view, Qt::Key_Backtab); },
            [&] { QTest::mouseClick(view.okButton(), Qt::LeftButton); },
            [&] {
                QTest::mouseClick(view.nextButton(), Qt::LeftButton);
                expected += f.list().rows();
            },
            [&] {
                QTest::mouseClick(view.previousButton(), Qt::LeftButton);
                expected -= f.list().rows();
            },
        };
        for (const auto& detour : detours) {
            detour();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
            ++expected;
            QCOMPARE(f.list().RevalidateSelection(), expected);
            QCOMPARE(QApplication::focusWidget(), &view);
        }
    }

    // The selection is the contact, not its place: when a re-sort or a removal
    // moves it and puts another contact where it was, the highlight, the page and
    // the next step follow the contact.
    void selectionFollowsItsContactWhenTheListMoves() {
        Fixture f;
        f.Show();
        QVERIFY(f.list().rows() > 4);
        const int perPage = f.list().rows() * ContactListPanel::kColumns;
        AddNumbered(f.model, 2 * perPage);
        f.model.state.Notify(ChangeCode::ListReset);
        const int start = perPage + 3;
        QVERIFY(f.list().MoveSelection(start));
        const ContactPtr selected = f.current();
        QCOMPARE(f.list().RevalidateSelection(), start);

        // A contact after it gets unread messages and goes to the top: the selected
        // one moves down and its neighbour takes its old place.
        SetFields(f.model.state, f.entry(start + 1),
                  [](ContactInfo& info) { info.unreadCount = 1; });
        QVERIFY(f.entry(start) != selected);
        QCOMPARE(f.list().RevalidateSelection(), start + 1);
        QCOMPARE(f.list().selection(), selected);
        QCOMPARE(f.current(), selected);
        QCOMPARE(f.list().CellRect(start + 1).topLeft(),
                 QPoint(0, (start + 1 - perPage) * f.list().rowHeight()));

        // A contact before it is removed: it moves up again.
        f.model.state.RemoveContact(f.entry(2));
        QCOMPARE(f.list().RevalidateSelection(), start);
        QCOMPARE(f.current(), selected);

        // Unread messages of its own: to the top, and the first page is shown.
        SetFields(f.model.state, selected, [](ContactInfo& info) { info.unreadCount = 5; });
        QCOMPARE(f.list().RevalidateSelection(), 0);
        QCOMPARE(f.list().CellRect(0).topLeft(), QPoint(0, 0));
        QVERIFY(f.list().CellRect(perPage).isEmpty());
        QVERIFY(f.list().MoveSelection(1));
        QCOMPARE(f.current(), f.entry(1));
    }

    // The presence reports of a whole list at sign-on, each delivered by the event
    // loop as it comes (the user-interface thread keeping up with the network): a
    // thousand changes are drawn in a few repaints, and the list is in order after.
    void aPresenceStormIsDrawnInAFewRepaints() {
        Fixture f;
        constexpr int kContacts = 1000;
        AddNumbered(f.model, kContacts);
        f.Show();
        f.model.state.Notify(ChangeCode::ListReset);
        EventLoopPoster poster(f.model.state);
        QTRY_VERIFY(!f.list().repaintPending());
        QCoreApplication::processEvents();
        PaintCounter counter;
        f.view->installEventFilter(&counter);
        const std::vector<ContactPtr> contacts = f.model.state.Contacts();
        std::int64_t activity = 0;
        for (const ContactPtr& contact : contacts) {
            // Each one active after the one before: the order turns round.
            contact->Update([&activity](ContactInfo& info) { info.lastActivity = ++activity; });
            f.model.state.Notify(ChangeCode::ContactChanged, contact, true);
            QCoreApplication::processEvents();
        }
        QTRY_VERIFY(!f.list().repaintPending());
        QCoreApplication::processEvents();
        QVERIFY2(counter.paints >= 1 && counter.paints <= kContacts / 20,
                 qPrintable(QString::number(counter.paints)));
        QCOMPARE(f.list().entries().size(), std::size_t{kContacts});
        QCOMPARE(f.entry(0), contacts.back());
        QCOMPARE(f.entry(kContacts - 1), contacts.front());
    }

    // A minimised window does not wake up for the clock; shown again, it does.
    void theClockSleepsWhileTheWindowIsMinimised() {
        Fixture f;
        f.Show();
        QVERIFY(f.view->clockRunning());
        f.view->showMinimized();
        QTRY_VERIFY(!f.view->clockRunning());  // at its next tick
        f.view->showNormal();
        QTRY_VERIFY(f.view->clockRunning());
    }

    void tapsSelectTheEntryUnderThePoint() {
        Fixture f;
        f.Show(QSize(241, 320));
        const int rows = f.list().rows();
        const int perPage = rows * ContactListPanel::kColumns;
        AddNumbered(f.model, 2 * perPage + 3);
        f.model.state.Notify(ChangeCode::ListReset);
        const QRect list = f.view->ComputeAreas().list;
        const int h = f.list().rowHeight();
        const int cw = list.width() / ContactListPanel::kColumns;

        QTest::mouseClick(f.view.get(), Qt::LeftButton, {}, QPoint(cw + 5, 2 * h + h / 2));
        QCOMPARE(f.current(), f.entry(rows + 2));
        // The last pixel column of an odd width still belongs to the second column.
        QTest::mouseClick(f.view.get(), Qt::LeftButton, {}, QPoint(list.right(), h / 2));
        QCOMPARE(f.current(), f.entry(rows));

        // On the last page, a tap below the last entry selects the last entry.
        QVERIFY(f.list().MoveSelection(2 * perPage - rows));
        QCOMPARE(f.current(), f.entry(2 * perPage));
        QTest::mouseClick(f.view.get(), Qt::LeftButton, {}, QPoint(cw + 5, h / 2));
        QCOMPARE(f.current(), f.entry(2 * perPage + 2));

        // Below the last whole row, and in the button bar, nothing happens.
        ChangeRecorder spy;
        f.model.state.AddListener(&spy);
        QVERIFY(!f.list().HitTest(QPoint(5, rows * h)));
        QVERIFY(!f.list().HitTest(QPoint(5, list.bottom() + 3)));
        QTest::mouseClick(f.view.get(), Qt::LeftButton, {}, QPoint(cw + 5, h / 2));  // same entry
        QCOMPARE(spy.changes.size(), std::size_t{0});
        f.model.state.RemoveListener(&spy);
    }

    void emptyListHasNoSelection() {
        Fixture f;
        CContactsView& view = f.Show();
        QTest::keyClick(&view, Qt::Key_Down);
        QTest::keyClick(&view, Qt::Key_Right);
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(f.list().SelectIndex(3), -1);
        QCOMPARE(f.list().RevalidateSelection(), -1);
        QCOMPARE(f.current(), nullptr);
        const QImage image = f.Grab();
        QCOMPARE(CountColour(image, view.ComputeAreas().list, QColor(229, 229, 229)), 0);
    }

    void tapOnConversationPanelClearsUnread() {
        Fixture f;
        ContactPtr contact = f.model.Add(Info(u"a", u"1", 0, 4));
        f.Show();
        QCOMPARE(f.current(), contact);
        ChangeRecorder spy;
        f.model.state.AddListener(&spy);
        const QPoint inPanel = f.view->ComputeAreas().history.center();
        QTest::mouseClick(f.view.get(), Qt::LeftButton, {}, inPanel);
        QCOMPARE(contact->Snapshot().unreadCount, std::uint16_t{0});
        QCOMPARE(spy.Count(ChangeCode::ContactChanged), 1);
        QTest::mouseClick(f.view.get(), Qt::LeftButton, {}, inPanel);
        QCOMPARE(spy.Count(ChangeCode::ContactChanged), 1);  // nothing left to clear
        f.model.state.RemoveListener(&spy);
    }

    void commandsReachTheFrame() {
        TempModel model;
        model.Add(Info(u"a", u"1"));
        CMainFrame frame;
        CommandRecorder application;
        frame.SetApplicationTarget(&application);
        frame.RegisterView(ViewKind::Contacts, [&model](QWidget* parent) {
            return new CContactsView(model.state, SessionProbe{}, parent);
        });
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        auto* view = static_cast<CContactsView*>(frame.activeView());
        QVERIFY(view->clockRunning());

        // Enter sends "Написать" at once; "OK" posts it.
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(application.received, std::vector<int>{cmd::kWrite});
        QTest::mouseClick(view->okButton(), Qt::LeftButton);
        QCOMPARE(application.received.size(), std::size_t{1});
        QTRY_COMPARE(application.received.size(), std::size_t{2});
        QCOMPARE(application.received.back(), cmd::kWrite);
        // The button commands are the view's own.
        QVERIFY(frame.RouteCommand(cmd::kNextColumn));
        QCOMPARE(application.received.size(), std::size_t{2});
    }

    // ---- Status line ----

    void statusLineFollowsTheConnectionState() {
        Fixture f;
        CContactsView& view = f.Show();
        QCOMPARE(view.statusLine().text(), QStringLiteral("Отключен"));
        QCOMPARE(view.statusLine().stringId(), str::kDisconnected);
        const int barWithStatus = view.ComputeAreas().buttonBar.top();

        // A refused login shows its reason instead of the connection error, and in
        // no other state.
        struct Row {
            int state;
            int refusal;
            QString text;
        };
        const std::vector<Row> rows = {
            {1, 0, "Отключен другим клиентом"},
            {2, 0, "Ошибка соединения"},
            {3, 0, "Открытие соединения"},
            {4, 0, "Соединение с сервером регистрации"},
            {6, 0, "Проверка имени и пароля"},
            {7, 0, ""},
            {8, 0, "Загруза оффлайн сообщений"},
            {9, 0, "Загрузка контактов"},
            {10, 0, ""},
            {0, 0, "Отключен"},
            {2, 0x0005, "Неверный номер или пароль"},
            {3, 0x0018, "Открытие соединения"},
            {2, 0x0018, "Слишком частые подключения, подождите"},  // its own text
            // The client's own refusals: the certificate or TLS itself.
            {2, kRefusalCertificateUntrusted, "Сертификат сервера не подтверждён"},
            {2, kRefusalCertificateChanged, "Сертификат сервера изменился"},
            {2, kRefusalTlsFailed, "Не удалось установить защищённое соединение"},
            {0, 0, "Отключен"},
        };
        for (const auto& [state, refusal, text] : rows) {
            f.connectionState = state;
            f.loginRefusal = refusal;
            f.model.state.Notify(ChangeCode::ConnectionStateChanged);
            QCOMPARE(view.statusLine().text(), text);
        }

        // Other changes do not read the state.
        f.connectionState = 3;
        f.model.state.Notify(ChangeCode::ListReset);
        QCOMPARE(view.statusLine().text(), QStringLiteral("Отключен"));

        // Online: no status line, and the rest moves down into its place.
        f.connectionState = 7;
        f.model.state.Notify(ChangeCode::ConnectionStateChanged);
        const CContactsView::Areas online = view.ComputeAreas();
        QCOMPARE(online.status.height(), 0);
        QVERIFY(online.buttonBar.top() > barWithStatus);
        QCOMPARE(view.previousButton()->geometry(), online.previous);
    }

    void statusLineReloadsOnlyOnAnotherString() {
        int state = 0;
        int changes = 0;
        StatusLine line([&state] { return state; }, [&changes] { ++changes; });
        line.OnAppStateChange(ChangeCode::ConnectionStateChanged, nullptr);
        QCOMPARE(changes, 1);
        line.OnAppStateChange(ChangeCode::ConnectionStateChanged, nullptr);
        QCOMPARE(changes, 1);
        state = 7;
        line.OnAppStateChange(ChangeCode::ConnectionStateChanged, nullptr);
        state = 10;  // also no text
        line.OnAppStateChange(ChangeCode::ConnectionStateChanged, nullptr);
        state = 42;  // unknown: no text either
        line.OnAppStateChange(ChangeCode::ConnectionStateChanged, nullptr);
        QCOMPARE(changes, 2);
        QCOMPARE(line.stringId(), 0);
        QVERIFY(line.text().isEmpty());
    }

    // ---- Layout ----

    void layoutFromTheClientSize() {
        Fixture f;
        CContactsView& view = f.Show(QSize(300, 400));
        const CContactsView::Areas a = view.ComputeAreas();
        const int statusHeight = QFontMetrics(view.font()).height();
        QCOMPARE(a.status, QRect(0, 400 - statusHeight, 300, statusHeight));
        const int historyHeight = (400 - statusHeight) * 20 / 100;
        QCOMPARE(a.history, QRect(0, a.status.top() - historyHeight, 300, historyHeight));
        // max(10% of 400, tallest bitmap 29 + 400 / 50) = 40
        QCOMPARE(a.buttonBar, QRect(0, a.history.top() - 40, 300, 40));
        QCOMPARE(a.list, QRect(0, 0, 300, a.buttonBar.top()));
        QCOMPARE(view.previousButton()->geometry(), QRect(0, a.buttonBar.top(), 100, 40));
        QCOMPARE(view.okButton()->geometry(), QRect(100, a.buttonBar.top(), 100, 40));
        QCOMPARE(view.nextButton()->geometry(), QRect(200, a.buttonBar.top(), 100, 40));

        // A short client area: the bitmap decides the bar's height.
        view.resize(301, 200);
        QCOMPARE(view.ComputeAreas().buttonBar.height(), 29 + 4);
        QCOMPARE(view.nextButton()->geometry().right(), 300);

        // Without the conversation panel the bar sits on the status line.
        f.model.SetShowHistory(false);
        view.OnInitialUpdate();
        const CContactsView::Areas b = view.ComputeAreas();
        QCOMPARE(b.history.height(), 0);
        QCOMPARE(b.buttonBar.bottom() + 1, b.status.top());
        QCOMPARE(view.okButton()->geometry(), b.ok);
    }

    // ---- Pixels ----

    void paintsBackgroundPanelAndHighlight() {
        Fixture f;
        f.model.Add(Info(u"a", u"1"));
        CContactsView& view = f.Show(QSize(240, 320));
        const QImage image = f.Grab();
        const CContactsView::Areas a = view.ComputeAreas();
        const int right = 239;
        // View background: (51, 51, 51) at the top and bottom, (102, 102, 102) at 30%.
        QCOMPARE(PixelAt(image, right, 0), QColor(51, 51, 51));
        QCOMPARE(PixelAt(image, right, 319), QColor(51, 51, 51));
        QCOMPARE(PixelAt(image, right, 320 * 30 / 100 - 1), QColor(102, 102, 102));

        // The panel box: sky blue at its top and bottom, steel blue between.
        const int t = a.history.height() * 5 / 100;
        QCOMPARE(PixelAt(image, 2, a.history.top()), QColor(98, 201, 236));
        QCOMPARE(PixelAt(image, 2, a.history.top() + t + 1), QColor(75, 158, 186));
        QCOMPARE(PixelAt(image, 2, a.history.bottom()), QColor(98, 201, 236));
        // The clock's sky-blue line at the left of the right fifth.
        const int clockLeft = a.history.width() - a.history.width() * 20 / 100;
        QCOMPARE(PixelAt(image, clockLeft, a.history.center().y()), QColor(98, 201, 236));

        // The selection highlight in the first cell, right of its short name.
        const QRect cell = f.list().CellRect(0);
        QCOMPARE(PixelAt(image, cell.right(), cell.top()), QColor(229, 229, 229));
        QCOMPARE(PixelAt(image, cell.right(), cell.top() + cell.height() / 2), QColor(76, 76, 76));
        QCOMPARE(PixelAt(image, cell.right(), cell.bottom()), QColor(76, 76, 76));
        // Nothing highlighted in the empty second column.
        QCOMPARE(CountColour(image, f.list().CellRect(0).translated(cell.width(), 0),
                             QColor(229, 229, 229)),
                 0);
    }

    void namesInTheirColours() {
        Fixture f;
        f.model.Add(Info(u"WWWW", u"online", 0, 0, 100));
        f.model.Add(Info(u"WWWW", u"open", 0, 0, 50, true));
        f.model.Add(Info(u"WWWW", u"offline", 1, 0, 40));
        f.model.Add(Info(u"WWWW", u"offline open", 1, 0, 20, true));
        f.model.Add(Info(u"WWWW WWWW WWWW WWWW WWWW WWWW WWWW", u"long", 0, 0, 30));
        f.Show();
        QCOMPARE(Uins(f.list().entries()),
                 QStringList({"open", "offline open", "online", "long", "offline"}));
        QFont exact = f.view->font();
        exact.setStyleStrategy(QFont::NoAntialias);  // glyph pixels in the pen colour
        f.view->setFont(exact);
        const QImage image = f.Grab();
        const QColor yellow(255, 255, 0), pink(255, 200, 200), white(255, 255, 255);
        auto nameArea = [&](int index) {
            return f.list().CellRect(index).adjusted(ContactListPanel::kNameIndent, 0, 0, 0);
        };
        // An open conversation is yellow (on the highlight too, and when offline),
        // an offline contact pink, anyone else white.
        const int glyphPixels = CountColour(image, nameArea(0), yellow);
        QVERIFY(glyphPixels > 20);
        QCOMPARE(CountColour(image, nameArea(1), yellow), glyphPixels);
        QCOMPARE(CountColour(image, nameArea(1), pink), 0);
        QCOMPARE(CountColour(image, nameArea(2), white), glyphPixels);
        QCOMPARE(CountColour(image, nameArea(4), pink), glyphPixels);
        QCOMPARE(CountColour(image, nameArea(4), white), 0);
        // A name too long for its cell ends in "…" inside it: nothing of it shows in
        // the empty cell of the second column beside it.
        QVERIFY(CountColour(image, nameArea(3), white) > glyphPixels);
        QImage expected(nameArea(3).size(), QImage::Format_RGB32);
        expected.fill(Qt::black);
        {
            QPainter painter(&expected);
            painter.setFont(exact);
            painter.setPen(white);
            painter.drawText(
                expected.rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                QFontMetrics(exact).elidedText(QStringLiteral("WWWW WWWW WWWW WWWW WWWW WWWW WWWW"),
                                               Qt::ElideRight, expected.width()));
        }
        QCOMPARE(CountColour(image, nameArea(3), white),
                 CountColour(expected, expected.rect(), white));
        const QRect beside = f.list().CellRect(3).translated(f.list().CellRect(3).width(), 0);
        QCOMPARE(CountColour(image, beside, white), 0);
    }

    void unreadBadge() {
        Fixture f;
        f.model.Add(Info(u"big", u"1", 0, 12345));
        f.model.Add(Info(u"one", u"2", 0, 7));
        f.model.Add(Info(u"none", u"3", 0, 0, 9));
        f.model.Add(Info(u"zero", u"4", 0, 0, 8));
        f.Show();
        QCOMPARE(Uins(f.list().entries()), QStringList({"1", "2", "3", "4"}));
        const QImage image = f.Grab();
        const QColor dark(51, 51, 51);
        auto iconBox = [&](int index) {
            const QRect cell = f.list().CellRect(index);
            return QRect(cell.left(), cell.top() + (cell.height() - 16) / 2, 16, 16);
        };
        // The badge's dark background, and white digits on it.
        const QRect badge = Bounds(image, iconBox(1), dark);
        QVERIFY(badge.width() >= 5 && badge.height() >= 8);
        QCOMPARE(badge.right(), iconBox(1).right() - 1);  // right-aligned in the box less 1
        QCOMPARE(badge.bottom(), iconBox(1).bottom() - 1);
        QVERIFY(CountPixels(image, badge, [](const QColor& c) {
                    return c.red() > 200 && c.red() == c.green() && c.green() == c.blue();
                }) >= 4);
        // No badge for a count of 0: the same icon on the same background.
        QCOMPARE(CountColour(image, iconBox(2), dark), CountColour(image, iconBox(3), dark));
        QVERIFY(CountColour(image, iconBox(2), dark) < 5);
        // Every digit of a large count is shown, from the cell's left edge on.
        const int digits = QFontMetrics(f.list().badgeFont()).horizontalAdvance("12345");
        const QRect row0 = f.list().CellRect(0);
        int darkColumns = 0;
        for (int x = row0.left(); x < row0.left() + 2 * digits; ++x) {
            if (CountColour(image, QRect(x, row0.top(), 1, row0.height()), dark) > 0) ++darkColumns;
        }
        QVERIFY2(darkColumns >= digits, qPrintable(QString::number(darkColumns)));
    }
};

QTEST_MAIN(ContactsViewTest)
#include "contacts_view_test.moc"
