#include "store/app_state.h"

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "store/contact_list_file.h"
#include "store/file_access.h"

namespace pellox {

AppStateListener::~AppStateListener() {
    if (AppState* state = appState_.load()) state->RemoveListener(this);
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

void AppState::SetPoster(Poster poster) { changes_.SetPoster(std::move(poster)); }

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
    changes_.Post(code, std::move(contact));
}

void AppState::Deliver(ChangeCode code, const ContactPtr& contact) {
    lastChange.store(static_cast<std::int32_t>(code));
    changes_.Latch(code);

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

bool AppState::WaitForChange(ChangeCode code) { return changes_.Wait(code); }

void AppState::Shutdown() {
    running.store(false);
    changes_.Stop();
    saver_.Stop();
}

void AppState::SetProblemReporter(ProblemReporter reporter) {
    std::lock_guard guard(problemsLock_);
    reporter_ = std::move(reporter);
}

// --- contacts ------------------------------------------------------------------------

void AppState::IndexContacts(const std::vector<ContactPtr>& contacts, UinIndex& index) {
    index.clear();
    index.reserve(contacts.size());
    for (const ContactPtr& contact : contacts) index.try_emplace(contact->info_.uin, contact);
}

ContactPtr AppState::FindContact(std::u16string_view uin) const {
    std::lock_guard guard(model_->mutex);
    const auto found = byUin_.find(uin);
    return found == byUin_.end() ? nullptr : found->second;
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
        byUin_.try_emplace(contact->info_.uin, contact);
    }
    if (save) {
        SaveContacts();
        Notify(ChangeCode::ContactAdded, contact);
    }
    return contact;
}

ContactPtr AppState::FindOrAddContact(const ContactInfo& info, bool& added) {
    std::lock_guard guard(model_->mutex);
    if (const auto found = byUin_.find(info.uin); found != byUin_.end()) {
        added = false;
        return found->second;
    }
    added = true;
    const ContactPtr& contact = contacts_.emplace_back(std::make_shared<Contact>(model_, info));
    byUin_.emplace(contact->info_.uin, contact);
    return contact;
}

std::vector<std::pair<ContactPtr, bool>> AppState::FindOrAddContacts(std::vector<ContactInfo>& infos) {
    std::vector<std::pair<ContactPtr, bool>> found;
    found.reserve(infos.size());
    std::lock_guard guard(model_->mutex);
    ReserveLocked(infos.size());
    for (ContactInfo& info : infos) {
        if (const auto known = byUin_.find(info.uin); known != byUin_.end()) {
            found.emplace_back(known->second, false);
            continue;
        }
        const ContactPtr& contact =
            contacts_.emplace_back(std::make_shared<Contact>(model_, std::move(info)));
        byUin_.emplace(contact->info_.uin, contact);
        found.emplace_back(contact, true);
    }
    return found;
}

void AppState::ReserveContacts(std::size_t more) {
    std::lock_guard guard(model_->mutex);
    ReserveLocked(more);
}

void AppState::SetContactUin(const ContactPtr& contact, std::u16string uin) {
    std::lock_guard guard(model_->mutex);
    contact->info_.uin = std::move(uin);
    // Rebuilt whole: another contact listed with the old or the new UIN may be the
    // one found under it now.
    IndexContacts(contacts_, byUin_);
}

void AppState::ReserveLocked(std::size_t more) {
    // Grown only, and then at least twofold, so that adding in parts stays linear.
    const std::size_t needed = contacts_.size() + more;
    if (contacts_.capacity() < needed) contacts_.reserve(std::max(needed, 2 * contacts_.capacity()));
    if (static_cast<float>(byUin_.bucket_count()) * byUin_.max_load_factor() < static_cast<float>(needed)) {
        byUin_.reserve(std::max(needed, 2 * byUin_.size()));
    }
}

ContactPtr AppState::RemoveContact(const ContactPtr& contact) {
    bool wasCurrent = false;
    std::shared_ptr<MessageHistory> history;
    {
        std::lock_guard guard(model_->mutex);
        auto it = std::find(contacts_.begin(), contacts_.end(), contact);
        if (contact == nullptr || it == contacts_.end()) return nullptr;
        contacts_.erase(it);
        if (const auto indexed = byUin_.find(contact->info_.uin);
            indexed != byUin_.end() && indexed->second == contact) {
            // Another contact with that UIN (an older list may hold one twice) is
            // the first one now.
            const auto next = std::find_if(contacts_.begin(), contacts_.end(), [&](const ContactPtr& c) {
                return c->info_.uin == contact->info_.uin;
            });
            if (next == contacts_.end()) {
                byUin_.erase(indexed);
            } else {
                indexed->second = *next;
            }
        }
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

void AppState::LeaveBusy() {
    // Woken under the lock: once ClearContacts sees 0 the model may be destroyed.
    std::lock_guard guard(busyLock_);
    if (--busyCount == 0) busyIdle_.notify_all();
}

void AppState::ClearContacts() {
    {
        std::unique_lock guard(busyLock_);
        busyIdle_.wait(guard, [this] { return busyCount.load() == 0; });
    }
    std::vector<ContactPtr> dropped;
    UinIndex droppedIndex;
    {
        std::lock_guard guard(model_->mutex);
        dropped.swap(contacts_);
        droppedIndex.swap(byUin_);
        currentContact_ = nullptr;
        ++listGeneration_;
    }
    // The contacts (and histories) nobody else holds are destroyed here, unlocked.
}

void AppState::ReloadAll() {
    FlushSaves();  // the list in memory goes: what was put off goes to its file first
    ClearContacts();
    const std::string directory = Directory();
    std::optional<StoreProblem> settingsProblem;
    std::optional<StoreProblem> listProblem;
    // Read and install both files while no save can run, so that the list in memory
    // and the files agree afterwards; a contact a network thread appended since
    // ClearContacts belonged to the list being replaced and is dropped with it.
    WithRewriteLock(directory, [&] {
        Settings loaded = GetSettings();  // Load keeps autoconnect
        const int settingsError = loaded.Load(directory);
        const std::string listName = ContactListFileName(loaded.profile);
        std::vector<ContactInfo> infos;
        int listError = 0;
        if (!ReadContactListFile(directory + listName, infos, listError) && listError == ENOENT) {
            listError = 0;  // no list yet
        }
        settingsProblem = NoteRead(kSettingsFileName, settingsError);
        listProblem = NoteRead(listName, listError);
        std::vector<ContactPtr> contacts;
        contacts.reserve(infos.size());
        for (const ContactInfo& info : infos) {
            contacts.push_back(std::make_shared<Contact>(model_, info));
        }
        UinIndex index;
        IndexContacts(contacts, index);
        std::vector<ContactPtr> dropped;
        UinIndex droppedIndex;
        std::lock_guard guard(model_->mutex);
        listProfile_ = loaded.profile;
        ++listGeneration_;
        settings_ = std::move(loaded);
        dropped.swap(contacts_);
        droppedIndex.swap(byUin_);
        contacts_ = std::move(contacts);
        byUin_ = std::move(index);
        currentContact_ = nullptr;
    });
    Report(settingsProblem);
    Report(listProblem);
}

bool AppState::SaveContacts() {
    const bool settingsSaved = SaveSettings();
    const bool listSaved =
        SaveList(ReadSettings([](const Settings& s) { return s.profile; }), std::nullopt);
    return settingsSaved && listSaved;
}

void AppState::SaveLoadedList() {
    std::u16string profile;
    std::uint64_t generation = 0;
    {
        std::lock_guard guard(model_->mutex);
        profile = listProfile_.value_or(settings_.profile);
        generation = listGeneration_;
    }
    (void)SaveSettings();
    (void)SaveList(profile, generation);
}

bool AppState::SaveList(const std::u16string& profile, std::optional<std::uint64_t> generation) {
    const std::string name = ContactListFileName(profile);
    int error = 0;
    const bool written = ReplaceFileContents(
        Directory(), name,
        [&]() -> std::optional<std::string> {
            if (Unreadable(name)) return std::nullopt;
            std::string text;
            std::lock_guard guard(model_->mutex);
            // The list now belongs to another profile: never write it under this name.
            if (generation ? listGeneration_ != *generation : settings_.profile != profile) {
                return std::nullopt;
            }
            // Formatted under the lock, straight from the contacts: a copy of every
            // contact's fields would cost more than the text. Laid out once at
            // about its size, not grown by doubling.
            text.reserve(contacts_.size() * kContactSectionBytes);
            for (const ContactPtr& contact : contacts_) AppendContactSection(text, contact->info_);
            return text;
        },
        &error);
    Report(NoteWrite(name, written, error));
    return written;
}

void AppState::RequestSave() { saver_.Request(); }

void AppState::RequestSaveLater() { saver_.RequestLater(); }

void AppState::FlushSaves() { saver_.Flush(); }

// --- stored files --------------------------------------------------------------------

std::optional<StoreProblem> AppState::NoteRead(const std::string& name, int error) {
    std::lock_guard guard(problemsLock_);
    if (error == 0) {
        unreadable_.erase(name);
        return std::nullopt;
    }
    if (!unreadable_.insert(name).second) return std::nullopt;  // told already
    return StoreProblem{Directory() + name, error, true};
}

std::optional<StoreProblem> AppState::NoteWrite(const std::string& name, bool written, int error) {
    std::lock_guard guard(problemsLock_);
    if (written) {
        unwritable_.erase(name);
        return std::nullopt;
    }
    // A write held back (an unreadable file, another profile's list) is no failure.
    if (error == 0 || !unwritable_.insert(name).second) return std::nullopt;
    return StoreProblem{Directory() + name, error, false};
}

bool AppState::Unreadable(const std::string& name) {
    std::lock_guard guard(problemsLock_);
    return unreadable_.count(name) != 0;
}

void AppState::Report(const std::optional<StoreProblem>& problem) {
    if (!problem) return;
    ProblemReporter reporter;
    {
        std::lock_guard guard(problemsLock_);
        reporter = reporter_;
    }
    if (reporter) reporter(*problem);
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
    std::string fileName;
    bool shared = false;  // a history file of this model's: one history object per file
    for (;;) {
        if (contact->history_) return contact->history_;
        fileName = contact->info_.uin.empty() ? std::string() : HistoryFileName(contact->info_.uin);
        shared = !fileName.empty() && &model == model_.get();
        if (shared) {
            if (auto it = histories_.find(fileName); it != histories_.end()) {
                if (std::shared_ptr<MessageHistory> history = it->second.lock()) {
                    contact->history_ = history;  // another contact with this UIN has it
                    return history;
                }
            }
        }
        if (!contact->info_.historyLoading() && !(shared && loadingHistories_.count(fileName))) {
            break;
        }
        model.historyReady.wait(guard);  // another thread is loading it
    }
    contact->info_.flags |= kHistoryLoading;
    if (shared) loadingHistories_.insert(fileName);
    guard.unlock();

    auto history = std::make_shared<MessageHistory>(Directory());
    if (!fileName.empty()) (void)history->Load(fileName);

    guard.lock();
    contact->history_ = history;
    contact->info_.flags = static_cast<std::uint8_t>(contact->info_.flags & ~kHistoryLoading);
    if (shared) {
        loadingHistories_.erase(fileName);
        std::erase_if(histories_, [](const auto& entry) { return entry.second.expired(); });
        histories_[fileName] = history;
    }
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
    int error = 0;
    const bool written = ReplaceFileContents(
        Directory(), kSettingsFileName,
        [&]() -> std::optional<std::string> {
            if (Unreadable(kSettingsFileName)) return std::nullopt;
            std::lock_guard guard(model_->mutex);
            return settings_.FileContent();
        },
        &error);
    Report(NoteWrite(kSettingsFileName, written, error));
    return written;
}

}  // namespace pellox
