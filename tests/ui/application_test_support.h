// Shared pieces of the application tests: a data directory seeded with settings,
// a contact list and histories, the application started on it, and lookups of its
// views, status line and popup menu entries.
#pragma once

#include <QAction>
#include <QDBusConnection>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "resources/command_ids.h"
#include "store/app_state.h"
#include "store/contact_list_file.h"
#include "store/message_history.h"
#include "store/settings.h"
#include "tests/ui/form_test_support.h"
#include "ui/application.h"
#include "ui/contacts_view.h"
#include "ui/main_frame.h"
#include "ui/message_box.h"

namespace pellox::apptest {

inline std::u16string U16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// What goes into the data directory before the application starts.
struct Seed {
    std::u16string profile = u"100001";
    std::u16string password = u"alice";
    std::u16string server;  // the profile's "server" key; none when empty
    bool autoconnect = false;
    bool onlyonline = false;
    bool sendclose = true;
    std::u16string language;  // the setting "language"
    std::vector<ContactInfo> contacts;
    // Histories to write: contact UIN -> texts of incoming entries.
    std::map<std::u16string, std::vector<std::u16string>> histories;
};

inline ContactInfo Template(std::u16string uin, std::u16string name) {
    ContactInfo info;
    info.uin = std::move(uin);
    info.name = std::move(name);
    return info;
}

// A bus connection that is not connected: notifications fail at once, so the
// announcement falls back to the sound without any service.
inline QDBusConnection NoBus() {
    return QDBusConnection(QStringLiteral("pellox-test-no-bus"));
}

// A loopback port nobody listens on (bound once, then closed).
inline std::uint16_t ClosedPort() {
    const platform::SocketHandle listener =
        platform::ListenTcp(platform::Ipv4Endpoint{0x7F000001, 0});
    const std::uint16_t port = platform::BoundPort(listener);
    platform::CloseSocket(listener);
    return port;
}

// The application on a data directory of its own, removed afterwards.
struct AppHarness : formtest::DataDir {
    std::unique_ptr<AppState> state;
    std::unique_ptr<ui::Application> app;
    std::vector<int> delivered;  // posted change codes, in delivery order

    void Write(const Seed& seed) const {
        Settings settings;
        settings.profile = seed.profile;
        settings.autoconnect = seed.autoconnect;
        settings.onlyonline = seed.onlyonline;
        settings.sendclose = seed.sendclose;
        settings.language = seed.language;
        settings.Password(seed.profile) = seed.password;
        if (!seed.server.empty()) settings.profiles[seed.profile].values[u"server"] = seed.server;
        QVERIFY(settings.Save(path()));
        QFile list(file(QString::fromStdString(ContactListFileName(seed.profile))));
        QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Truncate));
        list.write(QByteArray::fromStdString(FormatContactList(seed.contacts)));
        list.close();
        for (const auto& [uin, texts] : seed.histories) {
            MessageHistory history(path());
            QVERIFY(history.Load("msg_" + std::string(uin.begin(), uin.end()) + ".txt"));
            for (const std::u16string& text : texts) {
                history.Append(MessageEntry{text, 1700000000, MessageDirection::In});
            }
        }
    }

    // Makes the model and the application (not started).
    ui::Application& Make() {
        state = std::make_unique<AppState>(path());
        app = std::make_unique<ui::Application>(*state, NoBus());
        QObject::connect(app.get(), &ui::Application::changeDelivered,
                         [this](int code) { delivered.push_back(code); });
        return *app;
    }
    ui::Application& Start(const Seed& seed) {
        Write(seed);
        Make();
        app->Start();
        return *app;
    }

    ~AppHarness() {
        app.reset();
        state.reset();
    }

    ui::CMainFrame& frame() const { return *app->frame(); }
    ui::CContactsView* contactsView() const {
        return qobject_cast<ui::CContactsView*>(frame().findView(ui::ViewKind::Contacts));
    }
    QString statusText() const { return contactsView()->statusLine().text(); }
    int Delivered(ChangeCode code) const {
        int count = 0;
        for (int c : delivered) count += c == static_cast<int>(code) ? 1 : 0;
        return count;
    }
    bool Enabled(int id) const {
        const auto state = frame().QueryRoute(id);
        return state.has_value() && state->enabled;
    }
};

// The question box open over the frame, or null.
inline QMessageBox* OpenQuestion(ui::CMainFrame& frame) {
    for (QMessageBox* box : frame.findChildren<QMessageBox*>(ui::kQuestionObjectName)) {
        if (box->isVisible()) return box;
    }
    return nullptr;
}

// Clicks the button of the open question whose text is `answer`; false when there
// is no question or no such button.
inline bool Answer(ui::CMainFrame& frame, const QString& answer) {
    QMessageBox* box = OpenQuestion(frame);
    if (box == nullptr) return false;
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() != answer) continue;
        button->click();
        return true;
    }
    return false;
}

// The popup entry of command `id` under `menu` (searched through its submenus),
// after the menu was refreshed as opening it does.
inline QAction* MenuEntry(QMenu* menu, int id) {
    if (menu == nullptr) return nullptr;
    emit menu->aboutToShow();
    for (QAction* action : menu->actions()) {
        if (QMenu* submenu = action->menu()) {
            if (QAction* found = MenuEntry(submenu, id)) return found;
        } else if (action->property("pelloxCommand").toInt() == id) {
            return action;
        }
    }
    return nullptr;
}

}  // namespace pellox::apptest
