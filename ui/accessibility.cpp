#include "ui/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/local_time.h"
#include "protocol/presence.h"
#include "resources/command_ids.h"
#include "resources/menus.h"
#include "resources/strings.h"
#include "ui/clock_panel.h"
#include "ui/contacts_view.h"
#include "ui/drawing_kit.h"
#include "ui/language.h"
#include "ui/main_frame.h"
#include "ui/message_view.h"

namespace pellox::ui {

namespace {

// ---- Texts ----

// The text of command `id` in menu items `items` and their popups; empty when absent.
std::u16string MenuText(const std::vector<MenuItem>& items, int id) {
    for (const MenuItem& item : items) {
        if (item.IsCommand() && item.id == id) return item.text;
        if (item.IsPopup()) {
            if (std::u16string text = MenuText(item.submenu, id); !text.empty()) return text;
        }
    }
    return {};
}

// The status menu's command for each presence that has one.
int StatusCommand(std::int32_t status) {
    switch (status) {
        case StatusOnline: return cmd::kStatusOnline;
        case StatusAway: return cmd::kStatusAway;
        case StatusNotAvailable: return cmd::kStatusNotAvailable;
        case StatusOccupied: return cmd::kStatusOccupied;
        case StatusDoNotDisturb: return cmd::kStatusDoNotDisturb;
        case StatusFreeForChat: return cmd::kStatusFreeForChat;
        case StatusInvisible: return cmd::kStatusInvisible;
        default: return 0;
    }
}

QString OneLine(const std::u16string& text) {
    QString line = QString::fromStdU16String(text);
    line.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return line;
}

// ---- Events ----

void Send(QAccessibleInterface* iface, QAccessible::Event type) {
    if (iface == nullptr || !QAccessible::isActive()) return;
    QAccessibleEvent event(iface, type);
    QAccessible::updateAccessibility(&event);
}

QRect ToScreen(const QWidget* widget, const QRect& local) {
    if (widget == nullptr || local.isEmpty()) return {};
    return QRect(widget->mapToGlobal(local.topLeft()), local.size());
}

// ---- Parts of a view that are not widgets ----

// Such interfaces have no object: their owner registers them with the cache and
// deletes them by id, since the cache deletes whatever is left at exit in any order
// (an id outlives what it named, a pointer does not).
class Part : public QAccessibleInterface {
public:
    explicit Part(QAccessibleInterface* parent) : parent_(parent) {}

    bool isValid() const override { return parent_->isValid(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return parent_->window(); }
    QAccessibleInterface* parent() const override { return parent_; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text) const override { return {}; }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override { return {}; }
    QAccessible::State state() const override { return {}; }

    // The widget the part is painted in; null once it is gone.
    QWidget* view() const {
        if (const auto* part = dynamic_cast<const Part*>(parent_)) return part->view();
        return static_cast<QWidget*>(parent_->object());
    }
    // Whether that widget is on screen: the frame keeps a view hidden while
    // another is shown.
    bool Shown() const {
        const QWidget* widget = view();
        return widget != nullptr && widget->isVisible();
    }

protected:
    QAccessibleInterface* parent_;
};

// Interfaces kept by key and deleted by id.
template <typename Key>
class PartCache {
public:
    PartCache() = default;
    PartCache(const PartCache&) = delete;
    PartCache& operator=(const PartCache&) = delete;
    ~PartCache() { Clear(); }

