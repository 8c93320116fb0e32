#include "ui/user_view.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <thread>

#include "tests/ui/form_test_support.h"
#include "ui/drawing_kit.h"
#include "ui/image_button.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::formtest;

namespace {

// A model with two saved contacts, and the contact form in a frame over it.
struct Fixture {
    DataDir data;
    std::unique_ptr<AppState> state;
    RecordingSession session;
    ChangeRecorder changes;
    std::unique_ptr<FrameHarness> harness;
    ContactPtr ann;
    ContactPtr bob;

    Fixture() {
        data.write("settings.txt", "[settings]\r\nprofile=111\r\n[111]\r\npassw=x\r\n");
        data.write("contacts_111.txt", "[1001]\r\nname=Ann\r\n[1002]\r\nname=Bob\r\n");
        state = std::make_unique<AppState>(data.path());
        state->ReloadAll();
        ann = state->FindContact(u"1001");
        bob = state->FindContact(u"1002");
        state->AddListener(&changes);
    }
    ~Fixture() {
        harness.reset();
        state->RemoveListener(&changes);
    }
    CUserView& Open(UserFormMode mode) {
        const int bar = mode == UserFormMode::Add ? menubar::kUserAdd : menubar::kUserInfo;
        harness = std::make_unique<FrameHarness>(ViewKind::User, bar, [this, mode](QWidget* p) {
            return new CUserView(*state, session, mode, p);
        });
        changes.changes.clear();
        return *harness->view<CUserView>();
    }
    QByteArray ContactsFile() const { return data.read("contacts_111.txt"); }
    int Posted(int id) {
        harness->Settle();
        return harness->application.Count(id);
    }
    // Sets the connection state and announces it, as the application does.
    void Connection(ConnState code) {
        session.state = code;
        state->Notify(ChangeCode::ConnectionStateChanged);
    }
    // The information request queued as command i; null when it is another command.
    const RequestInfoCommand* Queued(std::size_t i) const {
        return i < session.queued.size() ? std::get_if<RequestInfoCommand>(&session.queued[i]) : nullptr;
    }
};

void Type(QLineEdit* edit, const QString& text) {
    edit->clear();
    // Key by key, as a user types (keyClicks cannot send Cyrillic).
    for (QChar c : text) {
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

}  // namespace

class UserViewTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setFont(ApplicationFont()); }

    void informationModeShowsAndSavesTheCurrentContact() {
        Fixture f;
        f.state->SetCurrentContact(f.bob);
        CUserView& view = f.Open(UserFormMode::Information);
        QCOMPARE(view.nameEdit()->text(), QString("Bob"));
        QCOMPARE(view.uinEdit()->text(), QString("1002"));
        QVERIFY(view.serverButton()->isVisible());  // whatever the connection state

        Type(view.nameEdit(), "Борис");
        QVERIFY(f.harness->frame.RouteCommand(cmd::kSave));
        QCOMPARE(f.bob->Name(), std::u16string(u"Борис"));
        QCOMPARE(f.changes.Count(ChangeCode::ContactChanged), 1);
        QCOMPARE(f.changes.changes.front().second, f.bob);
        // Windows-1251 on disk.
        QCOMPARE(f.ContactsFile(),
                 QByteArray("[1001]\r\nname=Ann\r\n[1002]\r\nname=\xC1\xEE\xF0\xE8\xF1\r\n"));
        QCOMPARE(f.Posted(cmd::kShowContacts), 1);
    }

    void aNewNumberIsTheOneTheContactIsFoundBy() {
        Fixture f;
        f.state->SetCurrentContact(f.bob);
        CUserView& view = f.Open(UserFormMode::Information);
        view.uinEdit()->setText("1005");
        QVERIFY(view.Save());
        // Messages and presence from the new number reach Bob, not a new contact.
        QCOMPARE(f.state->FindContact(u"1005"), f.bob);
        QCOMPARE(f.state->FindContact(u"1002"), nullptr);
    }

