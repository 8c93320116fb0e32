// AppState: the one application-wide model: the settings with every profile, the
// contact list of the active profile, the current contact, and the listeners (the
// views) that are told about every change.
//
// Threading contract
// - The user-interface (UI) thread is the thread that constructed the AppState, or
//   the last one that called SetUiThread(). Listeners run only there, one change at
//   a time. Structural changes the user makes (RemoveContact, ReloadAll,
//   SetCurrentContact) belong there too.
// - Network threads and the history loader look contacts up, append contacts,
//   change contact fields, append history entries and save; every member here is
//   safe to call from them. They announce changes with Notify(code, contact,
//   post = true) and hold a BusyScope around their work with contacts, so that
//   ClearContacts (and with it ReloadAll) waits for them; the last one to leave
//   wakes it.
// - One model lock guards the contact list, currentContact, the settings and every
//   contact's fields. It is held only for short copies and updates: never while a
//   listener or the poster is called, never during file I/O, never while waiting for
//   busyCount. Callbacks that run under it (Contact::Update, UpdateContact,
//   UpdateAllContacts, UpdateSettings) must not call back into AppState.
// - Each MessageHistory has its own lock; files are guarded as file_access.h says.
//   Lock order: a history's lock, then file locks, then the model lock.
// - Contacts are shared (ContactPtr): RemoveContact and ClearContacts drop the list's
//   reference only, so a contact is never destroyed under a thread that holds it.
//   Posted notifications carry a ContactPtr; receivers ask ContainsContact before
//   acting on a contact that may have left the list meanwhile.
//
// Notify(code, contact, post):
// - post = false on the UI thread: stores the code in lastChange, latches the change
//   for WaitForChange, then calls every registered listener in registration order.
//   A listener removed during the delivery is not called afterwards.
// - post = true, or any call off the UI thread: hands (code, contact) to the poster
//   the application installed with SetPoster and returns at once; the application
//   delivers it on the UI thread by calling Notify(code, contact, false). Without a
//   poster such a notification is dropped: listeners are never called off the UI
//   thread. (Posting and latching: ChangeRelay.)
//
// WaitForChange(code) returns true once a change with that code has been delivered
// since the previous successful wait for it, even when it was delivered while the
// caller was busy (the change is latched, not pulsed); false once Shutdown has run.
// It is meant for one waiting thread per code (the history loader).
//
// Stored files: "settings.txt" and the contact list file are rewritten whole. One
// that exists but cannot be read is not written until a later ReloadAll reads it,
// so that the profiles and contacts in it are not replaced by defaults; a read or
// a write that fails is told to the problem reporter the application installed,
// once per file until that file is read (or written) again. Saves the network
// threads ask for with RequestSave are coalesced by a DeferredSaver: a burst's last
// state is written once its interval is over.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/change_relay.h"
#include "store/contact.h"
#include "store/deferred_saver.h"
#include "store/message_history.h"
#include "store/settings.h"

namespace pellox {

class AppState;

// A view that wants change notifications. Destroying it unregisters it.
class AppStateListener {
public:
    virtual void OnAppStateChange(ChangeCode code, const ContactPtr& contact) = 0;
    virtual ~AppStateListener();

    // The AppState it is registered with, or null.
    AppState* RegisteredWith() const { return appState_.load(); }

private:
    friend class AppState;
    std::atomic<AppState*> appState_{nullptr};
};

// A stored file that could not be read or written, for the user to be told.
struct StoreProblem {
    std::string path;      // the whole path of the file
    int error = 0;         // the error number of the failed call
    bool reading = false;  // a read: the file is kept as it is and not written
};

// A contact together with a copy of its fields taken at one moment.
struct ContactSnapshot {
    ContactPtr contact;
    ContactInfo info;
};

class AppState {
public:
    using Poster = ChangeRelay::Poster;
    using ProblemReporter = std::function<void(const StoreProblem&)>;
    // How long a burst of RequestSave calls may go without a write.
    static constexpr std::chrono::milliseconds kSaveInterval{1000};

    // A model on the given data directory (ending in "/"); empty follows
    // DataDirectory(). The constructing thread is its UI thread. The application
    // makes one and never destroys it (threads it does not join may still use it);
    // Shutdown() ends the background loops.
    explicit AppState(std::string dataDirectory = {});
    // Shutdown, then ClearContacts (which waits for busyCount to reach 0).
    ~AppState();
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    std::string Directory() const;