    QAccessibleInterface* Find(const Key& key) const {
        auto it = ids_.find(key);
        return it == ids_.end() ? nullptr : QAccessible::accessibleInterface(it->second);
    }
    QAccessibleInterface* Add(const Key& key, QAccessibleInterface* part) {
        Remove(key);
        ids_[key] = QAccessible::registerAccessibleInterface(part);
        return part;
    }
    void Remove(const Key& key) {
        if (auto it = ids_.find(key); it != ids_.end()) {
            QAccessible::deleteAccessibleInterface(it->second);
            ids_.erase(it);
        }
    }
    template <typename Stale>
    void RemoveIf(Stale&& stale) {
        for (auto it = ids_.begin(); it != ids_.end();) {
            if (stale(it->first)) {
                QAccessible::deleteAccessibleInterface(it->second);
                it = ids_.erase(it);
            } else {
                ++it;
            }
        }
    }
    void Clear() {
        RemoveIf([](const Key&) { return true; });
    }
    // Forgets every interface without deleting it; its id is handed over.
    std::vector<QAccessible::Id> TakeIds() {
        std::vector<QAccessible::Id> ids;
        for (const auto& [key, id] : ids_) ids.push_back(id);
        ids_.clear();
        return ids;
    }

private:
    std::unordered_map<Key, QAccessible::Id> ids_;
};

// A line of text: the clock, the status line, the conversation's header line.
class TextPart : public Part {
public:
    TextPart(QAccessibleInterface* parent, QAccessible::Role role, std::function<QString()> name,
             std::function<QRect()> area, std::function<QString()> description = {})
        : Part(parent),
          role_(role),
          name_(std::move(name)),
          area_(std::move(area)),
          description_(std::move(description)) {}

    QAccessible::Role role() const override { return role_; }
    QString text(QAccessible::Text t) const override {
        if (!isValid()) return {};
        if (t == QAccessible::Name) return name_();
        if (t == QAccessible::Description && description_) return description_();
        return {};
    }
    QRect rect() const override { return isValid() ? ToScreen(view(), area_()) : QRect(); }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.readOnly = true;
        state.invisible = !isValid() || !Shown() || area_().isEmpty() || name_().isEmpty();
        return state;
    }

private:
    QAccessible::Role role_;
    std::function<QString()> name_;
    std::function<QRect()> area_;
    std::function<QString()> description_;
};

// The view's notification: hidden until a message arrives, then shown with it.
class AnnouncementPart : public Part {
public:
    using Part::Part;

    QAccessible::Role role() const override { return QAccessible::Notification; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name ? text_ : QString();
    }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.readOnly = true;
        state.invisible = text_.isEmpty() || !Shown();
        return state;
    }
    QRect rect() const override { return {}; }

    // Screen readers speak a notification as it is shown.
    void Announce(const QString& text) {
        text_ = text;
        Send(this, QAccessible::NameChanged);
        Send(this, QAccessible::ObjectShow);
        Send(this, QAccessible::Alert);
    }

private:
    QString text_;
};

// ---- The contact list ----

class ContactListPart;

class ContactItem : public Part, public QAccessibleActionInterface {
public:
    ContactItem(ContactListPart* list, ContactPtr contact);

    const ContactPtr& contact() const { return contact_; }
    int Index() const;

    bool isValid() const override { return Part::isValid() && Index() >= 0; }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name && isValid() ? ContactItemText(contact_->Snapshot())
                                                   : QString();
    }
    QRect rect() const override;
    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    // Pressing or focusing an item selects it, as a tap does.
    QStringList actionNames() const override { return {pressAction(), setFocusAction()}; }
    void doAction(const QString& name) override;
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    ContactListPart* list_;
    ContactPtr contact_;
};

class ContactListPart : public Part {
public:
    using Part::Part;

    CContactsView* contactsView() const { return static_cast<CContactsView*>(view()); }
    ContactListPanel& panel() const { return contactsView()->listPanel(); }

    // The item of a listed contact, made on first use. The item holds its contact,
    // so the address stays its key until the item is pruned.
    ContactItem* Item(const ContactPtr& contact) const {
        if (auto* item = static_cast<ContactItem*>(items_.Find(contact.get()))) return item;
        auto* item = new ContactItem(const_cast<ContactListPart*>(this), contact);
        items_.Add(contact.get(), item);
        return item;
    }
    // Deletes the items of contacts that left the list. Only from outside the
    // interfaces' own calls: an item may be what the caller holds.
    void Prune() {
        if (!isValid()) return;
        std::unordered_set<const Contact*> listed;
        for (const ContactPtr& entry : panel().entries()) listed.insert(entry.get());
        items_.RemoveIf([&](const Contact* contact) { return listed.count(contact) == 0; });
    }
    // The selected item while the view has the focus.
    ContactItem* FocusedItem() const {
        if (!isValid() || !contactsView()->hasFocus()) return nullptr;
        const ContactPtr& selected = panel().selection();
        return panel().IndexOf(selected.get()) >= 0 ? Item(selected) : nullptr;
    }