    void theContactsPictureIsDrawnBelowTheFieldsOnlyWhenItHasOne() {
        Fixture f;
        const std::string hash = pellox::test::CachePicture(f.state->Directory(), Qt::green);
        QVERIFY(!hash.empty());
        f.ann->Update([&](ContactInfo& info) { info.iconHash = hash; });
        f.state->SetCurrentContact(f.ann);
        f.Connection(ConnState::ContactsLoaded);  // the server and details buttons show
        CUserView& view = f.Open(UserFormMode::Information);
        // Clear of every control, inside the view, at the smallest and the default window.
        for (const QSize size : {QSize(CMainFrame::kMinimumWidth, CMainFrame::kMinimumHeight),
                                 QSize(CMainFrame::kDefaultWidth, CMainFrame::kDefaultHeight)}) {
            f.harness->frame.resize(size);
            QApplication::processEvents();
            const QRect picture = view.PictureRect();
            QCOMPARE(picture.size(), QSize(pellox::kPictureSide, pellox::kPictureSide));
            QVERIFY(view.rect().contains(picture.adjusted(-1, -1, 0, 0)));
            QVERIFY(view.detailsButton()->isVisible());
            for (const QWidget* control : view.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                QVERIFY2(!control->isVisible() || !control->geometry().intersects(picture.adjusted(-1, -1, 0, 0)),
                         qPrintable(control->objectName()));
            }
            QCOMPARE(view.grab().toImage().pixelColor(picture.center()), QColor(Qt::green));
        }

        f.state->SetCurrentContact(f.bob);  // none
        QVERIFY(view.PictureRect().isEmpty());
        f.state->SetCurrentContact(f.ann);
        QVERIFY(f.Open(UserFormMode::Add).PictureRect().isEmpty());
    }

    void savingWithoutACurrentContactDoesNothing() {
        Fixture f;
        CUserView& view = f.Open(UserFormMode::Information);
        QCOMPARE(view.nameEdit()->text(), QString());
        Type(view.nameEdit(), "X");
        Type(view.uinEdit(), "5");
        const QByteArray before = f.ContactsFile();
        QVERIFY(f.harness->frame.RouteCommand(cmd::kSave));
        QVERIFY(f.harness->frame.RouteCommand(cmd::kOk));
        QCOMPARE(f.ContactsFile(), before);
        QVERIFY(f.changes.changes.empty());
        QCOMPARE(f.Posted(cmd::kShowContacts), 0);  // the form stays
        QCOMPARE(f.harness->view<CUserView>(), &view);
        QVERIFY(!f.harness->frame.isMinimized());
    }

    void savingAnEmptyUinIsRefused() {
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        CUserView& view = f.Open(UserFormMode::Information);
        view.uinEdit()->clear();
        QVERIFY(!view.Save());
        QCOMPARE(f.ann->Uin(), std::u16string(u"1001"));
        QCOMPARE(f.Posted(cmd::kShowContacts), 0);
    }

