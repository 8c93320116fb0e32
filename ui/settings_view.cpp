#include "ui/settings_view.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QSignalBlocker>

#include "net/session.h"
#include "resources/command_ids.h"
#include "store/message_history.h"
#include "ui/image_button.h"
#include "ui_settings_view.h"

namespace pellox::ui {

namespace {

std::u16string Text(const QLineEdit* edit) {
    return edit->text().toStdU16String();
}

void SetText(QLineEdit* edit, const std::u16string& text) {
    edit->setText(QString::fromStdU16String(text));
}

}  // namespace

std::u16string ProfileServer(const Settings& settings, const std::u16string& profile) {
    auto entry = settings.profiles.find(profile);
    if (entry == settings.profiles.end()) return {};
    auto value = entry->second.values.find(kServerKey);
    return value == entry->second.values.end() ? std::u16string() : value->second;
}

std::u16string LoginServerOf(const Settings& settings) {
    std::u16string server = ProfileServer(settings, settings.profile);
    if (server.empty()) {
        for (const char* c = kLoginServerHost; *c != '\0'; ++c) server.push_back(char16_t(*c));
    }
    return server;
}

CSettingsView::CSettingsView(AppState& state, SessionControl& session, QWidget* parent)
    : DialogFormView(parent),
      state_(state),
      session_(session),
      ui_(std::make_unique<Ui::SettingsForm>()) {
    ui_->setupUi(this);
    SetUpForm();
    LimitToUin(ui_->id1004_uinEdit);
    connect(ui_->id1008_profileList, &QListWidget::itemSelectionChanged, this,
            &CSettingsView::SelectProfile);
    connect(ui_->id1009_deleteButton, &QPushButton::clicked, this, &CSettingsView::DeleteProfile);
    connect(ui_->id1004_uinEdit, &QLineEdit::textEdited, this, &CSettingsView::NumberEdited);
}

CSettingsView::~CSettingsView() = default;

QLineEdit* CSettingsView::uinEdit() const {
    return ui_->id1004_uinEdit;
}
QLineEdit* CSettingsView::passwordEdit() const {
    return ui_->id1005_passwordEdit;
}
QLineEdit* CSettingsView::serverEdit() const {
    return ui_->id1012_serverEdit;
}
QCheckBox* CSettingsView::autoconnectCheck() const {
    return ui_->id1007_autoconnectCheck;
}
QCheckBox* CSettingsView::sendcloseCheck() const {
    return ui_->id1010_sendcloseCheck;
}
QCheckBox* CSettingsView::reconnectCheck() const {
    return ui_->id1013_reconnectCheck;
}
QCheckBox* CSettingsView::typingCheck() const {
    return ui_->id1014_typingCheck;
}
QRadioButton* CSettingsView::md5Radio() const {
    return ui_->id1015_md5Radio;
}
QRadioButton* CSettingsView::roastedRadio() const {
    return ui_->id1016_roastedRadio;
}
QCheckBox* CSettingsView::tlsCheck() const {
    return ui_->id1017_tlsCheck;
}
QListWidget* CSettingsView::profileList() const {
    return ui_->id1008_profileList;
}
ImageButton* CSettingsView::deleteButton() const {
    return ui_->id1009_deleteButton;
}

void CSettingsView::OnInitialUpdate() {
    if (opened_) return;
    opened_ = true;
    Open();
    ui_->id1004_uinEdit->setFocus();
}

bool CSettingsView::OnCommand(int id) {
    if (id != cmd::kSave && id != cmd::kOk) return false;
    Save();
    return true;
}

std::optional<CommandState> CSettingsView::QueryCommand(int id) {
    if (id == cmd::kSave || id == cmd::kOk) return CommandState{};
    return std::nullopt;
}

void CSettingsView::Open() {
    struct Values {
        std::u16string uin, password, server;
        bool autoconnect = false, sendclose = false, reconnect = false, typing = false;
        SignOnChoice choice;
        bool isNew = false;
        std::vector<std::u16string> profiles;
    };
    const Values values = state_.UpdateSettings([](Settings& settings) {
        Values v;
        v.uin = settings.profile;
        v.isNew = settings.profiles.find(settings.profile) == settings.profiles.end();
        v.choice = ChoiceOf(settings, settings.profile);
        v.password = settings.Password();  // creates the active profile when missing
        v.server = ProfileServer(settings, settings.profile);
        v.autoconnect = settings.autoconnect;
        v.sendclose = settings.sendclose;
        v.reconnect = settings.reconnect;
        v.typing = settings.typing;
        // A profile without a name cannot be stored, so it is not offered.
        for (const auto& entry : settings.profiles) {
            if (!entry.first.empty()) v.profiles.push_back(entry.first);
        }
        return v;
    });
    originalUin_ = values.uin;

    QListWidget* list = ui_->id1008_profileList;
    {
        const QSignalBlocker block(list);
        list->clear();
        for (const std::u16string& name : values.profiles) {
            list->addItem(QString::fromStdU16String(name));
        }
        list->setCurrentItem(nullptr);
        list->clearSelection();
        const QString active = QString::fromStdU16String(values.uin);
        for (int row = 0; row < list->count(); ++row) {
            if (list->item(row)->text() == active) {
                list->setCurrentRow(row);
                break;
            }
        }
    }
    ShowProfile(values.uin, values.password, values.server, values.choice);
    numberIsNew_ = values.isNew;
    ui_->id1007_autoconnectCheck->setChecked(values.autoconnect);
    ui_->id1010_sendcloseCheck->setChecked(values.sendclose);
    ui_->id1013_reconnectCheck->setChecked(values.reconnect);
    ui_->id1014_typingCheck->setChecked(values.typing);
}

std::optional<std::u16string> CSettingsView::SelectedProfile() const {
    const QList<QListWidgetItem*> selected = ui_->id1008_profileList->selectedItems();
    if (selected.isEmpty()) return std::nullopt;
    return selected.front()->text().toStdU16String();
}

CSettingsView::SignOnChoice CSettingsView::ChoiceOf(const Settings& settings,
                                                   const std::u16string& name) {
    const auto profile = settings.profiles.find(name);
    if (profile == settings.profiles.end()) return SignOnChoice{};
    return SignOnChoice{UsesMd5Login(profile->second), UsesTls(profile->second)};
}

void CSettingsView::ShowProfile(const std::u16string& name, const std::u16string& password,
                                const std::u16string& server, SignOnChoice choice) {
    SetText(ui_->id1004_uinEdit, name);
    SetText(ui_->id1005_passwordEdit, password);
    SetText(ui_->id1012_serverEdit, server);
    (choice.md5 ? ui_->id1015_md5Radio : ui_->id1016_roastedRadio)->setChecked(true);
    ui_->id1017_tlsCheck->setChecked(choice.tls);
}

void CSettingsView::SelectProfile() {
    const std::optional<std::u16string> name = SelectedProfile();
    if (!name) return;
    std::u16string password, server;
    SignOnChoice choice;
    state_.UpdateSettings([&](Settings& settings) {
        choice = ChoiceOf(settings, *name);
        password = settings.Password(*name);
        server = ProfileServer(settings, *name);
    });
    ShowProfile(*name, password, server, choice);
    numberIsNew_ = false;
}

void CSettingsView::NumberEdited() {
    const std::u16string number = Text(ui_->id1004_uinEdit);
    const bool isNew = state_.ReadSettings(
        [&](const Settings& settings) { return settings.profiles.count(number) == 0; });
    if (isNew && !numberIsNew_) ui_->id1015_md5Radio->setChecked(true);
    numberIsNew_ = isNew;
}

void CSettingsView::DeleteProfile() {
    const std::optional<std::u16string> name = SelectedProfile();
    if (!name) return;
    QListWidget* list = ui_->id1008_profileList;
    {
        // Taking the entry out is not a pick of another profile.
        const QSignalBlocker block(list);
        delete list->takeItem(list->currentRow());
        list->setCurrentItem(nullptr);
        list->clearSelection();
    }

    const bool wasActive = state_.UpdateSettings([&](Settings& settings) {
        settings.EraseProfile(*name);
        return settings.profile == *name;
    });
    (void)state_.DeleteContactListFile(*name);
    if (!wasActive) return;

    // The contacts in memory are this profile's: their loaded conversations and
    // unread marks go with it. Views showing them are told.
    for (const ContactPtr& contact : state_.Contacts()) {
        const std::shared_ptr<MessageHistory> history = contact->History();
        if (history) history->Clear();
        const bool hadUnread = contact->Update([](ContactInfo& info) {
            const bool had = info.unreadCount != 0;
            info.unreadCount = 0;
            return had;
        });
        if (history) state_.Notify(ChangeCode::ConversationChanged, contact);
        if (hadUnread) state_.Notify(ChangeCode::ContactChanged, contact);
    }
}

void CSettingsView::Save() {
    if (!CheckFormFields(this, {{ui_->id1004_uinEdit, ui_->labelUin->text(), true, true},
                                {ui_->id1005_passwordEdit, ui_->labelPassword->text()},
                                {ui_->id1012_serverEdit, ui_->labelServer->text(), true}})) {
        return;  // nothing saved; the form stays
    }
    const std::u16string uin = Text(ui_->id1004_uinEdit);
    const std::u16string password = Text(ui_->id1005_passwordEdit);
    const std::u16string server = Text(ui_->id1012_serverEdit);
    const bool autoconnect = ui_->id1007_autoconnectCheck->isChecked();
    const bool sendclose = ui_->id1010_sendcloseCheck->isChecked();
    const bool reconnect = ui_->id1013_reconnectCheck->isChecked();
    const bool typing = ui_->id1014_typingCheck->isChecked();
    const bool md5 = ui_->id1015_md5Radio->isChecked();
    const bool tls = ui_->id1017_tlsCheck->isChecked();

    state_.UpdateSettings([&](Settings& settings) {
        settings.profile = uin;
        settings.Password() = password;
        auto& values = settings.profiles[uin].values;
        if (server.empty()) {
            values.erase(kServerKey);
        } else {
            values[kServerKey] = server;
        }
        // What a profile without the key means is not written in, so that the file
        // of a profile whose choices were left alone stays as it was.
        const auto choose = [&values](const char16_t* key, const char16_t* value, bool meantByNoKey) {
            if (!meantByNoKey || values.count(key) != 0) values[key] = value;
        };
        choose(kLoginKey, md5 ? kLoginMd5 : kLoginRoasted, !md5);
        choose(kTlsKey, tls ? u"1" : u"0", !tls);
        settings.autoconnect = autoconnect;
        settings.sendclose = sendclose;
        settings.reconnect = reconnect;
        settings.typing = typing;
    });

    if (uin != originalUin_) {
        // Another profile: its connection, contacts and list replace the old ones.
        (void)state_.SaveSettings();
        if (session_.State() != ConnState::Disconnected) session_.CloseSession();
        state_.ReloadAll();
        state_.Notify(ChangeCode::ListReset);
    } else {
        (void)state_.SaveContacts();  // the settings, then the contact list
    }
    originalUin_ = uin;
    PostFrameCommand(cmd::kShowContacts);
}

}  // namespace pellox::ui