    QAccessible::Role role() const override { return QAccessible::List; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name ? LoadQString(str::kA11yContactList) : QString();
    }
    QRect rect() const override {
        return isValid() ? ToScreen(view(), contactsView()->ComputeAreas().list) : QRect();
    }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.readOnly = true;
        state.invisible = !isValid() || !Shown() || contactsView()->ComputeAreas().list.isEmpty();
        return state;
    }
    int childCount() const override {
        return isValid() ? static_cast<int>(panel().entries().size()) : 0;
    }
    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= childCount()) return nullptr;
        return Item(panel().entries()[static_cast<std::size_t>(index)]);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto* item = dynamic_cast<const ContactItem*>(child);
        return item != nullptr && isValid() ? panel().IndexOf(item->contact().get()) : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        if (!isValid()) return nullptr;
        const QPoint point = view()->mapFromGlobal(QPoint(x, y));
        const ContactListPanel& list = panel();
        for (int index = 0; index < static_cast<int>(list.entries().size()); ++index) {
            if (list.CellRect(index).contains(point)) return child(index);
        }
        return nullptr;
    }
    QAccessibleInterface* focusChild() const override { return FocusedItem(); }

private:
    mutable PartCache<const Contact*> items_;
};

ContactItem::ContactItem(ContactListPart* list, ContactPtr contact)
    : Part(list), list_(list), contact_(std::move(contact)) {}

int ContactItem::Index() const {
    return Part::isValid() ? list_->panel().IndexOf(contact_.get()) : -1;
}

QRect ContactItem::rect() const {
    const int index = Index();
    return index < 0 ? QRect() : ToScreen(view(), list_->panel().CellRect(index));
}

QAccessible::State ContactItem::state() const {
    QAccessible::State state;
    const int index = Index();
    if (index < 0) {
        state.invisible = true;
        return state;
    }
    const ContactListPanel& panel = list_->panel();
    state.selectable = true;
    state.focusable = true;
    state.readOnly = true;
    state.selected = panel.selection() == contact_;
    state.focused = state.selected && list_->contactsView()->hasFocus();
    state.invisible = !Shown();
    // Entries on other pages are not drawn.
    state.offscreen = panel.CellRect(index).isEmpty();
    return state;
}

void ContactItem::doAction(const QString& name) {
    if (name != pressAction() && name != setFocusAction()) return;
    const int index = Index();
    if (index < 0) return;
    ContactListPanel& panel = list_->panel();
    panel.MoveSelection(index - panel.RevalidateSelection());
}

// ---- A conversation ----

class HistoryListPart;

class HistoryEntryItem : public Part {
public:
    HistoryEntryItem(HistoryListPart* list, std::size_t index, std::uint64_t generation);

    std::size_t index() const { return index_; }

    bool isValid() const override;
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QString text(QAccessible::Text t) const override;
    QAccessible::State state() const override {
        QAccessible::State state;
        state.readOnly = true;
        state.invisible = !isValid() || !Shown();
        return state;
    }

private:
    HistoryListPart* list_;
    std::size_t index_;  // in the history, oldest first
    std::uint64_t generation_;  // the list's generation when the item was made
};

class HistoryListPart : public Part {
public:
    HistoryListPart(QAccessibleInterface* parent, const HistoryPanel& panel,
                    std::function<QRect()> area)
        : Part(parent), panel_(panel), area_(std::move(area)) {}

    ~HistoryListPart() override { Prune(); }

