#include "ui/settings_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QRadioButton>
#include <QTest>

#include "store/message_history.h"
#include "tests/ui/form_test_support.h"
#include "ui/drawing_kit.h"
#include "ui/image_button.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::formtest;

namespace {

const QByteArray kTwoProfiles =
    "[settings]\r\nprofile=111\r\nonlyonline=0\r\ncolumns=2\r\nautoconnect=1\r\n"
    "sendclose=0\r\nshowhistory=1\r\n"
    "[111]\r\npassw=one\r\n"
    "[222]\r\npassw=two\r\nserver=10.0.0.2:5191\r\n";

// A model on a data directory, and the settings form in a frame over it.
struct Fixture {
    DataDir data;
    std::unique_ptr<AppState> state;
    RecordingSession session;
    ChangeRecorder changes;
    std::unique_ptr<FrameHarness> harness;

    explicit Fixture(const QByteArray& settings = {}) {
        if (!settings.isEmpty()) data.write("settings.txt", settings);
        state = std::make_unique<AppState>(data.path());
        state->AddListener(&changes);
    }
    ~Fixture() {
        harness.reset();
        state->RemoveListener(&changes);
    }
    // Loads the files, as the application does at start, and opens the form.
    CSettingsView& Open() {
        state->ReloadAll();
        harness = std::make_unique<FrameHarness>(ViewKind::Settings, menubar::kSettings,
                                                 [this](QWidget* parent) {
                                                     return new CSettingsView(*state, session,
                                                                              parent);
                                                 });
        return *harness->view<CSettingsView>();
    }
    QStringList ListEntries(const CSettingsView& view) const {
        QStringList entries;
        for (int i = 0; i < view.profileList()->count(); ++i) {
            entries << view.profileList()->item(i)->text();
        }
        return entries;
    }
    QStringList ContactUins() const {
        QStringList uins;
        for (const ContactPtr& contact : state->Contacts()) {
            uins << QString::fromStdU16String(contact->Uin());
        }
        return uins;
    }
    void Pick(CSettingsView& view, const QString& name) {
        const QList<QListWidgetItem*> items =
            view.profileList()->findItems(name, Qt::MatchExactly);
        QCOMPARE(items.size(), 1);
        view.profileList()->setCurrentItem(items.front());
    }
};

}  // namespace

class SettingsViewTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setFont(ApplicationFont()); }

    void firstStartShowsTheResetValues() {
        Fixture f;
        CSettingsView& view = f.Open();
        QCOMPARE(view.uinEdit()->text(), QString());
        QCOMPARE(view.passwordEdit()->text(), QString());
        QCOMPARE(view.serverEdit()->text(), QString());
        QCOMPARE(view.profileList()->count(), 0);
        QVERIFY(!view.autoconnectCheck()->isChecked());
        QVERIFY(view.sendcloseCheck()->isChecked());
        QVERIFY(!view.reconnectCheck()->isChecked());
        QVERIFY(!view.typingCheck()->isChecked());
        QCOMPARE(view.passwordEdit()->echoMode(), QLineEdit::Password);
        QVERIFY(!f.data.exists("settings.txt"));  // opening writes nothing
        // Empty fields say what belongs in them; the number takes digits only.
        QCOMPARE(view.serverEdit()->placeholderText(), QString("login.icq.com:5190"));
        QVERIFY(!view.uinEdit()->placeholderText().isEmpty());
        QVERIFY(!view.passwordEdit()->placeholderText().isEmpty());
        QTest::keyClicks(view.uinEdit(), "12 a-3");
        QCOMPARE(view.uinEdit()->text(), QString("123"));
    }

    void openShowsTheActiveProfileSelectedInTheSortedList() {
        Fixture f("[settings]\r\nprofile=222\r\n[333]\r\npassw=c\r\n[1000]\r\npassw=a\r\n"
                  "[222]\r\npassw=b\r\n");
        CSettingsView& view = f.Open();
        QCOMPARE(f.ListEntries(view), (QStringList{"1000", "222", "333"}));
        QCOMPARE(view.profileList()->selectedItems().size(), 1);
        QCOMPARE(view.profileList()->selectedItems().front()->text(), QString("222"));
        QCOMPARE(view.uinEdit()->text(), QString("222"));
        QCOMPARE(view.passwordEdit()->text(), QString("b"));
    }

    void savingTheSameNumberWithANewPasswordRewritesBothFiles() {
        Fixture f(kTwoProfiles);
        f.data.write("contacts_111.txt", "[1001]\r\nname=Ann\r\n");
        f.session.state = ConnState::Online;
        CSettingsView& view = f.Open();
        QVERIFY(view.autoconnectCheck()->isChecked());
        QVERIFY(!view.sendcloseCheck()->isChecked());
        // A contact only in memory shows that the list file is written again.
        f.state->AddContact(Info(u"1002", u"Bob"), false);

        view.passwordEdit()->setText("secret");
        view.sendcloseCheck()->setChecked(true);
        view.reconnectCheck()->setChecked(true);
        view.typingCheck()->setChecked(true);
        QVERIFY(f.harness->frame.RouteCommand(cmd::kSave));
        f.harness->Settle();

        const QByteArray settings = f.data.read("settings.txt");
        QVERIFY(settings.contains("[111]\r\npassw=secret\r\n"));
        QVERIFY(settings.contains("sendclose=1\r\nshowhistory=1\r\nreconnect=1\r\ntyping=1\r\n"));
        QVERIFY(settings.contains("[222]\r\npassw=two\r\nserver=10.0.0.2:5191\r\n"));
        QCOMPARE(f.data.read("contacts_111.txt"),
                 QByteArray("[1001]\r\nname=Ann\r\n[1002]\r\nname=Bob\r\n"));
        QCOMPARE(f.session.closeCount, 0);
        QCOMPARE(f.session.state, ConnState::Online);
        QCOMPARE(f.changes.Count(ChangeCode::ListReset), 0);
        QCOMPARE(f.ContactUins(), (QStringList{"1001", "1002"}));
        QCOMPARE(f.harness->application.Count(cmd::kShowContacts), 1);
    }

    void savingAnotherNumberSwitchesTheProfile_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("closes");
        QTest::newRow("online") << int(ConnState::Online) << 1;
        QTest::newRow("connecting") << int(ConnState::CheckingPassword) << 1;
        QTest::newRow("disconnected") << int(ConnState::Disconnected) << 0;
    }
    void savingAnotherNumberSwitchesTheProfile() {
        QFETCH(int, state);
        QFETCH(int, closes);
        Fixture f(kTwoProfiles);
        f.data.write("contacts_111.txt", "[1001]\r\nname=Ann\r\n");
        f.data.write("contacts_222.txt", "[2001]\r\nname=Cid\r\n[2002]\r\nname=Dan\r\n");
        f.session.state = static_cast<ConnState>(state);
        CSettingsView& view = f.Open();
        QCOMPARE(f.ContactUins(), QStringList{"1001"});

        f.Pick(view, "222");
        QCOMPARE(view.passwordEdit()->text(), QString("two"));
        QCOMPARE(view.serverEdit()->text(), QString("10.0.0.2:5191"));
        QVERIFY(f.harness->frame.RouteCommand(cmd::kSave));
        f.harness->Settle();

        QCOMPARE(f.session.closeCount, closes);
        QCOMPARE(f.ContactUins(), (QStringList{"2001", "2002"}));
        QCOMPARE(f.state->GetSettings().profile, std::u16string(u"222"));
        QVERIFY(f.data.read("settings.txt").contains("profile=222\r\n"));
        QCOMPARE(f.changes.Count(ChangeCode::ListReset), 1);
        // The old profile's list is left as it was.
        QCOMPARE(f.data.read("contacts_111.txt"), QByteArray("[1001]\r\nname=Ann\r\n"));
        QCOMPARE(f.harness->application.Count(cmd::kShowContacts), 1);
    }

    void switchingToANumberWithoutAListEmptiesTheContacts() {
        Fixture f(kTwoProfiles);
        f.data.write("contacts_111.txt", "[1001]\r\nname=Ann\r\n");
        CSettingsView& view = f.Open();
        view.uinEdit()->setText("999");
        view.passwordEdit()->setText("new");
        view.OnCommand(cmd::kOk);  // the header's "ok" saves as well
        QVERIFY(f.ContactUins().isEmpty());
        const QByteArray settings = f.data.read("settings.txt");
        QVERIFY(settings.contains("profile=999\r\n"));
        QVERIFY(settings.contains("[999]\r\npassw=new\r\n"));
        QCOMPARE(f.changes.Count(ChangeCode::ListReset), 1);
    }

    void pickingAProfileThenCancellingLeavesTheFiles() {
        Fixture f(kTwoProfiles);
        f.data.write("contacts_111.txt", "[1001]\r\nname=Ann\r\n");
        CSettingsView& view = f.Open();
        view.autoconnectCheck()->setChecked(false);
        f.Pick(view, "222");
        QCOMPARE(view.uinEdit()->text(), QString("222"));
        QCOMPARE(view.passwordEdit()->text(), QString("two"));
        QVERIFY(!view.autoconnectCheck()->isChecked());  // what the user set stays

        f.harness->frame.RouteCommand(cmd::kShowContacts);  // "Отмена"
        f.harness.reset();
        QCOMPARE(f.data.read("settings.txt"), kTwoProfiles);
        QCOMPARE(f.data.read("contacts_111.txt"), QByteArray("[1001]\r\nname=Ann\r\n"));
        QCOMPARE(f.state->GetSettings().profile, std::u16string(u"111"));
        QCOMPARE(f.changes.Count(ChangeCode::ListReset), 0);
    }

    void deletingAnotherProfile() {
        Fixture f(kTwoProfiles);
        f.data.write("contacts_111.txt", "[1001]\r\nname=Ann\r\n");
        f.data.write("contacts_222.txt", "[2001]\r\nname=Cid\r\n");
        f.data.write("msg_2001.txt", "[IN 01.02.2020 10:00:00]\r\nhello\r\n");
        CSettingsView& view = f.Open();
        const ContactPtr ann = f.state->FindContact(u"1001");
        ann->Update([](ContactInfo& info) { info.unreadCount = 2; });

        f.Pick(view, "222");
        QTest::mouseClick(view.deleteButton(), Qt::LeftButton);

        QCOMPARE(f.ListEntries(view), QStringList{"111"});
        QVERIFY(view.profileList()->selectedItems().isEmpty());
        QVERIFY(!f.data.exists("contacts_222.txt"));
        QCOMPARE(f.state->GetSettings().profiles.count(u"222"), std::size_t(0));
        QCOMPARE(f.data.read("settings.txt"), kTwoProfiles);  // not saved yet
        // The active profile's contacts and every history file stay.
        QCOMPARE(ann->Snapshot().unreadCount, std::uint16_t(2));
        QVERIFY(f.data.exists("msg_2001.txt"));
        QVERIFY(f.data.exists("contacts_111.txt"));
        // The form still shows what it showed.
        QCOMPARE(view.uinEdit()->text(), QString("222"));

        view.uinEdit()->setText("111");
        view.Save();
        QVERIFY(!f.data.read("settings.txt").contains("[222]"));
    }

    void deletingTheActiveProfileAndSavingBringsItBack() {
        Fixture f(kTwoProfiles);
        f.data.write("contacts_111.txt", "[1001]\r\nname=Ann\r\n[1002]\r\nname=Bob\r\n");
        f.data.write("msg_1002.txt", "[IN 01.02.2020 10:00:00]\r\nnot loaded\r\n");
        CSettingsView& view = f.Open();
        const ContactPtr ann = f.state->FindContact(u"1001");
        const ContactPtr bob = f.state->FindContact(u"1002");
        f.state->GetHistory(ann)->Append(MessageEntry{u"hi", 1580551200, MessageDirection::In});
        ann->Update([](ContactInfo& info) { info.unreadCount = 3; });
        bob->Update([](ContactInfo& info) { info.unreadCount = 1; });
        QVERIFY(f.data.exists("msg_1001.txt"));
        f.changes.changes.clear();

        f.Pick(view, "111");
        QTest::mouseClick(view.deleteButton(), Qt::LeftButton);

        QVERIFY(!f.data.exists("contacts_111.txt"));
        QVERIFY(!f.data.exists("msg_1001.txt"));  // its loaded history is cleared
        QCOMPARE(f.state->GetHistory(ann)->Count(), std::size_t(0));
        QVERIFY(f.data.exists("msg_1002.txt"));   // a history never loaded stays
        QCOMPARE(ann->Snapshot().unreadCount, std::uint16_t(0));
        QCOMPARE(bob->Snapshot().unreadCount, std::uint16_t(0));
        QCOMPARE(f.changes.Count(ChangeCode::ContactChanged), 2);
        QCOMPARE(f.changes.Count(ChangeCode::ConversationChanged), 1);
        QCOMPARE(f.data.read("settings.txt"), kTwoProfiles);

        view.Save();  // the number is still 111
        QVERIFY(f.data.read("settings.txt").contains("[111]\r\npassw=one\r\n"));
        QCOMPARE(f.data.read("contacts_111.txt"),
                 QByteArray("[1001]\r\nname=Ann\r\n[1002]\r\nname=Bob\r\n"));
        QVERIFY(!f.data.exists("msg_1001.txt"));
        QCOMPARE(f.changes.Count(ChangeCode::ListReset), 0);
    }

    void deletingWithoutASelectionDoesNothing() {
        Fixture f(kTwoProfiles);
        f.data.write("contacts_222.txt", "[2001]\r\nname=Cid\r\n");
        CSettingsView& view = f.Open();
        view.profileList()->clearSelection();
        view.DeleteProfile();
        QCOMPARE(f.ListEntries(view), (QStringList{"111", "222"}));
        QVERIFY(f.data.exists("contacts_222.txt"));
        QCOMPARE(f.state->GetSettings().profiles.size(), std::size_t(2));
    }

    void emptyNumberSavesAnEmptyProfile() {
        Fixture f;
        CSettingsView& view = f.Open();
        view.Save();
        const QByteArray settings = f.data.read("settings.txt");
        QVERIFY(settings.startsWith("[settings]\r\nprofile=\r\n"));
        QVERIFY(!settings.contains("passw"));
        QVERIFY(f.data.exists("contacts_.txt"));
    }

    void pastedLineBreaksAreTrimmedOrRefused() {
        Fixture f(kTwoProfiles);
        CSettingsView& view = f.Open();
        view.uinEdit()->setText(" 111\r\n");  // a triple-clicked number
        view.serverEdit()->setText("127.0.0.1:5191\n");
        view.passwordEdit()->setText("se\ncret");
        view.Save();
        // Refused, and said so; the number and server are trimmed already.
        QCOMPARE(f.data.read("settings.txt"), kTwoProfiles);
        QCOMPARE(f.harness->application.Count(cmd::kShowContacts), 0);
        const QList<QMessageBox*> boxes = view.window()->findChildren<QMessageBox*>();
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes.front()->isVisible());
        QVERIFY(boxes.front()->text().contains("«Пароль»"));
        boxes.front()->close();
        QCOMPARE(view.uinEdit()->text(), QString("111"));

        view.passwordEdit()->setText("secret");
        view.Save();
        QVERIFY(f.data.read("settings.txt").contains("[111]\r\npassw=secret\r\nserver=127.0.0.1:5191\r\n"));
        QCOMPARE(f.session.closeCount, 0);  // the same profile: no switch
    }

    void serverRoundTripsThroughTheSettingsFile() {
        Fixture f(kTwoProfiles);
        {
            CSettingsView& view = f.Open();
            QCOMPARE(LoginServerOf(f.state->GetSettings()), std::u16string(u"login.icq.com"));
            QCOMPARE(view.serverEdit()->text(), QString());
            view.serverEdit()->setText("127.0.0.1:5191");
            view.Save();
        }
        QVERIFY(f.data.read("settings.txt").contains("[111]\r\npassw=one\r\nserver=127.0.0.1:5191\r\n"));

        AppState reread(f.data.path());
        reread.ReloadAll();
        QCOMPARE(LoginServerOf(reread.GetSettings()), std::u16string(u"127.0.0.1:5191"));
        QCOMPARE(ProfileServer(reread.GetSettings(), u"222"), std::u16string(u"10.0.0.2:5191"));

        // A fresh form shows it; emptied, the key leaves the file.
        Fixture again(f.data.read("settings.txt"));
        CSettingsView& view = again.Open();
        QCOMPARE(view.serverEdit()->text(), QString("127.0.0.1:5191"));
        view.serverEdit()->clear();
        view.Save();
        QVERIFY(!again.data.read("settings.txt").contains("[111]\r\npassw=one\r\nserver"));
        QCOMPARE(LoginServerOf(again.state->GetSettings()), std::u16string(u"login.icq.com"));
    }

    void signOnChoicesFollowTheProfileAndANewOneGetsMd5() {
        Fixture f(kTwoProfiles);
        CSettingsView& view = f.Open();
        // A profile from before the choice: the roasted login, no TLS, and saving it
        // unchanged writes no new key.
        QVERIFY(view.roastedRadio()->isChecked());
        QVERIFY(!view.tlsCheck()->isChecked());
        view.Save();
        QVERIFY(f.data.read("settings.txt").contains("[111]\r\npassw=one\r\n[222]"));

        // A number with no profile yet starts with MD5; the TLS box is saved too.
        view.uinEdit()->clear();
        QTest::keyClicks(view.uinEdit(), "333");
        QVERIFY(view.md5Radio()->isChecked());
        view.tlsCheck()->setChecked(true);
        view.Save();
        QVERIFY(f.data.read("settings.txt").contains("[333]\r\nlogin=md5\r\npassw=one\r\ntls=1\r\n"));

        // Opened again and picked from the list, each profile shows its own; a
        // choice set back is kept.
        Fixture again(f.data.read("settings.txt"));
        CSettingsView& reopened = again.Open();
        QVERIFY(reopened.md5Radio()->isChecked());
        QVERIFY(reopened.tlsCheck()->isChecked());
        again.Pick(reopened, "222");
        QVERIFY(reopened.roastedRadio()->isChecked());
        QVERIFY(!reopened.tlsCheck()->isChecked());
        again.Pick(reopened, "333");
        QVERIFY(reopened.md5Radio()->isChecked());
        reopened.roastedRadio()->setChecked(true);
        reopened.tlsCheck()->setChecked(false);
        reopened.Save();
        QVERIFY(again.data.read("settings.txt").contains("[333]\r\nlogin=roasted\r\npassw=one\r\ntls=0\r\n"));
    }

    void formHasTheTemplatesControlsInOrder() {
        Fixture f;
        CSettingsView& view = f.Open();
        QCOMPARE(view.Control(1004), static_cast<QWidget*>(view.uinEdit()));
        QCOMPARE(view.Control(1005), static_cast<QWidget*>(view.passwordEdit()));
        QCOMPARE(view.Control(1012), static_cast<QWidget*>(view.serverEdit()));
        QCOMPARE(view.Control(1007), static_cast<QWidget*>(view.autoconnectCheck()));
        QCOMPARE(view.Control(1010), static_cast<QWidget*>(view.sendcloseCheck()));
        QCOMPARE(view.Control(1013), static_cast<QWidget*>(view.reconnectCheck()));
        QCOMPARE(view.Control(1014), static_cast<QWidget*>(view.typingCheck()));
        QCOMPARE(view.Control(1009), static_cast<QWidget*>(view.deleteButton()));
        QCOMPARE(view.Control(1008), static_cast<QWidget*>(view.profileList()));
        QCOMPARE(view.deleteButton()->text(), QString("Удалить профиль"));

        // The labels, top to bottom, each on the row of its control.
        QList<QLabel*> labels = view.findChildren<QLabel*>();
        std::sort(labels.begin(), labels.end(),
                  [](QLabel* a, QLabel* b) { return a->y() < b->y(); });
        QStringList texts;
        for (QLabel* label : labels) texts << label->text();
        QCOMPARE(texts, (QStringList{"Номер ICQ", "Пароль", "Сервер", "Автосоединение",
                                     "Закрывать при отправке", "Переподключаться при обрыве",
                                     "Сообщать о наборе текста", "Вход:",
                                     "Шифровать соединение (TLS)"}));
        const QList<QWidget*> rows{view.uinEdit(),        view.passwordEdit(),   view.serverEdit(),
                                   view.autoconnectCheck(), view.sendcloseCheck(), view.reconnectCheck(),
                                   view.typingCheck(),    view.md5Radio(),       view.tlsCheck()};
        for (int i = 0; i < rows.size(); ++i) {
            QVERIFY2(std::abs(labels[i]->geometry().center().y() -
                              rows[i]->geometry().center().y()) <= 6,
                     qPrintable(labels[i]->text()));
            QVERIFY(labels[i]->geometry().right() < rows[i]->x());
        }
        // The three edit boxes form one column, and so do the four check boxes, on
        // rows of one height; the button and list share a row.
        const QList<QWidget*> checks{view.autoconnectCheck(), view.sendcloseCheck(),
                                     view.reconnectCheck(), view.typingCheck()};
        QCOMPARE(view.tlsCheck()->x(), checks[0]->x());
        QCOMPARE(view.md5Radio()->text(), QString("MD5"));
        QCOMPARE(view.roastedRadio()->text(), QString("простой"));
        QCOMPARE(view.roastedRadio()->y(), view.md5Radio()->y());
        QVERIFY(view.roastedRadio()->x() > view.md5Radio()->geometry().right());
        for (int i = 1; i < checks.size(); ++i) {
            QCOMPARE(checks[i]->x(), checks[0]->x());
            QVERIFY(std::abs(checks[i]->y() - checks[i - 1]->y() -
                             (checks[1]->y() - checks[0]->y())) <= 1);
        }
        QCOMPARE(view.passwordEdit()->x(), view.uinEdit()->x());
        QCOMPARE(view.serverEdit()->width(), view.uinEdit()->width());
        QCOMPARE(view.deleteButton()->y(), view.profileList()->y());
        QCOMPARE(view.deleteButton()->height(), view.profileList()->height());
        QVERIFY(view.profileList()->geometry().right() < view.width());
        QVERIFY(view.profileList()->y() > view.tlsCheck()->geometry().bottom());

        // Tab order follows the template.
        QWidget* w = view.uinEdit();
        QList<QWidget*> order;
        for (int i = 0; i < 12; ++i, w = w->nextInFocusChain()) {
            while (w->focusPolicy() == Qt::NoFocus) w = w->nextInFocusChain();
            order << w;
        }
        QCOMPARE(order, (QList<QWidget*>{view.uinEdit(), view.passwordEdit(), view.serverEdit(),
                                         view.autoconnectCheck(), view.sendcloseCheck(),
                                         view.reconnectCheck(), view.typingCheck(),
                                         view.md5Radio(), view.roastedRadio(), view.tlsCheck(),
                                         view.deleteButton(), view.profileList()}));
    }

    void formIsDrawnInTheFormColours() {
        Fixture f(kTwoProfiles);
        CSettingsView& view = f.Open();
        const QImage image = view.grab().toImage();
        const QColor form(102, 102, 102);
        // Below the controls and beside the labels: the form background.
        QCOMPARE(QColor(image.pixel(view.width() / 2, view.height() - 4)), form);
        const QRect label = view.findChildren<QLabel*>().front()->geometry();
        QCOMPARE(QColor(image.pixel(label.left() + 1, label.top() + 1)), form);
        // Inside an edit box, away from its frame and text: steel blue.
        const QRect edit = view.uinEdit()->geometry();
        QCOMPARE(QColor(image.pixel(edit.right() - 8, edit.center().y())),
                 ThemeColors::kSteelBlue);
        // The labels' text is white.
        int white = 0;
        for (int y = label.top(); y <= label.bottom(); ++y) {
            for (int x = label.left(); x <= label.right(); ++x) {
                white += QColor(image.pixel(x, y)).lightness() > 230 ? 1 : 0;
            }
        }
        QVERIFY2(white > 10, qPrintable(QString::number(white)));

        // A check box: a steel-blue box whose white tick shows the state; a tap
        // anywhere on the control toggles it.
        auto* check = static_cast<FormCheckBox*>(view.autoconnectCheck());
        QVERIFY(check->isChecked());
        const auto tickPixels = [&] {
            const QImage grabbed = check->grab().toImage();
            const QRect inner = check->BoxRect().adjusted(2, 2, -2, -2);
            int count = 0;
            for (int y = inner.top(); y <= inner.bottom(); ++y) {
                for (int x = inner.left(); x <= inner.right(); ++x) {
                    count += QColor(grabbed.pixel(x, y)).lightness() > 220 ? 1 : 0;
                }
            }
            return count;
        };
        const QImage box = check->grab().toImage();
        QCOMPARE(QColor(box.pixel(check->BoxRect().left() + 2, check->BoxRect().top() + 2)),
                 ThemeColors::kSteelBlue);
        QVERIFY(tickPixels() > 5);
        QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(check->width() - 3, check->height() / 2));
        QVERIFY(!check->isChecked());
        QCOMPARE(tickPixels(), 0);
    }
};

QTEST_MAIN(SettingsViewTest)
#include "settings_view_test.moc"
