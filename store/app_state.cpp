#include "store/app_state.h"

#include <algorithm>

#include "platform/thread.h"
#include "store/contact_list_file.h"
#include "store/file_access.h"

namespace pellox {

AppStateListener::~AppStateListener() {
    if (AppState* state = appState_.load()) state->RemoveListener(this);
}

AppState& AppState::Instance() {
    // Never destroyed: threads that are not joined at exit may still be using it.
    static AppState* const instance = new AppState();
    return *instance;
}

AppState::AppState(std::string dataDirectory)
    : directory_(std::move(dataDirectory)), uiThread_(std::this_thread::get_id()) {
    settings_.Reset();
}

AppState::~AppState() {
    Shutdown();
    ClearContacts();
    std::lock_guard guard(listenersLock_);
    for (AppStateListener* listener : listeners_) listener->appState_.store(nullptr);
}

std::string AppState::Directory() const {
    return directory_.empty() ? DataDirectory() : directory_;
}

// --- threads and notification ------------------------------------------------------

void AppState::SetUiThread() { uiThread_.store(std::this_thread::get_id()); }

bool AppState::OnUiThread() const { return uiThread_.load() == std::this_thread::get_id(); }

void AppState::SetPoster(Poster poster) {
    std::lock_guard guard(posterLock_);
    poster_ = std::move(poster);
}

void AppState::AddListener(AppStateListener* listener) {
    listener->appState_.store(this);
    std::lock_guard guard(listenersLock_);
    listeners_.push_back(listener);
}

void AppState::RemoveListener(AppStateListener* listener) {
    std::lock_guard guard(listenersLock_);
    auto it = std::find(listeners_.begin(), listeners_.end(), listener);
    if (it == listeners_.end()) return;
    listeners_.erase(it);
    if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end()) {
        listener->appState_.store(nullptr);
    }
}

void AppState::Notify(ChangeCode code, ContactPtr contact, bool post) {
    if (!post && OnUiThread()) {
        Deliver(code, contact);
        return;
    }
    Poster poster;
    {
        std::lock_guard guard(posterLock_);
        poster = poster_;
    }
    if (poster) poster(code, std::move(contact));
}

void AppState::Deliver(ChangeCode code, const ContactPtr& contact) {
    const auto value = static_cast<std::int32_t>(code);
    {
        std::lock_guard guard(changeLock_);
        lastChange.store(value);
        if (value >= 0 && value < 32) pendingChanges_ |= 1u << value;
    }
    changeEvent_.notify_all();

    std::vector<AppStateListener*> targets;
    {
        std::lock_guard guard(listenersLock_);
        targets = listeners_;
    }
    for (AppStateListener* listener : targets) {
        {
            // A listener may remove (and destroy) another one during the delivery.
            std::lock_guard guard(listenersLock_);
            if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end()) {
                continue;
            }
        }
        listener->OnAppStateChange(code, contact);
    }
}

bool AppState::WaitForChange(ChangeCode code) {
    const auto value = static_cast<std::int32_t>(code);
    if (value < 0 || value >= 32) return false;
    const std::uint32_t bit = 1u << value;
    std::unique_lock guard(changeLock_);
    changeEvent_.wait(guard, [&] { return !running.load() || (pendingChanges_ & bit) != 0; });
    if (!running.load()) return false;
    pendingChanges_ &= ~bit;
    return true;
}

void AppState::Shutdown() {
    {
        std::lock_guard guard(changeLock_);
        running.store(false);
    }
    changeEvent_.notify_all();
}

// --- contacts ------------------------------------------------------------------------

ContactPtr AppState::FindContact(std::u16string_view uin) const {
    std::lock_guard guard(model_->mutex);
    for (const ContactPtr& contact : contacts_) {
        if (contact->info_.uin == uin) return contact;
    }
    return nullptr;
}

ContactPtr AppState::ContainsContact(const Contact* contact) const {
    if (contact == nullptr) return nullptr;
    std::lock_guard guard(model_->mutex);
    for (const ContactPtr& element : contacts_) {
        if (element.get() == contact) return element;
    }
    return nullptr;
}

ContactPtr AppState::AddContact(const ContactInfo& info, bool save) {
    auto contact = std::make_shared<Contact>(model_, info);
    {
        std::lock_guard guard(model_->mutex);
        contacts_.push_back(contact);
    }
    if (save) {
        SaveContacts();
        Notify(ChangeCode::ContactAdded, contact);
    }
    return contact;
}

ContactPtr AppState::FindOrAddContact(const ContactInfo& info, bool& added) {
    std::lock_guard guard(model_->mutex);
    for (const ContactPtr& contact : contacts_) {
        if (contact->info_.uin == info.uin) {
            added = false;
            return contact;
        }
    }
    added = true;
    return contacts_.emplace_back(std::make_shared<Contact>(model_, info));
}