    // The conversation shown, brought up to date: another contact or history, or
    // one that shrank, starts a new generation, and the items made so far stay (as
    // invalid) until the next Prune.
    std::shared_ptr<MessageHistory> Refresh() const {
        const AppState& state = panel_.state();
        const ContactPtr contact = state.ContainsContact(state.CurrentContact());
        std::shared_ptr<MessageHistory> history = contact ? contact->History() : nullptr;
        if (contact != contact_.lock() || history != history_.lock()) Reset();
        contact_ = contact;
        history_ = history;
        if (history == nullptr) return nullptr;
        const std::size_t count = history->Count();
        if (count < scanned_) Reset();
        if (!panel_.compact()) {
            scanned_ = count;
            return history;
        }
        // The compact layout leaves system entries out.
        constexpr std::size_t kChunk = 256;
        while (scanned_ < count) {
            const std::vector<MessageEntry> chunk =
                history->EntriesBetween(scanned_, std::min(scanned_ + kChunk, count));
            if (chunk.empty()) break;  // emptied meanwhile: the next refresh starts again
            for (const MessageEntry& entry : chunk) {
                if (entry.direction != MessageDirection::System) shown_.push_back(scanned_);
                ++scanned_;
            }
        }
        return history;
    }
    void Reset() const {
        for (QAccessible::Id id : items_.TakeIds()) stale_.push_back(id);
        ++generation_;
        shown_.clear();
        scanned_ = 0;
    }
    // Deletes the items of earlier generations. Only from outside the interfaces'
    // own calls: an item may be what the caller holds.
    void Prune() {
        for (QAccessible::Id id : stale_) QAccessible::deleteAccessibleInterface(id);
        stale_.clear();
    }
    std::uint64_t generation() const { return generation_; }
    // How many entries are shown, and the history index of the one at list
    // position `position` (newest first).
    std::size_t ShownCount() const { return panel_.compact() ? shown_.size() : scanned_; }
    std::size_t HistoryIndex(std::size_t position) const {
        const std::size_t fromOldest = ShownCount() - 1 - position;
        return panel_.compact() ? shown_[fromOldest] : fromOldest;
    }
    // The entry with history index `index`, or none.
    std::optional<MessageEntry> Entry(std::size_t index) const {
        const std::shared_ptr<MessageHistory> history = history_.lock();
        if (history == nullptr) return std::nullopt;
        std::vector<MessageEntry> entries = history->EntriesBetween(index, index + 1);
        if (entries.empty()) return std::nullopt;
        return std::move(entries.front());
    }
    QString ContactName() const {
        const ContactPtr contact = contact_.lock();
        return contact ? QString::fromStdU16String(contact->Snapshot().DisplayName()) : QString();
    }
    // The item of the entry with history index `index`, made on first use.
    HistoryEntryItem* Item(std::size_t index) const {
        if (auto* item = static_cast<HistoryEntryItem*>(items_.Find(index))) return item;
        auto* item = new HistoryEntryItem(const_cast<HistoryListPart*>(this), index, generation_);
        items_.Add(index, item);
        return item;
    }

    QAccessible::Role role() const override { return QAccessible::List; }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) return LoadQString(str::kA11yConversation);
        if (t != QAccessible::Description || !isValid()) return {};
        // What the panel shows instead of entries.
        const AppState& state = panel_.state();
        const ContactPtr contact = state.ContainsContact(state.CurrentContact());
        if (contact == nullptr) return {};
        const std::shared_ptr<MessageHistory> history = contact->History();
        if (history == nullptr) return LoadQString(str::kHistoryLoading);
        return history->Count() == 0 ? LoadQString(str::kHistoryEmpty) : QString();
    }
    QRect rect() const override { return isValid() ? ToScreen(view(), area_()) : QRect(); }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.readOnly = true;
        state.invisible = !isValid() || !Shown() || area_().isEmpty();
        return state;
    }
    int childCount() const override {
        if (!isValid()) return 0;
        Refresh();
        return static_cast<int>(ShownCount());
    }
    QAccessibleInterface* child(int position) const override {
        if (position < 0 || position >= childCount()) return nullptr;
        return Item(HistoryIndex(static_cast<std::size_t>(position)));
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto* item = dynamic_cast<const HistoryEntryItem*>(child);
        if (item == nullptr || !item->isValid()) return -1;
        // Shown, so in shown_ (compact) or below the count (full).
        std::size_t fromOldest = item->index();
        if (panel_.compact()) {
            fromOldest = static_cast<std::size_t>(
                std::lower_bound(shown_.begin(), shown_.end(), item->index()) - shown_.begin());
        }
        return static_cast<int>(ShownCount() - 1 - fromOldest);
    }
    // Whether history index `index` is one of the entries shown now.
    bool Shows(std::size_t index) const {
        Refresh();
        if (index >= scanned_) return false;
        return !panel_.compact() || std::binary_search(shown_.begin(), shown_.end(), index);
    }

