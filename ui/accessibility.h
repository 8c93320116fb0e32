// What a screen reader sees of the custom-drawn parts. The contact list, the
// conversations, the clock and the status line are painted, not built of widgets,
// so the views that paint them describe them through accessible interfaces of
// their own (Qt's bridge hands these to AT-SPI):
//  - the contact list view: the list ("Список контактов", its items the listed
//    contacts, "Вера, в сети, 2 непрочитанных"; the selected item is the current
//    contact, and focused while the view has the focus), the compact conversation,
//    the clock, the status line, then its buttons;
//  - the conversation view: the header line (the contact, its presence, its
//    typing), the conversation, then the input box and the send button;
//  - a conversation is a list of its entries as painted, newest first
//    ("Вера, 12:04: текст");
//  - the frame's header strip is a tool bar named by the title, one's own number
//    and presence.
// Each view also holds a notification that is shown, and so spoken, when a message
// arrives in the conversation it shows.
//
// Events are sent only while assistive technology listens (QAccessible::isActive).
// User-interface thread only.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "store/app_state.h"

class QWidget;

namespace pellox::ui {

class ContactListPanel;
class HistoryPanel;

// Installs the interfaces of the custom-drawn widgets. The frame and every view
// call it when constructed; calls after the first do nothing.
void InstallAccessibility();

// ---- What is said ----

// A presence in words, lower case: the text of the status menu ("в сети",
// "отсутствую"...), "не в сети" for offline; empty for a value outside 0..7.
QString PresenceWords(std::int32_t status);
// A contact list entry: the display name, the presence, "переписка открыта" while
// the conversation is open, the unread count ("1 непрочитанное", "2
// непрочитанных"), joined by ", ".
QString ContactItemText(const ContactInfo& info);
// A conversation entry: who wrote it ("Я" for one's own, `contactName` for the
// contact, nobody for a system entry), its local time "%H:%M" (none for time 0) and
// the text on one line: "Вера, 12:04: текст".
QString HistoryEntryText(const MessageEntry& entry, const QString& contactName);

// ---- What assistive technology has been told ----

// The contact list's part: after every change the list shows, tells of a selection
// that moved (Selection on the new item, SelectionRemove on the old one, Focus
// while `owner` has the focus) and of the selected item's text changing
// (NameChanged).
class SelectionWatch {
public:
    void Update(const ContactListPanel& panel, QWidget* owner);

private:
    std::weak_ptr<Contact> selected_;
    QString text_;
};

// The conversation panel's part: after every model change, finds the entries
// added to the conversation it shows since the last call. While `owner` is visible
// and shows the conversation, each new entry is announced as a new item of the
// list, and each incoming one also as the view's notification. Another contact, a
// history that was loaded or one that shrank start again without announcing.
class ConversationWatch {
public:
    void Update(const HistoryPanel& panel, QWidget* owner);

private:
    std::weak_ptr<Contact> contact_;
    std::weak_ptr<MessageHistory> history_;
    std::size_t count_ = 0;
};

// The contact list view `view` took the focus: once the focus event of the view
// itself has gone out, the selected item gets the focus.
void FocusSelectedContact(QWidget* view);
// The status line of the contact list view `view` shows another text.
void StatusTextChanged(QWidget* view);

}  // namespace pellox::ui
