// Shared pieces of the accessibility tests: a frame with the contact list and the
// conversation over a model of its own (posted changes delivered by the event loop,
// as the application delivers them), and walks through the accessible tree.
#pragma once

#include <QAccessible>
#include <QApplication>
#include <QStringList>
#include <QTest>
#include <ctime>

#include "platform/local_time.h"
#include "resources/command_ids.h"
#include "tests/ui/view_test_support.h"
#include "ui/contacts_view.h"
#include "ui/message_view.h"
#include "ui/sound_player.h"

namespace pellox::test {

// The tests read times in UTC at a fixed now.
inline constexpr std::time_t kFixedNow = 1700000000;  // 2023-11-14 22:13:20 UTC
inline std::time_t FixedClock() {
    return kFixedNow;
}
inline void UseFixedTime() {
    qputenv("TZ", "UTC0");
    tzset();
    platform::SetClockForTesting(&FixedClock);
}

struct A11yHarness {
    TempModel model;
    RecordingSession session;
    ui::SoundPlayer sounds{QStringList{}};
    CommandRecorder application;
    int connectionState = static_cast<int>(ConnState::ContactsLoaded);  // what the status line shows
    EventLoopPoster poster{model.state};
    ui::CMainFrame frame;

    A11yHarness() {
        session.state = ConnState::ContactsLoaded;
        frame.SetApplicationTarget(&application);
        frame.RegisterView(ui::ViewKind::Contacts, [this](QWidget* parent) {
            return new ui::CContactsView(
                model.state, ui::SessionProbe{[this] { return connectionState; }, {}, {}, {}}, parent);
        });
        frame.RegisterView(ui::ViewKind::Message, [this](QWidget* parent) {
            return new ui::CMessageView(model.state, session, sounds, parent);
        });
    }
    // Shows the frame with the contact list.
    ui::CContactsView* ShowContacts() {
        frame.show();
        QApplication::setActiveWindow(&frame);
        frame.SwitchView(ui::ViewKind::Contacts, menubar::kMain);
        return contacts();
    }
    // Makes `contact` current and shows its conversation.
    ui::CMessageView* Open(const ContactPtr& contact) {
        model.state.SetCurrentContact(contact);
        frame.SwitchView(ui::ViewKind::Message, menubar::kMessage);
        return qobject_cast<ui::CMessageView*>(frame.findView(ui::ViewKind::Message));
    }
    ui::CContactsView* contacts() const {
        return qobject_cast<ui::CContactsView*>(frame.findView(ui::ViewKind::Contacts));
    }
    // A listed contact whose loaded history holds `entries`.
    ContactPtr AddWithHistory(const ContactInfo& info, const std::vector<MessageEntry>& entries) {
        ContactPtr contact = model.Add(info);
        std::shared_ptr<MessageHistory> history = model.state.GetHistory(contact);
        for (const MessageEntry& entry : entries) history->Append(entry);
        return contact;
    }
    // Lets posted changes run, and whatever they post in turn.
    static void Settle() {
        for (int round = 0; round < 5; ++round) QTest::qWait(10);
    }
};

inline QAccessibleInterface* Accessible(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

// The `nth` child of `parent` with role `role`, or null.
inline QAccessibleInterface* ChildWithRole(QAccessibleInterface* parent, QAccessible::Role role,
                                           int nth = 0) {
    if (parent == nullptr) return nullptr;
    for (int i = 0; i < parent->childCount(); ++i) {
        QAccessibleInterface* child = parent->child(i);
        if (child != nullptr && child->role() == role && nth-- == 0) return child;
    }
    return nullptr;
}

inline QStringList ChildNames(QAccessibleInterface* parent) {
    QStringList names;
    for (int i = 0; parent != nullptr && i < parent->childCount(); ++i) {
        names << parent->child(i)->text(QAccessible::Name);
    }
    return names;
}

// The contact list of the contacts view and the conversation list of a view.
inline QAccessibleInterface* ContactList(ui::CContactsView* view) {
    return ChildWithRole(Accessible(view), QAccessible::List, 0);
}
inline QAccessibleInterface* Conversation(QWidget* view) {
    QAccessibleInterface* iface = Accessible(view);
    return ChildWithRole(iface, QAccessible::List, qobject_cast<ui::CContactsView*>(view) ? 1 : 0);
}

}  // namespace pellox::test
