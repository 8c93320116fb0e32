// The people forms off screen, over a model on a temporary data directory, with
// the session's replies played by the test: the search and adding from it, a
// contact's details and its nickname taken, one's own details read and saved,
// the ignored numbers, the away text asked before an away status, and how the
// forms fit the form look at the largest and the smallest window.
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>

#include "protocol/contact_list.h"
#include "resources/strings.h"
#include "tests/ui/application_test_support.h"
#include "tests/ui/form_test_support.h"
#include "ui/contact_list_panel.h"
#include "ui/details_view.h"
#include "ui/drawing_kit.h"
#include "ui/own_details_view.h"
#include "ui/people_commands.h"
#include "ui/search_view.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::formtest;

namespace {

// The session's replies as the test sets them.
struct FakeReplies : PeopleReplies {
    SearchResults results;
    std::vector<UserDetails> details;
    SaveState save;

    SearchResults Results() const override { return results; }
    std::optional<UserDetails> Details(const std::u16string& uin) const override {
        for (const UserDetails& d : details) {
            if (d.uin == uin) return d;
        }
        return std::nullopt;
    }
    SaveState LastSave() const override { return save; }
};

FoundUser Found(std::u16string uin, std::u16string nickname, std::int32_t online) {
    FoundUser user;
    user.uin = std::move(uin);
    user.nickname = std::move(nickname);
    user.firstName = u"Вера";
    user.lastName = u"Соколова";
    user.email = u"vera@example.org";
    user.online = online;
    return user;
}

// A model with two saved contacts (Bob ignored), a recording session and a frame.
struct Fixture {
    DataDir data;
    std::unique_ptr<AppState> state;
    RecordingSession session;
    FakeReplies replies;
    std::unique_ptr<FrameHarness> harness;

    Fixture() {
        data.write("settings.txt", "[settings]\r\nprofile=111\r\n[111]\r\npassw=x\r\n");
        data.write("contacts_111.txt", "[1001]\r\nname=Ann\r\n[1002]\r\nname=Bob\r\nignored=1\r\n");
        state = std::make_unique<AppState>(data.path());
        state->ReloadAll();
        session.state = ConnState::ContactsLoaded;
    }
    template <class View>
    View& Open(ViewKind kind, int bar, std::function<FrameView*(QWidget*)> make) {
        harness = std::make_unique<FrameHarness>(kind, bar, std::move(make));
        return *harness->view<View>();
    }
    void Replied() { state->Notify(ChangeCode::PeopleReplied); }
    template <class C>
    const C* Queued(std::size_t i) const {
        return i < session.queued.size() ? std::get_if<C>(&session.queued[i]) : nullptr;
    }
    QByteArray ContactsFile() const { return data.read("contacts_111.txt"); }
};

void Type(QLineEdit* edit, const QString& text) {
    edit->clear();
    for (QChar c : text) QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

QStringList Rows(const QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
}

}  // namespace

class PeopleViewsTest : public QObject {
    Q_OBJECT

private slots:
    void searchByEmailListsTheResultsAndAddsTheChosen() {
        Fixture f;
        auto& view = f.Open<CSearchView>(ViewKind::PeopleSearch, menubar::kPeopleSearch, [&f](QWidget* p) {
            return new CSearchView(*f.state, f.session, f.replies, p);
        });
        Type(view.emailEdit(), QStringLiteral("vera@example.org"));
        QVERIFY(f.harness->frame.RouteCommand(cmd::kSearchFind));
        const auto* search = f.Queued<SearchPeopleCommand>(0);
        QVERIFY(search != nullptr);
        QCOMPARE(search->email, std::u16string(u"vera@example.org"));
        QVERIFY(search->uin.empty() && search->nickname.empty());
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kSearching));