private:
    const HistoryPanel& panel_;
    std::function<QRect()> area_;
    mutable std::weak_ptr<Contact> contact_;
    mutable std::weak_ptr<MessageHistory> history_;
    mutable std::size_t scanned_ = 0;       // entries looked at, from the oldest
    mutable std::vector<std::size_t> shown_;  // compact layout: the indexes shown, ascending
    mutable PartCache<std::size_t> items_;
    mutable std::vector<QAccessible::Id> stale_;  // items of earlier generations
    mutable std::uint64_t generation_ = 0;
};

HistoryEntryItem::HistoryEntryItem(HistoryListPart* list, std::size_t index,
                                   std::uint64_t generation)
    : Part(list), list_(list), index_(index), generation_(generation) {}

bool HistoryEntryItem::isValid() const {
    return Part::isValid() && list_->Shows(index_) && generation_ == list_->generation();
}

QString HistoryEntryItem::text(QAccessible::Text t) const {
    if (!isValid()) return {};
    const std::optional<MessageEntry> entry = list_->Entry(index_);
    if (!entry) return {};
    if (t == QAccessible::Name) return HistoryEntryText(*entry, list_->ContactName());
    if (t == QAccessible::Description && entry->time != 0) {
        return FormatLocalTime(entry->time, "%x %X");
    }
    return {};
}

// ---- The views ----

// A view: the parts it paints come first, then its widgets.
class ViewAccessible : public QAccessibleWidget {
public:
    explicit ViewAccessible(QWidget* view) : QAccessibleWidget(view, QAccessible::Client) {}
    ~ViewAccessible() override { parts_.Clear(); }

    HistoryListPart* history() const { return history_; }
    AnnouncementPart* announcement() const { return announcement_; }
    // Whether the view shows its conversation now.
    virtual bool ConversationShown() const = 0;

    int childCount() const override {
        return static_cast<int>(order_.size()) + QAccessibleWidget::childCount();
    }
    QAccessibleInterface* child(int index) const override {
        const int parts = static_cast<int>(order_.size());
        if (index < 0) return nullptr;
        return index < parts ? order_[static_cast<std::size_t>(index)]
                             : QAccessibleWidget::child(index - parts);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto it = std::find(order_.begin(), order_.end(), child);
        if (it != order_.end()) return static_cast<int>(it - order_.begin());
        const int index = QAccessibleWidget::indexOfChild(child);
        return index < 0 ? -1 : index + static_cast<int>(order_.size());
    }

protected:
    template <typename P>
    P* AddPart(P* part) {
        parts_.Add(order_.size(), part);
        order_.push_back(part);
        return part;
    }
    void AddConversation(const HistoryPanel& panel, std::function<QRect()> area) {
        history_ = AddPart(new HistoryListPart(this, panel, std::move(area)));
        announcement_ = AddPart(new AnnouncementPart(this));
    }

private:
    PartCache<std::size_t> parts_;
    std::vector<QAccessibleInterface*> order_;
    HistoryListPart* history_ = nullptr;
    AnnouncementPart* announcement_ = nullptr;
};

class ContactsViewAccessible : public ViewAccessible {
public:
    explicit ContactsViewAccessible(CContactsView* view) : ViewAccessible(view) {
        list_ = AddPart(new ContactListPart(this));
        AddConversation(view->historyPanel(), [this] { return Areas().history; });
        AddPart(new TextPart(
            this, QAccessible::StaticText,
            [] {
                const std::int64_t now = platform::Now();
                return FormatLocalTime(now, "%x") + QLatin1Char(' ') + FormatLocalTime(now, "%X");
            },
            [this] { return contactsView()->historyPanel().ClockArea(Areas().history); },
            [this] {
                const SessionProbe& probe = contactsView()->historyPanel().clock().probe();
                return LoadQString(str::kA11yTraffic)
                    .arg(static_cast<double>(probe.Received()) / 1024.0, 0, 'f', 1)
                    .arg(static_cast<double>(probe.Sent()) / 1024.0, 0, 'f', 1);
            }));
        status_ = AddPart(new TextPart(
            this, QAccessible::StatusBar, [this] { return contactsView()->statusLine().text(); },
            [this] { return Areas().status; }));
    }

