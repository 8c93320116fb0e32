// The accessible tree of the custom-drawn parts, read as a screen reader reads it.
#include "ui/accessibility.h"

#include <QAccessible>
#include <QLabel>

#include "tests/ui/accessibility_test_support.h"
#include "ui/image_button.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::test;

namespace {

MessageEntry Entry(std::u16string text, MessageDirection direction, std::int64_t time) {
    return MessageEntry{std::move(text), time, direction};
}

// Three contacts, listed in the order 100, 300, 200.
void AddThree(TempModel& model) {
    model.Add(Info(u"Вера", u"100", 0, 2, 50));
    model.Add(Info(u"Пётр", u"200", 1, 0, 40));
    model.Add(Info(u"", u"300", 2, 0, 30));
}

}  // namespace

class AccessibilityTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        UseFixedTime();
        QApplication::setFont(ApplicationFont());
    }
    void cleanupTestCase() { platform::SetClockForTesting(nullptr); }

    // ---- What is said ----

    void presenceWords() {
        // The status menu's words, lower case; offline has its own.
        const QStringList expected{"в сети",       "не в сети", "отсутствую",    "нет на месте",
                                   "занят",        "не беспокоить", "готов болтать", "невидим"};
        for (int status = 0; status < 8; ++status) {
            QCOMPARE(PresenceWords(status), expected[status]);
        }
        QCOMPARE(PresenceWords(-1), QString());
        QCOMPARE(PresenceWords(8), QString());
    }

    void contactItemText_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("unread");
        QTest::addColumn<bool>("open");
        QTest::addColumn<QString>("expected");
        QTest::newRow("online") << "Вера" << 0 << 0 << false << "Вера, в сети";
        QTest::newRow("unread") << "Вера" << 0 << 2 << false << "Вера, в сети, 2 непрочитанных";
        QTest::newRow("one") << "Вера" << 2 << 1 << false << "Вера, отсутствую, 1 непрочитанное";
        QTest::newRow("eleven") << "Вера" << 0 << 11 << false << "Вера, в сети, 11 непрочитанных";
        QTest::newRow("twenty-one") << "Вера" << 0 << 21 << false
                                    << "Вера, в сети, 21 непрочитанное";
        QTest::newRow("open, offline")
            << "Вера" << 1 << 5 << true << "Вера, не в сети, переписка открыта, 5 непрочитанных";
        QTest::newRow("no name: the number") << "" << 0 << 0 << false << "12345, в сети";
        QTest::newRow("unknown presence") << "Вера" << 42 << 0 << false << "Вера";
    }
    void contactItemText() {
        QFETCH(QString, name);
        QFETCH(int, status);
        QFETCH(int, unread);
        QFETCH(bool, open);
        QFETCH(QString, expected);
        const ContactInfo info = Info(name.toStdU16String(), u"12345", status,
                                      static_cast<std::uint16_t>(unread), 0, open);
        QCOMPARE(ContactItemText(info), expected);
    }

    void historyEntryText_data() {
        QTest::addColumn<int>("direction");
        QTest::addColumn<qint64>("time");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("incoming") << int(MessageDirection::In) << qint64(kFixedNow) << "Привет"
                                  << "Вера, 22:13: Привет";
        QTest::newRow("own") << int(MessageDirection::Out) << qint64(kFixedNow) << "Пока"
                             << "Я, 22:13: Пока";
        QTest::newRow("system: nobody wrote it")
            << int(MessageDirection::System) << qint64(kFixedNow) << "Авторизация получена"
            << "22:13: Авторизация получена";
        QTest::newRow("unknown time") << int(MessageDirection::In) << qint64(0) << "Привет"
                                      << "Вера: Привет";
        QTest::newRow("lines become one") << int(MessageDirection::In) << qint64(kFixedNow)
                                          << "раз\r\nдва\nтри" << "Вера, 22:13: раз два три";
    }
    void historyEntryText() {
        QFETCH(int, direction);
        QFETCH(qint64, time);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const MessageEntry entry =
            Entry(text.toStdU16String(), static_cast<MessageDirection>(direction), time);
        QCOMPARE(HistoryEntryText(entry, QStringLiteral("Вера")), expected);
    }

    // ---- The contact list ----

    void contactListIsAListOfTheListedContacts() {
        A11yHarness h;
        AddThree(h.model);
        CContactsView* view = h.ShowContacts();

        QAccessibleInterface* list = ContactList(view);
        QVERIFY(list != nullptr);
        QCOMPARE(list->text(QAccessible::Name), QStringLiteral("Список контактов"));
        QCOMPARE(list->parent(), Accessible(view));
        QCOMPARE(ChildNames(list), QStringList({"Вера, в сети, 2 непрочитанных",
                                                "300, отсутствую", "Пётр, не в сети"}));
        for (int i = 0; i < list->childCount(); ++i) {
            QAccessibleInterface* item = list->child(i);
            QCOMPARE(item->role(), QAccessible::ListItem);
            QCOMPARE(item->parent(), list);
            QCOMPARE(list->indexOfChild(item), i);
            QCOMPARE(Accessible(view)->indexOfChild(list), 0);
            QVERIFY(item->state().selectable);
            QVERIFY(item->state().focusable);
            // The same item each time it is asked for.
            QCOMPARE(list->child(i), item);
        }
        // The list is inside the view, the items inside the list.
        QVERIFY(Accessible(view)->rect().contains(list->rect()));
        QVERIFY(list->rect().contains(list->child(2)->rect()));
        QCOMPARE(list->childAt(list->child(1)->rect().center().x(),
                               list->child(1)->rect().center().y()),
                 list->child(1));

        // The view's own widgets come after its painted parts.
        QAccessibleInterface* viewIface = Accessible(view);
        QAccessibleInterface* previous = Accessible(view->previousButton());
        QCOMPARE(previous->parent(), viewIface);
        QCOMPARE(viewIface->child(viewIface->indexOfChild(previous)), previous);
    }

    void selectionAndFocusFollowTheCurrentContact() {
        A11yHarness h;
        AddThree(h.model);
        CContactsView* view = h.ShowContacts();
        QVERIFY(QTest::qWaitForWindowActive(&h.frame));
        view->setFocus();
        QAccessibleInterface* list = ContactList(view);

        auto selected = [&] {
            QList<int> rows;
            for (int i = 0; i < list->childCount(); ++i) {
                if (list->child(i)->state().selected) rows << i;
            }
            return rows;
        };
        QCOMPARE(selected(), QList<int>{0});
        QVERIFY(list->child(0)->state().focused);
        QCOMPARE(Accessible(view)->focusChild(), list->child(0));

        view->listPanel().MoveSelection(2);
        QCOMPARE(selected(), QList<int>{2});
        QVERIFY(list->child(2)->state().focused);
        QVERIFY(!list->child(0)->state().focused);
        h.model.state.SetCurrentContact(h.model.state.FindContact(u"300"));
        QCOMPARE(selected(), QList<int>{1});

        // Pressing an item selects it, as a tap does.
        QAccessibleActionInterface* action = list->child(0)->actionInterface();
        QVERIFY(action != nullptr);
        action->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(h.model.state.CurrentContact(), h.model.state.FindContact(u"100"));
        QCOMPARE(selected(), QList<int>{0});

        // Without the focus the selection stays and nothing is focused.
        view->clearFocus();
        QVERIFY(list->child(0)->state().selected);
        QVERIFY(!list->child(0)->state().focused);
        QVERIFY(Accessible(view)->focusChild() != list->child(0));
    }

    void itemsOfTheNextPageAreOffscreenAndLeftContactsInvalid() {
        A11yHarness h;
        for (int i = 0; i < 60; ++i) {
            const std::u16string number = QString::number(1000 + i).toStdU16String();
            h.model.Add(Info(u"c" + number, number, 0, 0, 100000 - i));
        }
        CContactsView* view = h.ShowContacts();
        QAccessibleInterface* list = ContactList(view);
        QCOMPARE(list->childCount(), 60);
        QVERIFY(!list->child(0)->state().offscreen);
        QVERIFY(list->child(59)->state().offscreen);
        QVERIFY(list->child(59)->rect().isEmpty());

        QAccessibleInterface* gone = list->child(1);
        h.model.state.RemoveContact(h.model.state.FindContact(u"1001"));
        QCOMPARE(list->childCount(), 59);
        QVERIFY(!ChildNames(list).contains(QStringLiteral("c1001, в сети")));
        QVERIFY(list->child(1) != gone);
    }

    // ---- The conversations ----

    void conversationIsAListOfEntriesNewestFirst() {
        A11yHarness h;
        const ContactPtr vera = h.AddWithHistory(
            Info(u"Вера", u"100"),
            {Entry(u"Привет", MessageDirection::In, kFixedNow - 120),
             Entry(u"Здравствуй", MessageDirection::Out, kFixedNow - 60),
             Entry(u"Авторизация получена", MessageDirection::System, kFixedNow)});
        h.ShowContacts();
        CMessageView* view = h.Open(vera);

        // The contact list is kept, hidden, behind the conversation.
        QVERIFY(ContactList(h.contacts())->state().invisible);
        QVERIFY(ContactList(h.contacts())->child(0)->state().invisible);
        QVERIFY(!Conversation(view)->state().invisible);

        QAccessibleInterface* iface = Accessible(view);
        // The view and its header line are named after the contact.
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Вера, в сети"));
        QAccessibleInterface* header = ChildWithRole(iface, QAccessible::Heading);
        QVERIFY(header != nullptr);
        QCOMPARE(header->text(QAccessible::Name), QStringLiteral("Вера, в сети"));
        vera->Update([](ContactInfo& info) {
            info.typingUntilMs = ContactInfo::TypingClockMs() + 60000;
        });
        QCOMPARE(header->text(QAccessible::Name), QStringLiteral("Вера, в сети, печатает"));

        QAccessibleInterface* conversation = Conversation(view);
        QCOMPARE(conversation->text(QAccessible::Name), QStringLiteral("Переписка"));
        QCOMPARE(ChildNames(conversation),
                 QStringList({"22:13: Авторизация получена", "Я, 22:12: Здравствуй",
                              "Вера, 22:11: Привет"}));
        QAccessibleInterface* newest = conversation->child(0);
        QCOMPARE(newest->role(), QAccessible::ListItem);
        QCOMPARE(conversation->indexOfChild(conversation->child(2)), 2);
        QCOMPARE(newest->text(QAccessible::Description), FormatLocalTime(kFixedNow, "%x %X"));

        // The compact conversation under the list leaves system entries out.
        h.frame.SwitchView(ViewKind::Contacts, menubar::kMain);
        QCOMPARE(ChildNames(Conversation(h.contacts())),
                 QStringList({"Я, 22:12: Здравствуй", "Вера, 22:11: Привет"}));

        // Another contact: the entries of the first are no longer there.
        const ContactPtr empty = h.AddWithHistory(Info(u"Пётр", u"200"), {});
        h.model.state.SetCurrentContact(empty);
        QVERIFY(!newest->isValid());
        QCOMPARE(conversation->childCount(), 0);
        QCOMPARE(conversation->text(QAccessible::Description), QStringLiteral("Переписки не найдено"));
    }

    void entriesFollowAppendsAndRemovals() {
        A11yHarness h;
        const ContactPtr vera =
            h.AddWithHistory(Info(u"Вера", u"100"),
                             {Entry(u"раз", MessageDirection::Out, kFixedNow)});
        h.ShowContacts();
        QAccessibleInterface* conversation = Conversation(h.Open(vera));
        QCOMPARE(conversation->childCount(), 1);
        QAccessibleInterface* first = conversation->child(0);

        vera->History()->Append(Entry(u"два", MessageDirection::Out, kFixedNow));
        QCOMPARE(ChildNames(conversation), QStringList({"Я, 22:13: два", "Я, 22:13: раз"}));
        // Appending keeps the items of the older entries.
        QCOMPARE(conversation->child(1), first);

        // A message that was not sent is taken out again.
        QVERIFY(vera->History()->RemoveNewest(MessageDirection::Out, u"два"));
        QCOMPARE(ChildNames(conversation), QStringList({"Я, 22:13: раз"}));
    }

    // ---- Buttons, the header strip, the clock and the status line ----

    void buttonsHaveNamesAndTheirEnabledState() {
        A11yHarness h;
        const ContactPtr vera = h.model.Add(Info(u"Вера", u"100"));
        CContactsView* contacts = h.ShowContacts();
        QCOMPARE(Accessible(contacts->previousButton())->text(QAccessible::Name),
                 QStringLiteral("Предыдущий столбец"));
        QCOMPARE(Accessible(contacts->okButton())->text(QAccessible::Name),
                 QStringLiteral("Написать"));
        QCOMPARE(Accessible(contacts->nextButton())->text(QAccessible::Name),
                 QStringLiteral("Следующий столбец"));
        QCOMPARE(Accessible(contacts->okButton())->role(), QAccessible::Button);

        CMessageView* message = h.Open(vera);
        QCOMPARE(Accessible(message->sendButton())->text(QAccessible::Name),
                 QStringLiteral("Отправить"));

        // A soft key names its command and says when it cannot be used.
        h.frame.SetMenuBar(menubar::kSettings);
        QAccessibleInterface* save = Accessible(h.frame.softKey(1));
        QCOMPARE(save->text(QAccessible::Name), QStringLiteral("Сохранить"));
        h.frame.SetMenuBar(0);
        QVERIFY(save->state().disabled);
        h.frame.SetMenuBar(menubar::kSettings);
        QVERIFY(!save->state().disabled);
    }

    void headerStripSaysTitleNumberAndPresence() {
        A11yHarness h;
        h.ShowContacts();
        QAccessibleInterface* header = Accessible(h.frame.headerStrip());
        QCOMPARE(header->role(), QAccessible::ToolBar);
        QCOMPARE(header->text(QAccessible::Name), QStringLiteral("ZORBEL!"));
        h.frame.SetOwnPresence(QStringLiteral("123456"), 2);
        QCOMPARE(header->text(QAccessible::Name), QStringLiteral("ZORBEL!, 123456, отсутствую"));
        QCOMPARE(Accessible(h.frame.ownIconLabel())->text(QAccessible::Name),
                 QStringLiteral("отсутствую"));
        QVERIFY(header->indexOfChild(Accessible(h.frame.okButton())) >= 0);
        h.frame.SetOwnPresence(QString(), 0);
        QCOMPARE(header->text(QAccessible::Name), QStringLiteral("ZORBEL!"));
    }

    void clockAndStatusLine() {
        A11yHarness h;
        h.model.Add(Info(u"Вера", u"100"));
        CContactsView* view = h.ShowContacts();
        QAccessibleInterface* iface = Accessible(view);

        QAccessibleInterface* clock = ChildWithRole(iface, QAccessible::StaticText);
        QVERIFY(clock != nullptr);
        QCOMPARE(clock->text(QAccessible::Name),
                 FormatLocalTime(kFixedNow, "%x") + " " + FormatLocalTime(kFixedNow, "%X"));
        QCOMPARE(clock->text(QAccessible::Description),
                 QStringLiteral("получено 0.0 КБ, отправлено 0.0 КБ"));
        QVERIFY(view->rect().contains(view->mapFromGlobal(clock->rect().center())));

        // The status line is there while it says something.
        QAccessibleInterface* status = ChildWithRole(iface, QAccessible::StatusBar);
        QVERIFY(status != nullptr);
        QVERIFY(status->state().invisible);
        h.connectionState = static_cast<int>(ConnState::Disconnected);
        h.model.state.Notify(ChangeCode::ConnectionStateChanged, nullptr);
        QCOMPARE(status->text(QAccessible::Name), QStringLiteral("Отключен"));
        QVERIFY(!status->state().invisible);

        // Without the conversation panel there is no clock to see.
        h.model.SetShowHistory(false);
        QVERIFY(clock->state().invisible);
        QVERIFY(Conversation(view)->state().invisible);
    }
};

QTEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
