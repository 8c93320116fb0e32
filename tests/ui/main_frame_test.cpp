#include "ui/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QTest>
#include <functional>
#include <map>
#include <vector>

#include "resources/command_ids.h"
#include "ui/drawing_kit.h"
#include "ui/image_button.h"

using namespace pellox;
using namespace pellox::ui;

namespace {

// A view that records what the frame does with it and answers commands from a
// table filled by the test.
class TestView : public FrameView {
public:
    using FrameView::FrameView;

    void OnInitialUpdate() override { ++initialUpdates; }

    bool OnCommand(int id) override {
        auto it = handlers.find(id);
        if (it == handlers.end()) return false;
        received.push_back(id);
        if (it->second) it->second();
        return true;
    }
    std::optional<CommandState> QueryCommand(int id) override {
        if (handlers.count(id) == 0) return std::nullopt;
        return CommandState{};
    }

    int initialUpdates = 0;
    std::vector<int> received;
    std::map<int, std::function<void()>> handlers;
};

// The application object's stand-in: states and actions per command.
class TestApplication : public CommandTarget {
public:
    bool OnCommand(int id) override {
        if (states.count(id) == 0) return false;
        received.push_back(id);
        if (auto it = actions.find(id); it != actions.end()) it->second();
        return true;
    }
    std::optional<CommandState> QueryCommand(int id) override {
        auto it = states.find(id);
        if (it == states.end()) return std::nullopt;
        return it->second;
    }

    std::map<int, CommandState> states;
    std::map<int, std::function<void()>> actions;
    std::vector<int> received;
};

// Registers a counting factory for every kind of view.
struct Factories {
    explicit Factories(CMainFrame& frame) {
        for (ViewKind kind :
             {ViewKind::Contacts, ViewKind::Message, ViewKind::User, ViewKind::Settings}) {
            frame.RegisterView(kind, [this, kind](QWidget* parent) {
                auto* view = new TestView(parent);
                created[kind].push_back(view);
                return view;
            });
        }
    }
    int count(ViewKind kind) const {
        auto it = created.find(kind);
        return it == created.end() ? 0 : static_cast<int>(it->second.size());
    }
    TestView* last(ViewKind kind) {
        return created[kind].empty() ? nullptr : created[kind].back().data();
    }

    std::map<ViewKind, std::vector<QPointer<TestView>>> created;
};

void DeleteDeferred() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QStringList ActionTexts(QMenu* menu) {
    QStringList texts;
    for (QAction* action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

QAction* FindAction(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text) return action;
    }
    return nullptr;
}

}  // namespace

class MainFrameTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setFont(ApplicationFont()); }

    void portraitWindowWithTitle() {
        CMainFrame frame;
        QCOMPARE(frame.size(), QSize(480, 640));
        QCOMPARE(frame.windowTitle(), QStringLiteral(" ZORBEL!"));
        QCOMPARE(frame.titleLabel()->text(), QStringLiteral(" ZORBEL!"));
        QVERIFY(!frame.windowIcon().isNull());
        QCOMPARE(frame.activeView(), nullptr);
        QVERIFY(!frame.activeViewKind().has_value());
    }

    void switchViewKeepsContactsAndConversation() {
        CMainFrame frame;
        Factories factories(frame);
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        TestView* contacts = factories.last(ViewKind::Contacts);
        QVERIFY(contacts != nullptr);
        QCOMPARE(frame.activeView(), contacts);
        QCOMPARE(frame.activeViewKind(), ViewKind::Contacts);
        QCOMPARE(frame.menuBarId(), menubar::kMain);
        QCOMPARE(contacts->initialUpdates, 1);

        // Switching to the active kind does nothing at all.
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kSettings));
        QCOMPARE(contacts->initialUpdates, 1);
        QCOMPARE(frame.menuBarId(), menubar::kMain);

        QVERIFY(frame.SwitchView(ViewKind::Message, menubar::kMessage));
        TestView* message = factories.last(ViewKind::Message);
        QCOMPARE(frame.activeView(), message);
        QCOMPARE(frame.menuBarId(), menubar::kMessage);
        DeleteDeferred();
        QVERIFY(factories.created[ViewKind::Contacts].back() != nullptr);  // alive
        QVERIFY(contacts->isHidden());
        QCOMPARE(frame.findView(ViewKind::Contacts), contacts);

        // Back and forth: the same two views, re-attached, each initial update run.
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        QVERIFY(frame.SwitchView(ViewKind::Message, menubar::kMessage));
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        DeleteDeferred();
        QCOMPARE(factories.count(ViewKind::Contacts), 1);
        QCOMPARE(factories.count(ViewKind::Message), 1);
        QCOMPARE(frame.activeView(), contacts);
        QCOMPARE(contacts->initialUpdates, 3);
        QCOMPARE(message->initialUpdates, 2);
        QVERIFY(message->isHidden());
        QVERIFY(!contacts->isHidden());
        QCOMPARE(frame.findView(ViewKind::Message), message);
    }

    void switchViewRecreatesForms() {
        CMainFrame frame;
        Factories factories(frame);
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        QVERIFY(frame.SwitchView(ViewKind::User, menubar::kUserAdd));
        QPointer<TestView> firstForm = factories.last(ViewKind::User);
        QCOMPARE(frame.menuBarId(), menubar::kUserAdd);

        QVERIFY(frame.SwitchView(ViewKind::Settings, menubar::kSettings));
        DeleteDeferred();
        QVERIFY(firstForm.isNull());  // destroyed when another view was shown
        QPointer<TestView> settings = factories.last(ViewKind::Settings);
        QVERIFY(!settings.isNull());

        QVERIFY(frame.SwitchView(ViewKind::User, menubar::kUserInfo));
        DeleteDeferred();
        QVERIFY(settings.isNull());
        QCOMPARE(factories.count(ViewKind::User), 2);
        QCOMPARE(factories.last(ViewKind::User)->initialUpdates, 1);
        QCOMPARE(frame.findView(ViewKind::Settings), nullptr);

        QVERIFY(frame.SwitchView(ViewKind::Settings, menubar::kSettings));
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kNone));  // 0 keeps the bar
        QCOMPARE(frame.menuBarId(), menubar::kSettings);
        DeleteDeferred();
        QCOMPARE(factories.count(ViewKind::Settings), 2);
        QCOMPARE(factories.count(ViewKind::Contacts), 1);
        QVERIFY(factories.last(ViewKind::Settings) == nullptr);
    }

    void switchViewWithoutFactoryChangesNothing() {
        CMainFrame frame;
        auto* contacts = new TestView;
        frame.RegisterView(ViewKind::Contacts, [contacts](QWidget*) { return contacts; });
        frame.RegisterView(ViewKind::Settings, [](QWidget*) { return nullptr; });
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        QCOMPARE(contacts->parentWidget() != nullptr, true);  // adopted by the frame

        QVERIFY(!frame.SwitchView(ViewKind::Message, menubar::kMessage));
        QVERIFY(!frame.SwitchView(ViewKind::Settings, menubar::kSettings));
        QCOMPARE(frame.activeView(), contacts);
        QCOMPARE(frame.menuBarId(), menubar::kMain);
        QVERIFY(!contacts->isHidden());
    }

    void commandsGoFromViewToFrameToApplication() {
        CMainFrame frame;
        Factories factories(frame);
        TestApplication app;
        frame.SetApplicationTarget(&app);
        app.states[cmd::kSettings] = {};
        app.states[cmd::kWrite] = {true, false};
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        TestView* view = factories.last(ViewKind::Contacts);
        view->handlers[cmd::kWrite] = nullptr;

        // The view comes first: the application does not see a command it handled.
        QVERIFY(frame.RouteCommand(cmd::kWrite));
        QCOMPARE(view->received, std::vector<int>{cmd::kWrite});
        QVERIFY(app.received.empty());

        QVERIFY(frame.RouteCommand(cmd::kSettings));
        QCOMPARE(app.received, std::vector<int>{cmd::kSettings});

        QVERIFY(!frame.RouteCommand(cmd::kStatusAway));  // no handler anywhere
        QVERIFY(!frame.QueryRoute(cmd::kStatusAway).has_value());

        // The first target with a handler decides the state.
        app.states[cmd::kWrite] = {false, false};
        QVERIFY(frame.QueryRoute(cmd::kWrite)->enabled);
        view->handlers.clear();
        QVERIFY(!frame.QueryRoute(cmd::kWrite)->enabled);
    }

    void commandOneMinimisesUnlessTheViewTakesIt() {
        CMainFrame frame;
        Factories factories(frame);
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));

        QVERIFY(frame.RouteCommand(cmd::kOk));
        QTRY_VERIFY(frame.isMinimized());
        frame.ShowMainWindow();
        QTRY_VERIFY(!frame.isMinimized());

        // The header's "ok" button sends command 1 through the same route.
        QTest::mouseClick(frame.okButton(), Qt::LeftButton);
        QTRY_VERIFY(frame.isMinimized());
        frame.ShowMainWindow();
        QTRY_VERIFY(!frame.isMinimized());

        // A view that handles 1 (send, save) keeps the window as it is.
        TestView* view = factories.last(ViewKind::Contacts);
        view->handlers[cmd::kOk] = nullptr;
        QTest::mouseClick(frame.okButton(), Qt::LeftButton);
        QTRY_COMPARE(view->received.size(), size_t{1});
        QVERIFY(!frame.isMinimized());
    }

    void leftKeyOpensTheMenuWithItsEnabling() {
        CMainFrame frame;
        Factories factories(frame);
        TestApplication app;
        frame.SetApplicationTarget(&app);
        app.states[cmd::kConnect] = {true, false};
        app.states[cmd::kDisconnect] = {false, false};
        app.states[cmd::kShowOnlyOnline] = {true, true};
        app.states[cmd::kExit] = {};
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));

        QCOMPARE(frame.softKey(0)->text(), QStringLiteral("Меню"));
        QCOMPARE(frame.softKey(1)->text(), QStringLiteral("Написать"));
        // The popup is built when it is first needed, not with the window.
        QVERIFY(frame.findChildren<QMenu*>().isEmpty());
        QVERIFY(frame.softKey(0)->isEnabled());
        QMenu* menu = frame.softKeyMenu(0);
        QVERIFY(menu != nullptr);
        QCOMPARE(frame.softKeyMenu(1), nullptr);

        QTest::mouseClick(frame.softKey(0), Qt::LeftButton);
        QTRY_VERIFY(menu->isVisible());
        // Upwards: the popup ends where the key begins.
        QVERIFY(menu->geometry().bottom() <= frame.softKey(0)->mapToGlobal(QPoint(0, 0)).y());
        QCOMPARE(ActionTexts(menu),
                 (QStringList{"Отключить", "Подключить", "Статус", "-", "Контакты",
                              "Поиск по истории", "Настройки", "Мои данные", "-", "Выход"}));
        QVERIFY(!FindAction(menu, "Отключить")->isEnabled());
        QVERIFY(FindAction(menu, "Подключить")->isEnabled());
        QVERIFY(!FindAction(menu, "Настройки")->isEnabled());  // no handler anywhere
        QVERIFY(FindAction(menu, "Выход")->isEnabled());

        QMenu* contacts = FindAction(menu, "Контакты")->menu();
        QVERIFY(contacts != nullptr);
        emit contacts->aboutToShow();
        QAction* onlyOnline = FindAction(contacts, "Отображать кто в сети");
        QVERIFY(onlyOnline->isEnabled());
        QVERIFY(onlyOnline->isChecked());
        QVERIFY(!FindAction(contacts, "Видим только для своих")->isEnabled());
        QVERIFY(!FindAction(contacts, "Видим только для своих")->isChecked());

        // Enabling is asked again at every opening.
        menu->hide();
        app.states[cmd::kShowOnlyOnline] = {true, false};
        app.states.erase(cmd::kConnect);
        frame.OpenSoftKey(0);
        QTRY_VERIFY(menu->isVisible());
        QVERIFY(!FindAction(menu, "Подключить")->isEnabled());
        emit contacts->aboutToShow();
        QVERIFY(!onlyOnline->isChecked());

        // Choosing an entry routes its command.
        FindAction(menu, "Выход")->trigger();
        QTRY_COMPARE(app.received, std::vector<int>{cmd::kExit});
        menu->hide();
    }

    void rightKeyRunsItsCommandWhenEnabled() {
        CMainFrame frame;
        Factories factories(frame);
        TestApplication app;
        frame.SetApplicationTarget(&app);
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        frame.show();

        // No handler: the key is disabled and a click does nothing.
        QVERIFY(!frame.softKey(1)->isEnabled());
        frame.OpenSoftKey(1);
        QCoreApplication::processEvents();
        QVERIFY(app.received.empty());

        app.states[cmd::kWrite] = {};
        frame.UpdateCommandUi();
        QVERIFY(frame.softKey(1)->isEnabled());
        QTest::mouseClick(frame.softKey(1), Qt::LeftButton);
        QTRY_COMPARE(app.received, std::vector<int>{cmd::kWrite});

        // A key whose shown state went stale is checked again before it runs.
        app.states[cmd::kWrite] = {false, false};
        QVERIFY(frame.softKey(1)->isEnabled());
        frame.OpenSoftKey(1);
        QCoreApplication::processEvents();
        QCOMPARE(app.received.size(), size_t{1});
        QVERIFY(!frame.softKey(1)->isEnabled());
    }

    // F10 and the menu key open the left key's popup; Escape runs the key that
    // goes back. Either way the key's enabling holds.
    void softKeysFromTheKeyboard() {
        CMainFrame frame;
        Factories factories(frame);
        TestApplication app;
        frame.SetApplicationTarget(&app);
        app.states[cmd::kConnect] = {false, false};
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        frame.show();
        TestView* view = factories.last(ViewKind::Contacts);
        for (const Qt::Key key : {Qt::Key_F10, Qt::Key_Menu}) {
            QApplication::setActiveWindow(&frame);
            QTest::keyClick(view, key);
            QTRY_VERIFY(frame.softKeyMenu(0)->isVisible());
            QVERIFY(!FindAction(frame.softKeyMenu(0), "Подключить")->isEnabled());
            frame.softKeyMenu(0)->hide();
        }
        // Escape runs the right key "Отменить" of the conversation, the left key
        // "Отмена" of a form (where F10 has no popup to open), nothing on the list.
        for (const auto& [bar, enabled, runs] : {std::tuple{menubar::kMain, true, 0},
                                                 {menubar::kMessage, false, 0},
                                                 {menubar::kMessage, true, 1},
                                                 {menubar::kUserAdd, true, 1}}) {
            app.received.clear();
            app.states[cmd::kShowContacts] = {enabled, false};
            frame.SetMenuBar(bar);
            QApplication::setActiveWindow(&frame);
            QTest::keyClick(view, Qt::Key_Escape);
            if (bar == menubar::kUserAdd) QTest::keyClick(view, Qt::Key_F10);
            QCoreApplication::processEvents();
            QCOMPARE(app.received, std::vector<int>(runs, cmd::kShowContacts));
        }
    }

    void commandKeysOfTheFormBars() {
        CMainFrame frame;
        TestApplication app;
        frame.SetApplicationTarget(&app);
        app.states[cmd::kShowContacts] = {};
        frame.SetMenuBar(menubar::kUserAdd);
        QCOMPARE(frame.softKey(0)->text(), QStringLiteral("Отмена"));
        QCOMPARE(frame.softKey(1)->text(), QStringLiteral("Добавить"));
        QCOMPARE(frame.softKeyMenu(0), nullptr);
        QVERIFY(frame.softKey(0)->isEnabled());
        QVERIFY(!frame.softKey(1)->isEnabled());
        QTest::mouseClick(frame.softKey(0), Qt::LeftButton);
        QTRY_COMPARE(app.received, std::vector<int>{cmd::kShowContacts});

        frame.SetMenuBar(menubar::kNotification);
        QCOMPARE(frame.softKey(0)->text(), QStringLiteral("Открыть"));
        QCOMPARE(frame.softKey(1)->text(), QStringLiteral("Закрыть"));
        QCOMPARE(frame.softKey(1)->commandId(), cmd::kOk);
        QVERIFY(frame.softKey(1)->isEnabled());  // the frame handles 1

        frame.SetMenuBar(12345);  // unknown: an empty bar
        QVERIFY(frame.softKey(0)->text().isEmpty());
        QVERIFY(!frame.softKey(0)->isEnabled());
        QVERIFY(!frame.softKey(1)->isEnabled());
    }

    void commandFromTheMenuMaySwitchViewsAndRebuildTheBar() {
        CMainFrame frame;
        Factories factories(frame);
        TestApplication app;
        frame.SetApplicationTarget(&app);
        app.states[cmd::kSettings] = {};
        app.actions[cmd::kSettings] = [&] {
            frame.SwitchView(ViewKind::Settings, menubar::kSettings);
        };
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        frame.show();

        QPointer<QMenu> oldMenu = frame.softKeyMenu(0);
        frame.OpenSoftKey(0);
        QTRY_VERIFY(oldMenu->isVisible());
        FindAction(oldMenu, "Настройки")->trigger();
        QTRY_COMPARE(frame.activeViewKind(), ViewKind::Settings);
        QCOMPARE(frame.menuBarId(), menubar::kSettings);
        QCOMPARE(frame.softKey(1)->text(), QStringLiteral("Сохранить"));
        DeleteDeferred();
        QVERIFY(oldMenu.isNull());
    }

    void formMayCloseItselfFromItsOwnCommand() {
        CMainFrame frame;
        Factories factories(frame);
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        QVERIFY(frame.SwitchView(ViewKind::User, menubar::kUserInfo));
        QPointer<TestView> form = factories.last(ViewKind::User);
        bool stillThere = false;
        form->handlers[cmd::kSave] = [&] {
            frame.SwitchView(ViewKind::Contacts, menubar::kMain);
            stillThere = form->isHidden();  // the form outlives its own handler
        };
        QVERIFY(frame.RouteCommand(cmd::kSave));
        QVERIFY(stillThere);
        QCOMPARE(frame.activeViewKind(), ViewKind::Contacts);
        DeleteDeferred();
        QVERIFY(form.isNull());
    }

    void viewsReachTheirFrame() {
        TestView loose;
        QCOMPARE(loose.frame(), nullptr);
        QVERIFY(!loose.SendFrameCommand(cmd::kOk));
        loose.PostFrameCommand(cmd::kOk);  // nowhere to go: dropped

        CMainFrame frame;
        Factories factories(frame);
        TestApplication app;
        frame.SetApplicationTarget(&app);
        app.states[cmd::kShowContacts] = {};
        app.states[cmd::kWrite] = {};
        QVERIFY(frame.SwitchView(ViewKind::Message, menubar::kMessage));
        TestView* view = factories.last(ViewKind::Message);
        QCOMPARE(view->frame(), &frame);

        // Sent at once, or posted to run after the caller has returned.
        QVERIFY(view->SendFrameCommand(cmd::kWrite));
        QCOMPARE(app.received, std::vector<int>{cmd::kWrite});
        view->PostFrameCommand(cmd::kShowContacts);
        QCOMPARE(app.received.size(), size_t{1});
        QTRY_COMPARE(app.received, (std::vector<int>{cmd::kWrite, cmd::kShowContacts}));
    }

    void activeViewFillsTheMiddle() {
        CMainFrame frame;
        Factories factories(frame);
        QVERIFY(frame.SwitchView(ViewKind::Contacts, menubar::kMain));
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        TestView* view = factories.last(ViewKind::Contacts);
        const QRect area(view->mapTo(&frame, QPoint(0, 0)), view->size());
        QCOMPARE(area.width(), frame.width());
        QVERIFY(area.top() >=
                frame.okButton()->mapTo(&frame, QPoint(0, 0)).y() + frame.okButton()->height());
        QVERIFY(area.bottom() < frame.softKey(0)->mapTo(&frame, QPoint(0, 0)).y());
        QVERIFY(area.height() > frame.height() * 3 / 4);

        frame.resize(600, 800);
        QTRY_COMPARE(view->width(), 600);
    }
};

QTEST_MAIN(MainFrameTest)
#include "main_frame_test.moc"
