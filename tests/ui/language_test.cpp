// The interface's language: the locale variables pick it and the setting
// "language" overrides them; in English no Russian text is left anywhere the user
// looks (every string id, every menu, the forms, the boxes, Qt's own texts), and
// the Russian source is shown unchanged otherwise.
#include "ui/language.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTranslator>
#include <optional>

#include "resources/menus.h"
#include "resources/strings.h"
#include "resources/text_contexts.h"
#include "tests/ui/application_test_support.h"
#include "ui/desktop_notifier.h"
#include "ui/drawing_kit.h"
#include "ui/message_view.h"
#include "ui/transfer_strip.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::apptest;

namespace {

bool HasCyrillic(const QString& text) {
    static const QRegularExpression cyrillic(QStringLiteral("[\\x{0400}-\\x{04FF}]"));
    return text.contains(cyrillic);
}

// The "%1".."%9" markers of a text, sorted: a translation must fill in the same.
QStringList Markers(const QString& text) {
    static const QRegularExpression marker(QStringLiteral("%[1-9]"));
    QStringList found;
    for (auto it = marker.globalMatch(text); it.hasNext();) found << it.next().captured();
    found.sort();
    return found;
}

// The locale variables for one test; the old ones come back afterwards.
class LocaleVariables {
public:
    LocaleVariables(const char* lcAll, const char* lcMessages, const char* lang) {
        const char* values[] = {lcAll, lcMessages, lang};
        for (int i = 0; i < 3; ++i) {
            saved_[i] = qEnvironmentVariableIsSet(kNames[i])
                            ? std::optional<QByteArray>(qgetenv(kNames[i]))
                            : std::nullopt;
            Set(kNames[i], values[i]);
        }
    }
    ~LocaleVariables() {
        for (int i = 0; i < 3; ++i) Set(kNames[i], saved_[i] ? saved_[i]->constData() : nullptr);
    }

private:
    static void Set(const char* name, const char* value) {
        if (value == nullptr) {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    }
    static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::optional<QByteArray> saved_[3];
};

void CollectMenuTexts(const std::vector<MenuItem>& items, QStringList& texts) {
    for (const MenuItem& item : items) {
        if (!item.text.empty()) texts << QString::fromStdU16String(item.text);
        CollectMenuTexts(item.submenu, texts);
    }
}

// The source text of every menu item of every menu bar, once each.
QStringList AllMenuTexts() {
    QStringList texts;
    for (const int id : MenuDefinitionIds()) CollectMenuTexts(FindMenuDefinition(id)->items, texts);
    texts.removeDuplicates();
    return texts;
}

void AddMenuTexts(const QMenu* menu, QStringList& texts) {
    texts << menu->title();
    for (const QAction* action : menu->actions()) {
        texts << action->text();
        if (action->menu() != nullptr) AddMenuTexts(action->menu(), texts);
    }
}

// What a widget and everything in it show or tell a screen reader.
QStringList ShownTexts(const QWidget* root) {
    QList<const QWidget*> widgets{root};
    for (const QWidget* child : root->findChildren<QWidget*>()) widgets << child;
    QStringList texts;
    for (const QWidget* w : widgets) {
        texts << w->toolTip() << w->accessibleName() << w->accessibleDescription();
        if (w->isWindow()) texts << w->windowTitle();
        if (const auto* label = qobject_cast<const QLabel*>(w)) texts << label->text();
        if (const auto* button = qobject_cast<const QAbstractButton*>(w)) texts << button->text();
        if (const auto* edit = qobject_cast<const QLineEdit*>(w)) texts << edit->placeholderText();
        if (const auto* menu = qobject_cast<const QMenu*>(w)) AddMenuTexts(menu, texts);
        if (const auto* combo = qobject_cast<const QComboBox*>(w)) {
            for (int i = 0; i < combo->count(); ++i) {
                // The languages are named in their own language.
                if (combo->itemText(i) != QStringLiteral("Русский")) texts << combo->itemText(i);
            }
        }
    }
    texts.removeAll(QString());
    return texts;
}

QStringList RussianOnes(const QStringList& texts) {
    QStringList russian;
    for (const QString& text : texts) {
        if (HasCyrillic(text)) russian << text;
    }
    return russian;
}

Seed LatinSeed() {
    Seed seed;
    seed.contacts = {Template(u"100002", u"Bob"), Template(u"100003", u"Carol")};
    seed.histories[u"100002"] = {u"Hello"};
    return seed;
}

}  // namespace

class LanguageTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setFont(ApplicationFont()); }
    void cleanup() { UseLanguage(Language::Russian); }

    void localeAndSettingPickTheLanguage_data() {
        QTest::addColumn<QByteArray>("lcAll");
        QTest::addColumn<QByteArray>("lcMessages");
        QTest::addColumn<QByteArray>("lang");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<bool>("english");
        const QByteArray unset;  // null: the variable is not set at all
        QTest::newRow("LANG en_US") << unset << unset << QByteArray("en_US.UTF-8") << "" << true;
        QTest::newRow("LANG en") << unset << unset << QByteArray("en") << "" << true;
        QTest::newRow("LANG ru_RU") << unset << unset << QByteArray("ru_RU.UTF-8") << "" << false;
        QTest::newRow("LANG C.UTF-8") << unset << unset << QByteArray("C.UTF-8") << "" << false;
        QTest::newRow("LANG de_DE") << unset << unset << QByteArray("de_DE.UTF-8") << "" << false;
        QTest::newRow("nothing set") << unset << unset << unset << "" << false;
        QTest::newRow("LC_MESSAGES over LANG")
            << unset << QByteArray("en_GB.UTF-8") << QByteArray("ru_RU.UTF-8") << "" << true;
        QTest::newRow("empty LC_MESSAGES")
            << unset << QByteArray("") << QByteArray("en_US") << "" << true;
        QTest::newRow("LC_ALL over both") << QByteArray("ru_RU.UTF-8") << QByteArray("en_US")
                                          << QByteArray("en_US") << "" << false;
        QTest::newRow("setting ru over en")
            << unset << unset << QByteArray("en_US.UTF-8") << "ru" << false;
        QTest::newRow("setting en over ru")
            << unset << unset << QByteArray("ru_RU.UTF-8") << "en" << true;
        QTest::newRow("unknown setting")
            << unset << unset << QByteArray("en_US.UTF-8") << "de" << true;
    }
    void localeAndSettingPickTheLanguage() {
        QFETCH(QByteArray, lcAll);
        QFETCH(QByteArray, lcMessages);
        QFETCH(QByteArray, lang);
        QFETCH(QString, setting);
        QFETCH(bool, english);
        const LocaleVariables locale(lcAll.isNull() ? nullptr : lcAll.constData(),
                                     lcMessages.isNull() ? nullptr : lcMessages.constData(),
                                     lang.isNull() ? nullptr : lang.constData());
        QCOMPARE(ChosenLanguage(setting.toStdU16String()),
                 english ? Language::English : Language::Russian);
    }

    // Each text of the string table and the menus has an English translation in the
    // program that fills in the same markers; texts added later fail here until the
    // translation is brought up to date (target pellox_lupdate).
    void everyStringAndMenuTextIsTranslated() {
        QVERIFY(UseLanguage(Language::English));
        QTranslator compiled;
        QVERIFY(compiled.load(QStringLiteral(":/i18n/pellox_en.qm")));
        QStringList problems;
        const auto check = [&](const char* context, const QString& source, const QString& shown,
                               const QString& where) {
            if (compiled.translate(context, source.toUtf8().constData()).isEmpty()) {
                problems << where + QStringLiteral(" not translated: ") + source;
            } else if (HasCyrillic(shown) || Markers(shown) != Markers(source)) {
                problems << where + QStringLiteral(" translated wrongly: ") + shown;
            }
        };
        const std::vector<int> ids = StringIds();
        QVERIFY(ids.size() > 60);
        for (const int id : ids) {
            check(kStringsContext, QString::fromStdU16String(std::u16string(StringView(id))),
                  LoadQString(id), QStringLiteral("string %1").arg(id));
        }
        const QStringList menuTexts = AllMenuTexts();
        QVERIFY(menuTexts.size() > 20);
        for (const QString& text : menuTexts) {
            check(kMenusContext, text, MenuQString(text.toStdU16String()), QStringLiteral("menu"));
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        // The session's own notices are put together from the translation, in one
        // pass: text from the network that looks like a marker stays as it is.
        QCOMPARE(FormatQString(str::kServerAddFailed, {u"100002", u"%1"}),
                 QString("Contact 100002 was not added to the server list (error %1): it "
                         "stays in this list only."));
        // The transfer strip's rows, the size's unit too.
        TransferInfo transfer;
        transfer.name = u"a.bin";
        transfer.size = 2048;
        QCOMPARE(TransferStrip::RowText(transfer), QString("Incoming file “a.bin” (2,0 KB)"));
        QCOMPARE(FileOfferText(u"a.bin", 2048), QString("File “a.bin” (2,0 KB) offered"));
        transfer.state = TransferState::Running;  // the time left not known yet
        transfer.done = 512;
        QCOMPARE(TransferStrip::RowText(transfer), QString("“a.bin”: 512 B of 2,0 KB, 0 B/s, … s left"));

        // Back in Russian, every text is its source again.
        (void)UseLanguage(Language::Russian);
        for (const int id : ids) {
            QCOMPARE(LoadQString(id), QString::fromStdU16String(std::u16string(StringView(id))));
        }
        for (const QString& text : menuTexts) QCOMPARE(MenuQString(text.toStdU16String()), text);
    }

    // The application started under a locale and a setting: the frame, its menus,
    // every form, a question box, the notification's choices and Qt's own texts
    // in the chosen language; in English they must fit the smallest window too.
    void theApplicationShowsTheChosenLanguage_data() {
        QTest::addColumn<QByteArray>("lang");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<bool>("english");
        QTest::newRow("English locale") << QByteArray("en_US.UTF-8") << "" << true;
        QTest::newRow("setting en, Russian locale") << QByteArray("ru_RU.UTF-8") << "en" << true;
        QTest::newRow("setting ru, English locale") << QByteArray("en_US.UTF-8") << "ru" << false;
        QTest::newRow("Russian locale") << QByteArray("ru_RU.UTF-8") << "" << false;
    }
    void theApplicationShowsTheChosenLanguage() {
        QFETCH(QByteArray, lang);
        QFETCH(QString, setting);
        QFETCH(bool, english);
        const LocaleVariables locale(nullptr, nullptr, lang.constData());
        AppHarness h;
        Seed seed = LatinSeed();
        seed.language = setting.toStdU16String();
        h.Start(seed);
        QCOMPARE(CurrentLanguage(), english ? Language::English : Language::Russian);
        CMainFrame& frame = h.frame();
        frame.resize(CMainFrame::kMinimumWidth, CMainFrame::kMinimumHeight);
        QTRY_COMPARE(frame.activeView()->width(), CMainFrame::kMinimumWidth);
        h.state->SetCurrentContact(h.state->FindContact(u"100002"));

        QCOMPARE(frame.softKey(0)->text(), english ? QString("Menu") : QString("Меню"));
        QCOMPARE(frame.softKey(1)->text(), english ? QString("Write") : QString("Написать"));
        QCOMPARE(h.statusText(), english ? QString("Disconnected") : QString("Отключен"));
        const QVector<std::pair<QString, QString>> actions =
            h.app->messageAnnouncer().Request(QStringLiteral("t"), QStringLiteral("b")).actions;
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions[0].second, english ? QString("Open") : QString("Открыть"));

        QStringList shown{h.statusText(), actions[0].second, actions[1].second};
        QStringList clipped;
        for (const int command : {cmd::kShowContacts, cmd::kWrite, cmd::kSettings, cmd::kAddContact,
                                  cmd::kContactInfo, cmd::kSearchHistory, cmd::kFindPeople,
                                  cmd::kOwnDetails, cmd::kIgnoredList}) {
            QVERIFY(frame.RouteCommand(cmd::kShowContacts));
            QVERIFY(frame.RouteCommand(command));
            QCoreApplication::processEvents();
            QWidget* view = frame.activeView();
            shown << ShownTexts(&frame);
            for (const QLabel* label : view->findChildren<QLabel*>()) {
                const QRect needed = label->fontMetrics().boundingRect(
                    QRect(0, 0, label->width(), 10000), label->wordWrap() ? Qt::TextWordWrap : 0,
                    label->text());
                if (needed.width() > label->width() || needed.height() > label->height()) {
                    clipped << label->text();
                }
            }
            for (const auto* key : {frame.softKey(0), frame.softKey(1)}) {
                if (key->fontMetrics().horizontalAdvance(key->text()) >= key->width()) {
                    clipped << key->text();
                }
            }
        }
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; "))));

        // A question box, and the conversation's input box's own (Qt's) menu.
        QVERIFY(frame.RouteCommand(cmd::kShowContacts));
        QVERIFY(frame.RouteCommand(cmd::kDeleteContact));
        QMessageBox* question = OpenQuestion(frame);
        QVERIFY(question != nullptr);
        shown << ShownTexts(question);
        question->close();
        // The away text's question.
        QVERIFY(frame.RouteCommand(cmd::kStatusAway));
        auto* awayBox = frame.findChild<QDialog*>(QStringLiteral("awayText"));
        QVERIFY(awayBox != nullptr);
        shown << ShownTexts(awayBox);
        awayBox->close();
        QVERIFY(frame.RouteCommand(cmd::kWrite));
        auto* conversation = qobject_cast<CMessageView*>(frame.activeView());
        QVERIFY(conversation != nullptr);
        const std::unique_ptr<QMenu> boxMenu(conversation->inputBox()->createStandardContextMenu());
        QStringList qtTexts;
        AddMenuTexts(boxMenu.get(), qtTexts);
        qtTexts.removeAll(QString());
        QVERIFY(qtTexts.size() >= 5);

        if (english) {
            shown << qtTexts;
            QVERIFY2(RussianOnes(shown).isEmpty(),
                     qPrintable(RussianOnes(shown).join(QStringLiteral("; "))));
            QVERIFY(shown.contains(QStringLiteral("Delete the contact Bob?")));
        } else {
            QVERIFY(shown.contains(QStringLiteral("Удалить профиль")));
            QVERIFY(shown.contains(QStringLiteral("Получить с сервера")));
            QVERIFY(shown.contains(QStringLiteral("Да")));
            QVERIFY2(RussianOnes(qtTexts).size() == qtTexts.size(),
                     qPrintable(qtTexts.join(QStringLiteral("; "))));
        }
    }
};

QTEST_MAIN(LanguageTest)
#include "language_test.moc"