    ContactListPart* list() const { return list_; }
    TextPart* status() const { return status_; }

    bool ConversationShown() const override {
        return isValid() && !Areas().history.isEmpty();
    }
    QAccessibleInterface* focusChild() const override {
        if (ContactItem* item = list_->FocusedItem()) return item;
        return ViewAccessible::focusChild();
    }

private:
    CContactsView* contactsView() const { return static_cast<CContactsView*>(widget()); }
    CContactsView::Areas Areas() const { return contactsView()->ComputeAreas(); }

    ContactListPart* list_ = nullptr;
    TextPart* status_ = nullptr;
};

// The header line: the contact shown, its presence and its typing.
QString HeaderText(const AppState& state) {
    const ContactPtr contact = state.ContainsContact(state.CurrentContact());
    if (contact == nullptr) return {};
    const ContactInfo info = contact->Snapshot();
    QString text = QString::fromStdU16String(info.DisplayName());
    if (const QString presence = PresenceWords(info.status); !presence.isEmpty()) {
        text += QStringLiteral(", ") + presence;
    }
    if (info.typing()) text += QStringLiteral(", ") + LoadQString(str::kA11yTyping);
    return text;
}

class MessageViewAccessible : public ViewAccessible {
public:
    explicit MessageViewAccessible(CMessageView* view) : ViewAccessible(view) {
        const AppState& state = view->historyPanel().state();
        AddPart(new TextPart(
            this, QAccessible::Heading, [&state] { return HeaderText(state); },
            [this] { return messageView()->CurrentLayout().header; }));
        AddConversation(view->historyPanel(),
                        [this] { return messageView()->CurrentLayout().history; });
    }

    // The view is named after the contact it shows.
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && isValid()) {
            return HeaderText(messageView()->historyPanel().state());
        }
        return ViewAccessible::text(t);
    }
    bool ConversationShown() const override {
        return isValid() && !messageView()->CurrentLayout().history.isEmpty();
    }

private:
    CMessageView* messageView() const { return static_cast<CMessageView*>(widget()); }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
    if (className == QLatin1String(CContactsView::staticMetaObject.className())) {
        return new ContactsViewAccessible(static_cast<CContactsView*>(object));
    }
    if (className == QLatin1String(CMessageView::staticMetaObject.className())) {
        return new MessageViewAccessible(static_cast<CMessageView*>(object));
    }
    if (className == QLatin1String(HeaderStrip::staticMetaObject.className())) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::ToolBar);
    }
    return nullptr;
}

template <typename Interface>
Interface* InterfaceOf(QWidget* widget) {
    if (widget == nullptr) return nullptr;
    return dynamic_cast<Interface*>(QAccessible::queryAccessibleInterface(widget));
}

}  // namespace

void InstallAccessibility() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    QAccessible::installFactory(&Factory);
}

QString PresenceWords(std::int32_t status) {
    if (status == StatusOffline) return LoadQString(str::kA11yOffline);
    const int command = StatusCommand(status);
    const MenuDefinition* menu = FindMenuDefinition(menubar::kMain);
    if (command == 0 || menu == nullptr) return {};
    return MenuQString(MenuText(menu->items, command)).toLower();
}

QString ContactItemText(const ContactInfo& info) {
    QStringList parts{QString::fromStdU16String(info.DisplayName())};
    if (const QString presence = PresenceWords(info.status); !presence.isEmpty()) {
        parts << presence;
    }
    if (info.conversationOpen()) parts << LoadQString(str::kA11yConversationOpen);
    if (const int unread = info.unreadCount; unread > 0) {
        // Russian: "1 непрочитанное", "21 непрочитанное", but "11 непрочитанных".
        const bool one = unread % 10 == 1 && unread % 100 != 11;
        parts << LoadQString(one ? str::kA11yUnreadOne : str::kA11yUnreadMany).arg(unread);
    }
    return parts.join(QStringLiteral(", "));
}