        // The rows come as the replies do; the last one says how many were left.
        f.replies.results = SearchResults{search->search, {Found(u"100004", u"Вера", 1)}, false, 0};
        f.Replied();
        QCOMPARE(Rows(view.resultList()), QStringList{"Вера (Вера Соколова), 100004, в сети"});
        f.replies.results.users.push_back(Found(u"100009", u"", -1));
        f.replies.results.finished = true;
        f.replies.results.left = 3;
        f.Replied();
        QCOMPARE(Rows(view.resultList()), (QStringList{"Вера (Вера Соколова), 100004, в сети",
                                                       "100009 (Вера Соколова), 100009"}));
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kSearchFoundMore).arg(2).arg(3));

        // "Добавить": the usual add, once.
        view.resultList()->setCurrentRow(0);
        QVERIFY(view.addButton()->isEnabled());
        QTest::mouseClick(view.addButton(), Qt::LeftButton);
        const ContactPtr vera = f.state->FindContact(u"100004");
        QVERIFY(vera != nullptr);
        QCOMPARE(vera->Name(), std::u16string(u"Вера"));
        QVERIFY(f.ContactsFile().contains("[100004]"));
        const auto* add = f.Queued<AddContactCommand>(1);
        QVERIFY(add != nullptr);
        QCOMPARE(add->uin, std::u16string(u"100004"));
        QVERIFY(!view.addButton()->isEnabled());
        // "Написать": added when needed, made current, its conversation asked for.
        view.resultList()->setCurrentRow(1);
        QTest::mouseClick(view.writeButton(), Qt::LeftButton);
        f.harness->Settle();
        QVERIFY(f.state->CurrentContact() == f.state->FindContact(u"100009"));
        QCOMPARE(f.harness->application.Count(cmd::kWrite), 1);
    }

    void searchingWhileDisconnectedIsDisabledAndNobodyIsSaid() {
        Fixture f;
        f.session.state = ConnState::Disconnected;
        auto& view = f.Open<CSearchView>(ViewKind::PeopleSearch, menubar::kPeopleSearch, [&f](QWidget* p) {
            return new CSearchView(*f.state, f.session, f.replies, p);
        });
        QVERIFY(!f.harness->frame.softKey(1)->isEnabled());
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kSearchNoConnection));
        Type(view.nicknameEdit(), QStringLiteral("x"));
        QVERIFY(!view.Find());
        QVERIFY(f.session.queued.empty());

        f.session.state = ConnState::ContactsLoaded;
        f.state->Notify(ChangeCode::ConnectionStateChanged);
        QVERIFY(f.harness->frame.softKey(1)->isEnabled());
        QVERIFY(view.Find());
        const std::uint32_t mine = f.Queued<SearchPeopleCommand>(0)->search;
        // Another search's results are not this form's.
        f.replies.results = SearchResults{mine + 100, {Found(u"5", u"other", 1)}, true, 0};
        f.Replied();
        QCOMPARE(view.resultList()->count(), 0);
        f.replies.results = SearchResults{mine, {}, true, 0};
        f.Replied();
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kSearchNobody));
    }

    void detailsShowTheServersFieldsAndTakeTheNickname() {
        Fixture f;
        f.state->SetCurrentContact(f.state->FindContact(u"1001"));
        auto& view = f.Open<CDetailsView>(ViewKind::PeopleDetails, menubar::kPeopleDetails, [&f](QWidget* p) {
            return new CDetailsView(*f.state, f.session, f.replies, p);
        });
        const auto* request = f.Queued<RequestDetailsCommand>(0);
        QVERIFY(request != nullptr);
        QCOMPARE(request->uin, std::u16string(u"1001"));
        QCOMPARE(view.headerLabel()->text(), QStringLiteral("Ann (1001)"));
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kDetailsLoading));
        QVERIFY(!f.harness->frame.softKey(1)->isEnabled());  // no nickname yet

        UserDetails d;
        d.uin = u"1001";
        d.finished = d.found = true;
        d.nickname = u"Анечка";
        d.city = u"Тверь";
        d.gender = 1;
        d.emails = {u"a@x", u"b@x"};
        d.about = u"две\nстроки";
        f.replies.details.push_back(d);
        f.Replied();
        const QString text = view.detailsText()->toPlainText();
        QVERIFY2(text.startsWith("Ник: Анечка\nДругие адреса: a@x, b@x\nПол: женский\nГород: Тверь\n"),
                 qPrintable(text));
        QVERIFY(text.endsWith("О себе:\nдве\nстроки"));
        QVERIFY(view.detailsText()->isReadOnly());
        QCOMPARE(view.statusLabel()->text(), QString());

        QVERIFY(f.harness->frame.softKey(1)->isEnabled());
        QVERIFY(f.harness->frame.RouteCommand(cmd::kTakeNickname));
        QCOMPARE(f.state->FindContact(u"1001")->Name(), std::u16string(u"Анечка"));
        const auto* rename = f.Queued<RenameContactCommand>(1);
        QVERIFY(rename != nullptr);
        QCOMPARE(rename->name, std::u16string(u"Анечка"));
        QCOMPARE(view.headerLabel()->text(), QStringLiteral("Анечка (1001)"));
    }

    void ownDetailsAreReadThenSavedAndTheAnswerIsTold() {
        Fixture f;
        auto& view = f.Open<COwnDetailsView>(ViewKind::OwnDetails, menubar::kOwnDetails, [&f](QWidget* p) {
            return new COwnDetailsView(*f.state, f.session, f.replies, p);
        });
        QCOMPARE(f.Queued<RequestDetailsCommand>(0)->uin, std::u16string(u"111"));
        QVERIFY(!view.nicknameEdit()->isEnabled());
        QVERIFY(!f.harness->frame.softKey(1)->isEnabled());

        UserDetails own;
        own.uin = u"111";
        own.finished = own.found = true;
        own.nickname = u"Я";
        own.city = u"Тула";
        own.phone = u"555";
        own.country = 7;
        own.about = u"обо мне";
        f.replies.details.push_back(own);
        f.Replied();
        QVERIFY(view.nicknameEdit()->isEnabled());
        QCOMPARE(view.cityEdit()->text(), QStringLiteral("Тула"));
        QCOMPARE(view.aboutEdit()->toPlainText(), QStringLiteral("обо мне"));

        Type(view.cityEdit(), QStringLiteral("Москва"));
        view.aboutEdit()->setPlainText(QStringLiteral("строка 1\nстрока 2"));
        QVERIFY(f.harness->frame.RouteCommand(cmd::kSave));
        const auto* save = f.Queued<SaveOwnDetailsCommand>(1);
        QVERIFY(save != nullptr);
        QCOMPARE(save->city, std::u16string(u"Москва"));
        QCOMPARE(save->nickname, std::u16string(u"Я"));
        QCOMPARE(save->about, std::u16string(u"строка 1\nстрока 2"));
        QCOMPARE(save->phone, std::u16string(u"555"));  // the rest as it came
        QCOMPARE(save->country, 7);
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kOwnSaving));
        QVERIFY(!view.Save());  // one save at a time

        f.replies.save = SaveState{1, true, false};
        f.Replied();
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kOwnNotSaved));
        QMessageBox* told = f.harness->frame.findChild<QMessageBox*>();
        QVERIFY(told != nullptr);
        QCOMPARE(told->text(), LoadQString(str::kOwnNotSaved));
        told->close();
        QVERIFY(view.Save());
        f.replies.save = SaveState{2, true, true};
        f.Replied();
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kOwnSaved));
    }

    // Without a connection too: "Выбрать…" keeps the chosen image in the profile
    // and the form draws it; "Убрать" takes it away.
    void theOwnPictureIsChosenAndRemovedOnTheForm() {
        apptest::AppHarness h;
        h.Start(apptest::Seed{});
        QVERIFY(h.frame().RouteCommand(cmd::kOwnDetails));
        auto* view = qobject_cast<COwnDetailsView*>(h.frame().activeView());
        QVERIFY(view != nullptr);
        QVERIFY(!view->removePictureButton()->isEnabled());
        QImage red(60, 60, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(red.save(h.file("red.png")));

        QTest::mouseClick(view->choosePictureButton(), Qt::LeftButton);
        QFileDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = h.frame().findChild<QFileDialog*>(QStringLiteral("pictureDialog"))) != nullptr);
        emit dialog->fileSelected(h.file("red.png"));  // as the dialog does on "Open"
        dialog->close();
        QVERIFY(h.read("settings.txt").contains("picture=picture-"));
        QVERIFY(view->removePictureButton()->isEnabled());
        QCOMPARE(view->grab().toImage().pixelColor(view->PictureRect().center()), QColor(Qt::red));

        QTest::mouseClick(view->removePictureButton(), Qt::LeftButton);
        QTRY_VERIFY(!h.read("settings.txt").contains("picture="));
        QVERIFY(!view->removePictureButton()->isEnabled());
        QCOMPARE(view->grab().toImage().pixelColor(view->PictureRect().center()), shade::kForm);
    }

    void theIgnoredAreListedAndTakenOffTheList() {
        Fixture f;
        ContactInfo bob = f.state->FindContact(u"1002")->Snapshot();
        QVERIFY(bob.ignored());
        QVERIFY(!ContactListed(bob, false));  // not in the contact list view
        auto& view = f.Open<CIgnoredView>(ViewKind::IgnoredList, menubar::kIgnoredList, [&f](QWidget* p) {
            return new CIgnoredView(*f.state, f.session, p);
        });
        QCOMPARE(Rows(view.list()), QStringList{"Bob (1002)"});
        QVERIFY(f.harness->frame.RouteCommand(cmd::kUnignore));
        const auto* undo = f.Queued<PrivacyCommand>(0);
        QVERIFY(undo != nullptr);
        QCOMPARE(undo->uin, std::u16string(u"1002"));
        QCOMPARE(undo->list, kItemTypeIgnore);
        QVERIFY(!undo->add);
        QVERIFY(!f.state->FindContact(u"1002")->Snapshot().ignored());
        QVERIFY(!f.ContactsFile().contains("ignored"));
        QCOMPARE(view.list()->count(), 0);
        QCOMPARE(view.statusLabel()->text(), LoadQString(str::kIgnoredNone));
    }

    void anAwayStatusAsksForItsTextFirst() {
        apptest::AppHarness h;
        apptest::Seed seed;
        h.Start(seed);
        PeopleCommands& people = h.app->people();
        QVERIFY(h.frame().RouteCommand(cmd::kStatusOccupied));
        QVERIFY(people.awayTextBox() != nullptr);
        QVERIFY(people.awayTextEdit()->text().isEmpty());
        people.awayTextBox()->reject();  // "Отмена": nothing is chosen
        QVERIFY(!h.read("settings.txt").contains("status="));

        QVERIFY(h.frame().RouteCommand(cmd::kStatusOccupied));
        people.awayTextEdit()->setText(QStringLiteral("work"));
        people.awayTextBox()->accept();
        QVERIFY(h.read("settings.txt").contains("[100001]\r\nawaytext_occupied=work\r\n"));
        QVERIFY(h.read("settings.txt").contains("status=4\r\n"));
        // The next time the last text is offered.
        QVERIFY(h.frame().RouteCommand(cmd::kStatusOccupied));
        QCOMPARE(people.awayTextEdit()->text(), QStringLiteral("work"));
        people.awayTextBox()->reject();
    }

    // Every form in the form colours with its controls side by side inside the
    // view's width; at the default window the list or text stretches down to the
    // last few dialog units. (At the smallest window the application test looks
    // for overlaps.)
    void formsFitTheFormLook() {
        Fixture f;
        f.state->SetCurrentContact(f.state->FindContact(u"1001"));
        const std::vector<std::pair<ViewKind, std::function<FrameView*(QWidget*)>>> forms = {
            {ViewKind::PeopleSearch, [&f](QWidget* p) { return new CSearchView(*f.state, f.session, f.replies, p); }},
            {ViewKind::PeopleDetails, [&f](QWidget* p) { return new CDetailsView(*f.state, f.session, f.replies, p); }},
            {ViewKind::OwnDetails, [&f](QWidget* p) { return new COwnDetailsView(*f.state, f.session, f.replies, p); }},
            {ViewKind::IgnoredList, [&f](QWidget* p) { return new CIgnoredView(*f.state, f.session, p); }},
        };
        for (const auto& [kind, make] : forms) {
            f.harness = std::make_unique<FrameHarness>(kind, menubar::kPeopleSearch, make);
            for (const QSize size : {QSize(CMainFrame::kDefaultWidth, CMainFrame::kDefaultHeight),
                                     QSize(CMainFrame::kMinimumWidth, CMainFrame::kMinimumHeight)}) {
                f.harness->frame.resize(size);
                QApplication::processEvents();
                FrameView* view = f.harness->frame.activeView();
                const QImage image = view->grab().toImage();
                QCOMPARE(QColor(image.pixel(1, view->height() - 2)), shade::kForm);
                int lowest = 0;
                for (QWidget* control : view->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                    if (!control->isVisible()) continue;
                    const QRect r = control->geometry();
                    QVERIFY2(r.left() >= 0 && r.right() < view->width(), qPrintable(control->metaObject()->className()));
                    lowest = std::max(lowest, r.bottom());
                    if (qobject_cast<QLineEdit*>(control) != nullptr) {
                        QCOMPARE(QColor(image.pixel(r.right() - 4, r.center().y())), ThemeColors::kSteelBlue);
                    }
                }
                if (size.width() == CMainFrame::kDefaultWidth) {
                    QVERIFY2(view->height() - lowest < view->height() / 10, qPrintable(QString::number(lowest)));
                }
            }
        }
    }
};

QTEST_MAIN(PeopleViewsTest)
#include "people_views_test.moc"
