// A contact of the active profile's list.
//
// Contacts are shared objects (ContactPtr): the list holds one reference, and so
// does every thread, view or posted notification that works with the contact, so a
// contact removed from the list stays valid for whoever still holds it. Whether it
// is still in the list is asked with AppState::ContainsContact.
//
// Every field is guarded by the model lock of the AppState that made the contact:
// read them with Snapshot() (a copy) and change them with Update(), never directly.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace pellox {

class MessageHistory;

inline constexpr std::int32_t kContactInitialStatus = 1;  // offline
inline constexpr std::uint8_t kConversationOpen = 0x01;   // flags bit 0
inline constexpr std::uint8_t kHistoryLoading = 0x02;     // flags bit 1, set only by GetHistory
// flags bit 2: on the server list's ignore list; nothing from it is shown and
// the contact list does not show it. Stored in the contact list file.
inline constexpr std::uint8_t kIgnored = 0x04;

// The plain fields of a contact: a template for AddContact, or a snapshot.
struct ContactInfo {
    std::u16string name;  // display name; views show uin when it is empty
    std::u16string uin;   // decimal UIN text, the lookup key
    std::uint16_t unreadCount = 0;
    std::int64_t lastActivity = 0;  // seconds since 1970-01-01 00:00 UTC
    std::int32_t status = kContactInitialStatus;  // a presence status 0..7
    std::uint8_t flags = 0;
    // While TypingClockMs() is below it the contact is typing to the user; set by
    // its typing notices, never stored.
    std::int64_t typingUntilMs = 0;
    // The hash (32 hex digits) of the picture its presence announced; empty when
    // none. Never stored.
    std::string iconHash;

    bool typing() const { return typingUntilMs > TypingClockMs(); }
    // Milliseconds of a monotonic clock.
    static std::int64_t TypingClockMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    bool conversationOpen() const { return (flags & kConversationOpen) != 0; }
    bool historyLoading() const { return (flags & kHistoryLoading) != 0; }
    bool ignored() const { return (flags & kIgnored) != 0; }
    void SetIgnored(bool on) {
        flags = static_cast<std::uint8_t>(on ? flags | kIgnored : flags & ~kIgnored);
    }
    void SetConversationOpen(bool open) {
        flags = static_cast<std::uint8_t>(open ? flags | kConversationOpen
                                               : flags & ~kConversationOpen);
    }
    const std::u16string& DisplayName() const { return name.empty() ? uin : name; }

    bool operator==(const ContactInfo&) const = default;
};

// The lock of one model: the contact list, the current contact, the settings and
// every contact's fields and history pointer.
struct ModelLock {
    std::mutex mutex;
    std::condition_variable historyReady;  // a history finished loading
};

class Contact;
using ContactPtr = std::shared_ptr<Contact>;

class Contact {
public:
    // Made by AppState (AddContact, loading the contact list).
    Contact(std::shared_ptr<ModelLock> lock, ContactInfo info)
        : lock_(std::move(lock)), info_(std::move(info)) {
        info_.flags = static_cast<std::uint8_t>(info_.flags & ~kHistoryLoading);
    }
    Contact(const Contact&) = delete;
    Contact& operator=(const Contact&) = delete;

    ContactInfo Snapshot() const {
        std::lock_guard guard(lock_->mutex);
        return info_;
    }
    std::u16string Uin() const {
        std::lock_guard guard(lock_->mutex);
        return info_.uin;
    }
    std::u16string Name() const {
        std::lock_guard guard(lock_->mutex);
        return info_.name;
    }
    // Asked of every incoming message and presence report: no copy of the rest.
    bool Ignored() const {
        std::lock_guard guard(lock_->mutex);
        return info_.ignored();
    }

    // Calls fn(ContactInfo&) under the model lock and returns its result by value.
    // fn must not call back into the contact or AppState. The historyLoading bit is
    // kept whatever fn does to flags. A new UIN goes through AppState::SetContactUin,
    // which the model's lookup by UIN follows.
    template <class F>
    auto Update(F&& fn) {
        std::lock_guard guard(lock_->mutex);
        struct KeepLoadingBit {
            ContactInfo& info;
            std::uint8_t bit;
            ~KeepLoadingBit() {
                info.flags = static_cast<std::uint8_t>((info.flags & ~kHistoryLoading) | bit);
            }
        } keep{info_, static_cast<std::uint8_t>(info_.flags & kHistoryLoading)};
        return std::forward<F>(fn)(info_);
    }

    // The history once AppState::GetHistory has created it, else null.
    std::shared_ptr<MessageHistory> History() const {
        std::lock_guard guard(lock_->mutex);
        return history_;
    }

private:
    friend class AppState;

    const std::shared_ptr<ModelLock> lock_;
    ContactInfo info_;
    std::shared_ptr<MessageHistory> history_;
};

}  // namespace pellox