QString HistoryEntryText(const MessageEntry& entry, const QString& contactName) {
    QStringList head;
    if (entry.direction == MessageDirection::Out) {
        head << LoadQString(str::kA11yOwnEntry);
    } else if (entry.direction == MessageDirection::In && !contactName.isEmpty()) {
        head << contactName;
    }
    if (entry.time != 0) head << FormatLocalTime(entry.time, "%H:%M");
    const QString text = OneLine(entry.text);
    return head.isEmpty() ? text : head.join(QStringLiteral(", ")) + QStringLiteral(": ") + text;
}

void SelectionWatch::Update(const ContactListPanel& panel, QWidget* owner) {
    ContactPtr selected = panel.selection();
    if (!panel.Lists(selected.get())) selected = nullptr;
    const ContactPtr previous = selected_.lock();
    const QString text = selected ? ContactItemText(selected->Snapshot()) : QString();
    const bool moved = selected != previous;
    const bool renamed = !moved && text != text_;
    selected_ = selected;
    text_ = text;
    if (!QAccessible::isActive()) return;
    auto* view = InterfaceOf<ContactsViewAccessible>(owner);
    if (view == nullptr) return;
    ContactListPart* list = view->list();
    list->Prune();
    if (moved) {
        if (previous != nullptr && panel.Lists(previous.get())) {
            Send(list->Item(previous), QAccessible::SelectionRemove);
        }
        if (selected == nullptr) return;
        ContactItem* item = list->Item(selected);
        Send(item, QAccessible::Selection);
        if (owner->hasFocus()) Send(item, QAccessible::Focus);
    } else if (renamed && selected != nullptr) {
        Send(list->Item(selected), QAccessible::NameChanged);
    }
}

void ConversationWatch::Update(const HistoryPanel& panel, QWidget* owner) {
    const AppState& state = panel.state();
    const ContactPtr contact = state.ContainsContact(state.CurrentContact());
    const std::shared_ptr<MessageHistory> history = contact ? contact->History() : nullptr;
    const std::size_t count = history ? history->Count() : 0;
    const bool same = contact == contact_.lock() && history == history_.lock();
    const std::size_t before = count_;
    contact_ = contact;
    history_ = history;
    count_ = count;
    if (!QAccessible::isActive()) return;
    auto* view = InterfaceOf<ViewAccessible>(owner);
    if (view == nullptr) return;
    HistoryListPart* list = view->history();
    list->Refresh();
    list->Prune();
    if (!same || count <= before || !owner->isVisible() || !view->ConversationShown()) return;

    const QString name = QString::fromStdU16String(contact->Snapshot().DisplayName());
    const std::vector<MessageEntry> added = history->EntriesBetween(before, count);
    for (std::size_t i = 0; i < added.size(); ++i) {
        const std::size_t index = before + i;
        if (list->Shows(index)) Send(list->Item(index), QAccessible::ObjectCreated);
        if (added[i].direction == MessageDirection::In) {
            view->announcement()->Announce(HistoryEntryText(added[i], name));
        }
    }
}

void FocusSelectedContact(QWidget* view) {
    if (!QAccessible::isActive()) return;
    // Qt tells of the view's own focus after its focus-in handler: the item's focus
    // goes out after that.
    QTimer::singleShot(0, view, [view] {
        auto* iface = InterfaceOf<ContactsViewAccessible>(view);
        if (iface != nullptr) Send(iface->list()->FocusedItem(), QAccessible::Focus);
    });
}

void StatusTextChanged(QWidget* view) {
    if (!QAccessible::isActive()) return;
    if (auto* iface = InterfaceOf<ContactsViewAccessible>(view)) {
        Send(iface->status(), QAccessible::NameChanged);
    }
}

}  // namespace pellox::ui