    // --- threads and notification ---------------------------------------------
    void SetUiThread();
    bool OnUiThread() const;
    void SetPoster(Poster poster);
    void AddListener(AppStateListener* listener);
    // Removes the first registration of the listener.
    void RemoveListener(AppStateListener* listener);
    void Notify(ChangeCode code, ContactPtr contact = nullptr, bool post = false);
    bool WaitForChange(ChangeCode code);
    // Clears running and wakes every WaitForChange; writes a save that RequestSave
    // has put off and stops the thread that would have written it. RequestSave
    // writes at once from then on.
    void Shutdown();
    // Called, on whichever thread met it, with a stored file that could not be
    // read or written; once per file until that file is read (written) again.
    void SetProblemReporter(ProblemReporter reporter);

    std::atomic<int> busyCount{0};    // threads other than the UI thread working with contacts
    std::atomic<bool> running{true};  // background loops run while set
    std::atomic<std::int32_t> lastChange{0};  // code of the last delivered change

    // --- contacts ---------------------------------------------------------------
    // The first contact whose UIN equals uin exactly, or null.
    ContactPtr FindContact(std::u16string_view uin) const;
    // The contact when it is (by identity) in the list, or null.
    ContactPtr ContainsContact(const Contact* contact) const;
    ContactPtr ContainsContact(const ContactPtr& contact) const {
        return ContainsContact(contact.get());
    }
    // Appends a copy of the template. With `save`: SaveContacts, then ContactAdded
    // (synchronously on the UI thread, posted elsewhere). Without it the caller saves
    // and notifies.
    ContactPtr AddContact(const ContactInfo& info, bool save);
    // The first contact with the template's UIN, or a new one appended (no save, no
    // notification); `added` tells which. One step, so two threads cannot both add.
    ContactPtr FindOrAddContact(const ContactInfo& info, bool& added);
    // FindOrAddContact for each template in order, in one step: a server list of a
    // thousand buddies takes the lock once. Each contact with whether it was added;
    // the templates of the contacts added are moved from, the others stay.
    std::vector<std::pair<ContactPtr, bool>> FindOrAddContacts(std::vector<ContactInfo>& infos);
    // Room for `more` contacts besides those listed, so that a list added in parts
    // is laid out once.
    void ReserveContacts(std::size_t more);
    // Gives the contact another UIN; FindContact finds it by that one from then on.
    void SetContactUin(const ContactPtr& contact, std::u16string uin);
    // Takes the contact out of the list; SaveContacts; deletes its history file when
    // its history was loaded; when it was current, clears currentContact and sends
    // CurrentContactChanged with null; sends ContactRemoved. The contact, or null
    // when it was not in the list.
    ContactPtr RemoveContact(const ContactPtr& contact);
    // Nothing when equal to the current one; a contact of the list becomes current;
    // anything else clears it (when set). CurrentContactChanged follows a change.
    void SetCurrentContact(const ContactPtr& contact);
    ContactPtr CurrentContact() const;
    // Waits until busyCount is 0 (the last BusyScope to end wakes it), then empties
    // the list and clears currentContact. No notification.
    void ClearContacts();
    // Writes a put-off save (FlushSaves), ClearContacts, load the settings, then
    // read the active profile's contact list; the list becomes exactly the file's
    // contacts. A file that cannot be read leaves the defaults (an empty list) and
    // is reported and kept from being written. No notification.
    void ReloadAll();
    // Saves the settings, then the active profile's contact list. True when both
    // files were written.
    bool SaveContacts();
    // SaveContacts for the network threads, which save after every new sender: at
    // once when no such save ran within kSaveInterval, otherwise once when that
    // interval is over, with the list as it is then. A flood of strangers costs a
    // write per interval, not one per sender.
    void RequestSave();
    // RequestSave put off until kSaveInterval is over in any case: more of the
    // same change follows (a server list in several replies), saved in one write.
    void RequestSaveLater();
    // Writes a save that RequestSave has put off, now; nothing when there is none.
    void FlushSaves();
    // Deletes the contact list file of a profile.
    bool DeleteContactListFile(const std::u16string& profile);

    std::vector<ContactPtr> Contacts() const;
    std::vector<ContactSnapshot> SnapshotContacts() const;
    std::size_t ContactCount() const;

    // Finds the first contact with the UIN and calls fn(ContactInfo&) on it under the
    // model lock; the contact, or null (fn not called).
    template <class F>
    ContactPtr UpdateContact(std::u16string_view uin, F&& fn) {
        ContactPtr contact = FindContact(uin);
        if (contact) contact->Update(std::forward<F>(fn));
        return contact;
    }
    // Calls fn(ContactInfo&) for every contact in list order.
    template <class F>
    void UpdateAllContacts(F&& fn) {
        for (const ContactPtr& contact : Contacts()) contact->Update(fn);
    }