ContactPtr AppState::RemoveContact(const ContactPtr& contact) {
    bool wasCurrent = false;
    std::shared_ptr<MessageHistory> history;
    {
        std::lock_guard guard(model_->mutex);
        auto it = std::find(contacts_.begin(), contacts_.end(), contact);
        if (contact == nullptr || it == contacts_.end()) return nullptr;
        contacts_.erase(it);
        history = contact->history_;
        if (currentContact_ == contact) {
            currentContact_ = nullptr;
            wasCurrent = true;
        }
    }
    SaveContacts();
    if (history) history->DeleteFile();
    if (wasCurrent) Notify(ChangeCode::CurrentContactChanged, nullptr);
    Notify(ChangeCode::ContactRemoved, contact);
    return contact;
}

void AppState::SetCurrentContact(const ContactPtr& contact) {
    ContactPtr announced;
    {
        std::lock_guard guard(model_->mutex);
        if (contact == currentContact_) return;
        if (contact != nullptr &&
            std::find(contacts_.begin(), contacts_.end(), contact) != contacts_.end()) {
            currentContact_ = contact;
            announced = contact;
        } else if (currentContact_ != nullptr) {
            currentContact_ = nullptr;
        } else {
            return;
        }
    }
    Notify(ChangeCode::CurrentContactChanged, announced);
}

ContactPtr AppState::CurrentContact() const {
    std::lock_guard guard(model_->mutex);
    return currentContact_;
}

void AppState::ClearContacts() {
    while (busyCount.load() > 0) platform::SleepMs(10);
    std::vector<ContactPtr> dropped;
    {
        std::lock_guard guard(model_->mutex);
        dropped.swap(contacts_);
        currentContact_ = nullptr;
    }
    // The contacts (and histories) nobody else holds are destroyed here, unlocked.
}

void AppState::ReloadAll() {
    ClearContacts();
    const std::string directory = Directory();
    // Read and install both files while no save can run, so that the list in memory
    // and the files agree afterwards; a contact a network thread appended since
    // ClearContacts belonged to the list being replaced and is dropped with it.
    WithRewriteLock(directory, [&] {
        Settings loaded = GetSettings();  // Load keeps autoconnect
        loaded.Load(directory);
        std::vector<ContactInfo> infos;
        (void)ReadContactListFile(directory + ContactListFileName(loaded.profile), infos);
        std::vector<ContactPtr> contacts;
        contacts.reserve(infos.size());
        for (const ContactInfo& info : infos) {
            contacts.push_back(std::make_shared<Contact>(model_, info));
        }
        std::vector<ContactPtr> dropped;
        std::lock_guard guard(model_->mutex);
        settings_ = std::move(loaded);
        dropped.swap(contacts_);
        contacts_ = std::move(contacts);
        currentContact_ = nullptr;
    });
}

bool AppState::SaveContacts() {
    const bool settingsSaved = SaveSettings();
    const std::u16string profile = GetSettings().profile;
    const bool listSaved = ReplaceFileContents(
        Directory(), ContactListFileName(profile), [&]() -> std::optional<std::string> {
            std::vector<ContactInfo> infos;
            {
                std::lock_guard guard(model_->mutex);
                // The list now belongs to another profile: never write it under this name.
                if (settings_.profile != profile) return std::nullopt;
                infos.reserve(contacts_.size());
                for (const ContactPtr& contact : contacts_) infos.push_back(contact->info_);
            }
            return FormatContactList(infos);
        });
    return settingsSaved && listSaved;
}

bool AppState::DeleteContactListFile(const std::u16string& profile) {
    return DeleteRewrittenFile(Directory(), ContactListFileName(profile));
}

std::vector<ContactPtr> AppState::Contacts() const {
    std::lock_guard guard(model_->mutex);
    return contacts_;
}

std::vector<ContactSnapshot> AppState::SnapshotContacts() const {
    std::lock_guard guard(model_->mutex);
    std::vector<ContactSnapshot> out;
    out.reserve(contacts_.size());
    for (const ContactPtr& contact : contacts_) out.push_back({contact, contact->info_});
    return out;
}

std::size_t AppState::ContactCount() const {
    std::lock_guard guard(model_->mutex);
    return contacts_.size();
}

std::shared_ptr<MessageHistory> AppState::GetHistory(const ContactPtr& contact) {
    if (contact == nullptr) return nullptr;
    ModelLock& model = *contact->lock_;
    std::unique_lock guard(model.mutex);
    for (;;) {
        if (contact->history_) return contact->history_;
        if (!contact->info_.historyLoading()) break;
        model.historyReady.wait(guard);  // another thread is loading it
    }
    contact->info_.flags |= kHistoryLoading;
    const std::u16string uin = contact->info_.uin;
    guard.unlock();

    auto history = std::make_shared<MessageHistory>(Directory());
    if (!uin.empty()) (void)history->Load(HistoryFileName(uin));

    guard.lock();
    contact->history_ = history;
    contact->info_.flags = static_cast<std::uint8_t>(contact->info_.flags & ~kHistoryLoading);
    guard.unlock();
    model.historyReady.notify_all();
    return history;
}

// --- settings ------------------------------------------------------------------------

Settings AppState::GetSettings() const {
    std::lock_guard guard(model_->mutex);
    return settings_;
}

bool AppState::SaveSettings() {
    return ReplaceFileContents(Directory(), kSettingsFileName,
                               [&]() -> std::optional<std::string> {
                                   std::lock_guard guard(model_->mutex);
                                   return settings_.FileContent();
                               });
}

}  // namespace pellox