    // A number is digits only, at most ten of them: typed, the rest never gets in;
    // put in otherwise (pasted past the check, set), the form is not saved.
    void theUinTakesDigitsOnly_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letters between") << "1x0y0004"
                                         << "100004";
        QTest::newRow("letters after") << "100003abc"
                                       << "100003";
        QTest::newRow("eleven digits") << "12345678901"
                                       << "1234567890";
    }
    void theUinTakesDigitsOnly() {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        for (const UserFormMode mode : {UserFormMode::Information, UserFormMode::Add}) {
            Fixture f;
            f.state->SetCurrentContact(f.ann);
            CUserView& view = f.Open(mode);
            Type(view.uinEdit(), typed);
            QCOMPARE(view.uinEdit()->text(), shown);
            view.uinEdit()->setText(typed);
            const QByteArray before = f.ContactsFile();
            QVERIFY(!(mode == UserFormMode::Add ? view.Add() : view.Save()));
            QCOMPARE(f.ContactsFile(), before);
            QCOMPARE(f.state->Contacts().size(), std::size_t(2));
            QCOMPARE(f.ann->Uin(), std::u16string(u"1001"));
            QVERIFY(!view.window()->findChildren<QMessageBox*>().isEmpty());  // told why
        }
    }

    void addModeAddsANewContact() {
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        CUserView& view = f.Open(UserFormMode::Add);
        QCOMPARE(view.mode(), UserFormMode::Add);
        QVERIFY(view.serverButton()->isHidden());
        QCOMPARE(view.nameEdit()->text(), QString());  // not the current contact's
        QCOMPARE(view.uinEdit()->text(), QString());

        Type(view.nameEdit(), "Cid");
        Type(view.uinEdit(), "1003");
        QVERIFY(f.harness->frame.RouteCommand(cmd::kAdd));
        QCOMPARE(f.state->ContactCount(), std::size_t(3));
        const ContactPtr added = f.state->Contacts().back();
        QCOMPARE(added->Snapshot().name, std::u16string(u"Cid"));
        QCOMPARE(added->Snapshot().uin, std::u16string(u"1003"));
        QCOMPARE(f.changes.Count(ChangeCode::ContactAdded), 1);
        QCOMPARE(f.changes.changes.back().second, added);
        QVERIFY(f.ContactsFile().endsWith("[1003]\r\nname=Cid\r\n"));
        QCOMPARE(f.Posted(cmd::kShowContacts), 1);
        QCOMPARE(f.ann->Name(), std::u16string(u"Ann"));

        // A listed number makes no second contact: that one is renamed and current.
        CUserView& again = f.Open(UserFormMode::Add);
        Type(again.nameEdit(), "Robert");
        Type(again.uinEdit(), "1002");
        QVERIFY(f.harness->frame.RouteCommand(cmd::kAdd));
        QCOMPARE(f.state->ContactCount(), std::size_t(3));
        QCOMPARE(f.bob->Name(), std::u16string(u"Robert"));
        QCOMPARE(f.state->CurrentContact(), f.bob);
        QCOMPARE(f.changes.Count(ChangeCode::ContactAdded), 0);
        QCOMPARE(f.changes.changes.back(), std::make_pair(ChangeCode::ContactChanged, f.bob));
        QVERIFY(f.ContactsFile().contains("[1002]\r\nname=Robert\r\n"));
        QCOMPARE(f.ContactsFile().count("[1002]"), 1);
    }

    void addModeOkAddsAndLeavesTheCurrentContactAlone() {
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        CUserView& view = f.Open(UserFormMode::Add);
        Type(view.nameEdit(), "Cid");
        Type(view.uinEdit(), "1003");
        QVERIFY(f.harness->frame.RouteCommand(cmd::kOk));
        QCOMPARE(f.ann->Name(), std::u16string(u"Ann"));
        QVERIFY(f.state->FindContact(u"1003") != nullptr);
        QCOMPARE(f.Posted(cmd::kShowContacts), 1);
    }

    void addingWithoutAUinStaysInTheForm() {
        Fixture f;
        CUserView& view = f.Open(UserFormMode::Add);
        Type(view.nameEdit(), "Nobody");
        QVERIFY(f.harness->frame.RouteCommand(cmd::kAdd));
        QCOMPARE(f.state->ContactCount(), std::size_t(2));
        QCOMPARE(f.Posted(cmd::kShowContacts), 0);
    }

    void addIsOnlyOfferedInAddMode() {
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        CUserView& view = f.Open(UserFormMode::Information);
        QVERIFY(!view.QueryCommand(cmd::kAdd).has_value());
        QVERIFY(!view.OnCommand(cmd::kAdd));
        QCOMPARE(f.state->ContactCount(), std::size_t(2));
    }

    void serverButtonFollowsTheConnectionState_data() {
        QTest::addColumn<bool>("addMode");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("visible");
        const int online = int(ConnState::Online);
        QTest::newRow("information, disconnected") << false << int(ConnState::Disconnected) << false;
        QTest::newRow("information, connecting") << false << int(ConnState::CheckingPassword) << false;
        QTest::newRow("information, online") << false << online << true;
        QTest::newRow("information, contacts loaded") << false << int(ConnState::ContactsLoaded) << true;
        QTest::newRow("add, online") << true << online << false;
        QTest::newRow("add, disconnected") << true << int(ConnState::Disconnected) << false;
    }
    void serverButtonFollowsTheConnectionState() {
        QFETCH(bool, addMode);
        QFETCH(int, state);
        QFETCH(bool, visible);
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        CUserView& view = f.Open(addMode ? UserFormMode::Add : UserFormMode::Information);
        f.Connection(static_cast<ConnState>(state));
        QCOMPARE(view.serverButton()->isVisible(), visible);
    }

    void serverButtonSavesThenAsksForTheUin() {
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        f.session.state = ConnState::Online;
        CUserView& view = f.Open(UserFormMode::Information);
        Type(view.uinEdit(), "1009");
        QTest::mouseClick(view.serverButton(), Qt::LeftButton);
        QCOMPARE(f.ann->Uin(), std::u16string(u"1009"));
        QCOMPARE(f.session.queued.size(), std::size_t(1));
        QVERIFY(f.Queued(0) != nullptr);  // an information request
        QCOMPARE(f.Queued(0)->uin, std::u16string(u"1009"));
        QCOMPARE(f.Posted(cmd::kShowContacts), 0);  // the form stays

        // Without a current contact the save fails, the request still goes out.
        f.state->SetCurrentContact(nullptr);
        Type(view.uinEdit(), "1010");
        QTest::mouseClick(view.serverButton(), Qt::LeftButton);
        QCOMPARE(f.session.queued.size(), std::size_t(2));
        QVERIFY(f.Queued(1) != nullptr);
        QCOMPARE(f.Queued(1)->uin, std::u16string(u"1010"));
        QVERIFY(f.state->FindContact(u"1010") == nullptr);
    }

    void aNicknameArrivingFillsTheNameField() {
        Fixture f;
        const ContactPtr anon = f.state->AddContact(Info(u"1005"), false);
        f.state->SetCurrentContact(anon);
        CUserView& view = f.Open(UserFormMode::Information);
        QCOMPARE(view.nameEdit()->text(), QString());

        // A change of another contact, and a presence change, leave the field.
        f.bob->Update([](ContactInfo& info) { info.name = u"Robert"; });
        f.state->Notify(ChangeCode::ContactChanged, f.bob);
        QCOMPARE(view.nameEdit()->text(), QString());
        Type(view.nameEdit(), "typing");
        anon->Update([](ContactInfo& info) { info.status = 0; });
        f.state->Notify(ChangeCode::ContactChanged, anon);
        QCOMPARE(view.nameEdit()->text(), QString("typing"));

        // The nickname, posted from a network thread, arrives through the poster.
        f.state->SetPoster([&f](ChangeCode code, ContactPtr contact) {
            QMetaObject::invokeMethod(
                &f.harness->frame,
                [&f, code, contact] { f.state->Notify(code, contact, false); },
                Qt::QueuedConnection);
        });
        std::thread network([&f, anon] {
            anon->Update([](ContactInfo& info) { info.name = u"Никита"; });
            f.state->Notify(ChangeCode::ContactChanged, anon, true);
        });
        network.join();
        QTRY_COMPARE(view.nameEdit()->text(), QString("Никита"));
        QCOMPARE(view.uinEdit()->text(), QString("1005"));
        f.state->SetPoster(nullptr);
    }

    void addModeIgnoresChangesOfTheCurrentContact() {
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        CUserView& view = f.Open(UserFormMode::Add);
        f.ann->Update([](ContactInfo& info) { info.name = u"Anna"; });
        f.state->Notify(ChangeCode::ContactChanged, f.ann);
        QCOMPARE(view.nameEdit()->text(), QString());
    }

    void theFormStopsListeningWhenItGoes() {
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        QPointer<CUserView> view = &f.Open(UserFormMode::Information);
        QCOMPARE(view->RegisteredWith(), f.state.get());
        f.harness->frame.RegisterView(ViewKind::Contacts,
                                      [](QWidget* p) { return new FrameView(p); });
        f.harness->frame.SwitchView(ViewKind::Contacts, menubar::kMain);
        QTRY_VERIFY(view.isNull());  // destroyed once control returned to the loop
        // Deliveries after it went reach only the remaining listener.
        f.state->Notify(ChangeCode::ContactChanged, f.ann);
        f.state->Notify(ChangeCode::ConnectionStateChanged);
        QCOMPARE(f.changes.Count(ChangeCode::ConnectionStateChanged), 1);
    }

    void formLayoutAndColours() {
        Fixture f;
        f.state->SetCurrentContact(f.ann);
        CUserView& view = f.Open(UserFormMode::Information);
        QCOMPARE(view.Control(1000), static_cast<QWidget*>(view.nameEdit()));
        QCOMPARE(view.Control(1001), static_cast<QWidget*>(view.uinEdit()));
        QCOMPARE(view.Control(1011), static_cast<QWidget*>(view.serverButton()));
        QCOMPARE(view.serverButton()->text(), QString("Получить с сервера"));
        QVERIFY(!view.serverButton()->hasBitmap());
        QList<QLabel*> labels = view.findChildren<QLabel*>();
        QCOMPARE(labels.size(), 2);
        std::sort(labels.begin(), labels.end(),
                  [](QLabel* a, QLabel* b) { return a->y() < b->y(); });
        QCOMPARE(labels[0]->text(), QString("Имя контакта"));
        QCOMPARE(labels[1]->text(), QString("Номер UIN"));
        QVERIFY(view.nameEdit()->geometry().bottom() < view.uinEdit()->y());
        QVERIFY(view.uinEdit()->geometry().bottom() < view.serverButton()->y());
        // The button spans nearly the whole form; its width to height is the
        // template's 152 to 20 dialog units (a vertical unit is 13/12 of a horizontal).
        const double ratio = double(view.serverButton()->width()) / view.serverButton()->height();
        QVERIFY2(std::abs(ratio - 152.0 / (20.0 * 13 / 12)) < 0.2, qPrintable(QString::number(ratio)));
        QVERIFY(view.serverButton()->width() > view.width() * 9 / 10);

        const QImage image = view.grab().toImage();
        QCOMPARE(QColor(image.pixel(view.width() / 2, view.height() - 4)), QColor(102, 102, 102));
        const QRect edit = view.uinEdit()->geometry();
        QCOMPARE(QColor(image.pixel(edit.right() - 8, edit.center().y())), ThemeColors::kSteelBlue);
        const QRect button = view.serverButton()->geometry();
        // The button face: the gradient of the look, light frame on top.
        QCOMPARE(QColor(image.pixel(button.center().x(), button.top())), QColor(127, 127, 127));
    }
};

QTEST_MAIN(UserViewTest)
#include "user_view_test.moc"
