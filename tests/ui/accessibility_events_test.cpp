// What a screen reader is told as things change: the selection and focus of the
// contact list, and messages arriving in the conversation in front.
//
// Qt hands accessibility events on only while its bridge to AT-SPI is on, which
// the X11 platform has and the offscreen one does not. The test runs on a private
// X server and session bus (with_display.sh), where it stands in for the
// accessibility bus service, and captures the events with an update handler before
// they would reach the bridge.
#include <QAccessible>
#include <QDBusConnection>
#include <QPlainTextEdit>

#include "net/session_impl.h"
#include "protocol/messenger_session.h"
#include "tests/ui/accessibility_test_support.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::test;

namespace {

// The accessibility bus service: tells Qt's bridge to use the session bus.
class AccessibilityBus : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.a11y.Bus")

public slots:
    Q_SCRIPTABLE QString GetAddress() { return qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"); }
};

struct Event {
    QAccessible::Event type;
    QAccessible::Role role;
    QString name;
};

std::vector<Event>& Events() {
    static std::vector<Event> events;
    return events;
}

void Record(QAccessibleEvent* event) {
    QAccessibleInterface* iface = event->accessibleInterface();
    if (iface == nullptr) return;
    Events().push_back({event->type(), iface->role(), iface->text(QAccessible::Name)});
}

// The names of the recorded events of `type` on interfaces of `role`, in order.
QStringList Names(QAccessible::Event type, QAccessible::Role role) {
    QStringList names;
    for (const Event& event : Events()) {
        if (event.type == type && event.role == role) names << event.name;
    }
    return names;
}

// The role and name of the last focus event.
QString LastFocus() {
    for (auto it = Events().rbegin(); it != Events().rend(); ++it) {
        if (it->type == QAccessible::Focus) {
            return QStringLiteral("%1 %2").arg(int(it->role)).arg(it->name);
        }
    }
    return {};
}

QString Item(const QString& name) {
    return QStringLiteral("%1 %2").arg(int(QAccessible::ListItem)).arg(name);
}

}  // namespace

class AccessibilityEventsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        UseFixedTime();
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "a11y");
        QVERIFY(bus.registerObject("/org/a11y/bus", &bus_, QDBusConnection::ExportScriptableSlots));
        QVERIFY(bus.registerService("org.a11y.Bus"));
        QTRY_VERIFY(QAccessible::isActive());
        QAccessible::installUpdateHandler(&Record);
    }
    void cleanupTestCase() {
        QAccessible::installUpdateHandler(nullptr);
        platform::SetClockForTesting(nullptr);
    }
    void init() { Events().clear(); }

    void selectionAndFocusFollowTheCurrentContact() {
        A11yHarness h;
        h.model.Add(Info(u"Вера", u"100", 0, 2, 50));
        h.model.Add(Info(u"Пётр", u"200", 1, 0, 40));
        h.model.Add(Info(u"", u"300", 2, 0, 30));
        CContactsView* view = h.ShowContacts();
        h.frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&h.frame));

        // The view takes the focus; the selected contact has it in the end.
        view->setFocus();
        QTRY_COMPARE(LastFocus(), Item("Вера, в сети, 2 непрочитанных"));

        Events().clear();
        view->listPanel().MoveSelection(1);
        QCOMPARE(Names(QAccessible::SelectionRemove, QAccessible::ListItem),
                 QStringList{"Вера, в сети, 2 непрочитанных"});
        QCOMPARE(Names(QAccessible::Selection, QAccessible::ListItem),
                 QStringList{"300, отсутствую"});
        QCOMPARE(LastFocus(), Item("300, отсутствую"));

        // Without the focus the selection moves, the focus does not.
        view->clearFocus();
        Events().clear();
        h.model.state.SetCurrentContact(h.model.state.FindContact(u"200"));
        QCOMPARE(Names(QAccessible::Selection, QAccessible::ListItem),
                 QStringList{"Пётр, не в сети"});
        QCOMPARE(LastFocus(), QString());

        // The selected contact comes online: the list re-sorts, the selection stays,
        // and its item's new name is told.
        Events().clear();
        const ContactPtr petr = h.model.state.FindContact(u"200");
        petr->Update([](ContactInfo& info) { info.status = 0; });
        h.model.state.Notify(ChangeCode::ContactChanged, petr);
        QCOMPARE(Names(QAccessible::NameChanged, QAccessible::ListItem),
                 QStringList{"Пётр, в сети"});
        QCOMPARE(Names(QAccessible::Selection, QAccessible::ListItem), QStringList());

        // Another contact's change tells nothing.
        Events().clear();
        const ContactPtr vera = h.model.state.FindContact(u"100");
        vera->Update([](ContactInfo& info) { info.status = 2; });
        h.model.state.Notify(ChangeCode::ContactChanged, vera);
        QCOMPARE(Names(QAccessible::NameChanged, QAccessible::ListItem), QStringList());
    }

    void incomingMessagesOfTheConversationInFrontAreAnnounced() {
        A11yHarness h;
        MessengerSession network(h.model.state);
        Connection link = network.NetForTesting().CurrentConnection();
        const ContactPtr vera = h.AddWithHistory(
            Info(u"Вера", u"100"), {MessageEntry{u"старое", kFixedNow - 3600, MessageDirection::In}});
        h.AddWithHistory(Info(u"Пётр", u"200"),
                         {MessageEntry{u"давнее", kFixedNow - 7200, MessageDirection::In}});
        h.ShowContacts();
        CMessageView* view = h.Open(vera);
        h.frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&h.frame));
        A11yHarness::Settle();

        Events().clear();
        network.OnMessage(link, u"100", u"Привет");
        network.OnMessage(link, u"200", u"Не тебе");
        A11yHarness::Settle();
        // Once, by the conversation in front, and the entry is a new item of its list.
        QCOMPARE(Names(QAccessible::Alert, QAccessible::Notification),
                 QStringList{"Вера, 22:13: Привет"});
        QCOMPARE(Names(QAccessible::ObjectShow, QAccessible::Notification),
                 QStringList{"Вера, 22:13: Привет"});
        QCOMPARE(Names(QAccessible::ObjectCreated, QAccessible::ListItem),
                 QStringList{"Вера, 22:13: Привет"});
        QCOMPARE(ChildNames(Conversation(view)).value(0), QStringLiteral("Вера, 22:13: Привет"));

        // One's own message is a new item, not an announcement.
        Events().clear();
        view->inputBox()->setPlainText(QStringLiteral("Пока"));
        view->Send();
        A11yHarness::Settle();
        QCOMPARE(Names(QAccessible::ObjectCreated, QAccessible::ListItem),
                 QStringList{"Я, 22:13: Пока"});
        QCOMPARE(Names(QAccessible::Alert, QAccessible::Notification), QStringList());

        // Another conversation shown: what it held already is not announced.
        Events().clear();
        h.model.state.SetCurrentContact(h.model.state.FindContact(u"200"));
        A11yHarness::Settle();
        QCOMPARE(Names(QAccessible::Alert, QAccessible::Notification), QStringList());

        // The contact list shows the current conversation too, while its panel is on.
        h.frame.SwitchView(ViewKind::Contacts, menubar::kMain);
        Events().clear();
        network.OnMessage(link, u"200", u"Снова");
        A11yHarness::Settle();
        QCOMPARE(Names(QAccessible::Alert, QAccessible::Notification),
                 QStringList{"Пётр, 22:13: Снова"});
        h.model.SetShowHistory(false);
        Events().clear();
        network.OnMessage(link, u"200", u"Не видно");
        A11yHarness::Settle();
        QCOMPARE(Names(QAccessible::Alert, QAccessible::Notification), QStringList());
    }

private:
    AccessibilityBus bus_;
};

QTEST_MAIN(AccessibilityEventsTest)
#include "accessibility_events_test.moc"