    // The contact's history, created and loaded from "msg_<UIN>.txt" on first use
    // (an empty UIN gives an empty history bound to no file). One file has one
    // history: contacts with the same UIN (a list of an older version may hold one
    // twice, and a reload makes new contacts) share the history as long as anyone
    // holds it. When two threads ask at once the file is read once: the second
    // waits for the first.
    std::shared_ptr<MessageHistory> GetHistory(const ContactPtr& contact);

    // --- settings -----------------------------------------------------------------
    Settings GetSettings() const;
    // Calls fn(const Settings&) under the model lock and returns its result by value:
    // a read of a few values without a copy of every profile.
    template <class F>
    auto ReadSettings(F&& fn) const {
        std::lock_guard guard(model_->mutex);
        return std::forward<F>(fn)(std::as_const(settings_));
    }
    // Calls fn(Settings&) under the model lock and returns its result by value.
    template <class F>
    auto UpdateSettings(F&& fn) {
        std::lock_guard guard(model_->mutex);
        return std::forward<F>(fn)(settings_);
    }
    // Writes "settings.txt" from the settings as they are when the write starts;
    // false, and nothing written, while the file is one that could not be read.
    bool SaveSettings();

private:
    friend class BusyScope;
    void EnterBusy() { ++busyCount; }
    void LeaveBusy();
    void Deliver(ChangeCode code, const ContactPtr& contact);
    void ReserveLocked(std::size_t more);  // ReserveContacts under the model lock
    // Saves the settings and the list of listProfile_ (the settings' profile when
    // no list was loaded): a put-off save belongs to the list in memory, even when
    // the settings already name the profile being switched to.
    void SaveLoadedList();
    // Writes the profile's list file. With a generation: only while the list in
    // memory is still that one (no ReloadAll or ClearContacts since); without: only
    // while the settings still name the profile.
    bool SaveList(const std::u16string& profile, std::optional<std::uint64_t> generation);
    // The bookkeeping of unreadable and unwritable files (see the top); both give
    // the problem to report, if it is news.
    std::optional<StoreProblem> NoteRead(const std::string& name, int error);
    std::optional<StoreProblem> NoteWrite(const std::string& name, bool written, int error);
    bool Unreadable(const std::string& name);
    void Report(const std::optional<StoreProblem>& problem);

    const std::string directory_;
    const std::shared_ptr<ModelLock> model_ = std::make_shared<ModelLock>();

    // A UIN's first contact in contacts_, so that looking a contact up (every
    // message, every presence report, every buddy of a server list) does not walk
    // the whole list.
    struct UinHash {
        using is_transparent = void;
        // FNV-1a over the units: a UIN is a handful of digits, which this takes a
        // fraction of the library's general string hash's time over.
        std::size_t operator()(std::u16string_view uin) const {
            std::uint64_t hash = 0xCBF29CE484222325;
            for (char16_t unit : uin) hash = (hash ^ unit) * 0x100000001B3;
            return static_cast<std::size_t>(hash);
        }
    };
    using UinIndex = std::unordered_map<std::u16string, ContactPtr, UinHash, std::equal_to<>>;
    // Makes `index` the index of `contacts`. Requires the model lock.
    static void IndexContacts(const std::vector<ContactPtr>& contacts, UinIndex& index);

    // Guarded by model_->mutex.
    std::vector<ContactPtr> contacts_;
    UinIndex byUin_;  // always the index of contacts_
    ContactPtr currentContact_;
    Settings settings_;
    std::optional<std::u16string> listProfile_;  // whose list ReloadAll loaded
    std::uint64_t listGeneration_ = 0;           // raised whenever the list is replaced
    std::map<std::string, std::weak_ptr<MessageHistory>> histories_;  // by file name
    std::set<std::string> loadingHistories_;  // file names GetHistory is reading

    std::mutex problemsLock_;
    std::set<std::string> unreadable_;  // file names; not written meanwhile
    std::set<std::string> unwritable_;  // file names whose last write failed
    ProblemReporter reporter_;

    // busyCount goes down under busyLock_, and its last step wakes ClearContacts.
    std::mutex busyLock_;
    std::condition_variable busyIdle_;

    std::mutex listenersLock_;
    std::vector<AppStateListener*> listeners_;
    std::atomic<std::thread::id> uiThread_;

    ChangeRelay changes_;
    // Last, so that it is stopped before anything its saves use goes.
    DeferredSaver saver_{[this] { SaveLoadedList(); }, kSaveInterval};
};

// Raises busyCount for its lifetime.
class BusyScope {
public:
    explicit BusyScope(AppState& state) : state_(state) { state_.EnterBusy(); }
    ~BusyScope() { state_.LeaveBusy(); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    AppState& state_;
};

}  // namespace pellox
