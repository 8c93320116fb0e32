// How a change of the model travels beyond the listeners of the user-interface
// thread: handed to the poster the application installed, which brings it to that
// thread, and latched for the thread that waits for a change of one kind (the
// history loader waits for a new current contact).
//
// Every member may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "store/contact.h"

namespace pellox {

enum class ChangeCode : std::int32_t {
    ContactAdded = 0,            // a contact was appended; the new contact
    ContactChanged = 1,          // name, UIN, status, unread count, activity or flags; the contact
    ContactRemoved = 2,          // a contact left the list; the contact
    CurrentContactChanged = 3,   // currentContact changed; the new one or null
    FilterChanged = 4,           // onlyonline was toggled; null
    ListReset = 5,               // the whole list changed; null
    ConnectionStateChanged = 6,  // the network connection changed state; null
    ConversationChanged = 7,     // a history was loaded or the UI added an entry; the contact
    AuthorizationRequested = 8,  // the network session holds a new authorization request; null
    PeopleReplied = 9,           // a search, a user's details or one's own save was answered; null
    OwnPictureChanged = 10,      // one's own picture was chosen or removed; null
    HeldBackWaiting = 11,        // held-back messages wait for their notice (FlushHeldBack); null
};

class ChangeRelay {
public:
    using Poster = std::function<void(ChangeCode, ContactPtr)>;

    void SetPoster(Poster poster);
    // Hands the change to the poster; dropped when none is installed.
    void Post(ChangeCode code, ContactPtr contact);

    // Marks a delivered change for Wait.
    void Latch(ChangeCode code);
    // Returns true once a change with that code has been latched since the previous
    // successful wait for it, even one latched while the caller was busy; false
    // once Stop has run. Meant for one waiting thread per code.
    bool Wait(ChangeCode code);
    // Wakes every Wait; each returns false from then on.
    void Stop();

private:
    std::mutex posterLock_;
    Poster poster_;

    std::mutex latchLock_;  // guards pending_ and stopped_
    std::condition_variable latched_;
    std::uint32_t pending_ = 0;  // one bit per ChangeCode
    bool stopped_ = false;
};

}  // namespace pellox
