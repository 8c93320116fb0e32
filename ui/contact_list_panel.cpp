#include "ui/contact_list_panel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <utility>

namespace pellox::ui {

namespace {

constexpr std::int32_t kOffline = 1;

// Name colours: an open conversation, an offline contact, anyone else (white).
constexpr QColor kOpenConversationName{255, 255, 0};
constexpr QColor kOfflineName{255, 200, 200};

template <typename T>
int Order(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

bool ContactListed(const ContactInfo& info, bool onlyOnline) {
    if (info.ignored()) return false;  // kept out of sight as of everything else
    return !onlyOnline || info.status != kOffline || info.conversationOpen() ||
           info.unreadCount > 0;
}

int CompareContacts(const ContactInfo& a, const ContactInfo& b) {
    if (int c = Order(b.unreadCount, a.unreadCount)) return c;
    if (int c = Order(b.conversationOpen(), a.conversationOpen())) return c;
    if (int c = Order(b.status != kOffline, a.status != kOffline)) return c;
    if (int c = Order(b.lastActivity, a.lastActivity)) return c;
    return a.DisplayName().compare(b.DisplayName()) < 0
               ? -1
               : (b.DisplayName().compare(a.DisplayName()) < 0 ? 1 : 0);
}

ContactListPanel::ContactListPanel(QWidget* owner, AppState& state)
    : owner_(owner), state_(state), badgeFont_(QStringLiteral("Arial"), 8) {
    repaintTimer_.setSingleShot(true);
    if (owner_ != nullptr) {
        QObject::connect(&repaintTimer_, &QTimer::timeout, owner_, [this] { owner_->update(); });
    }
}

void ContactListPanel::Register() {
    state_.AddListener(this);
    OnAppStateChange(ChangeCode::ListReset, nullptr);
}

bool ContactListPanel::OnlyOnline() const {
    return state_.ReadSettings([](const Settings& settings) { return settings.onlyonline; });
}

int ContactListPanel::IndexOf(const Contact* contact) const {
    EnsureSorted();
    return Find(contact);
}

int ContactListPanel::Find(const Contact* contact) const {
    if (contact == nullptr) return -1;
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [contact](const ContactPtr& entry) { return entry.get() == contact; });
    return it == entries_.end() ? -1 : static_cast<int>(it - entries_.begin());
}

void ContactListPanel::OnAppStateChange(ChangeCode code, const ContactPtr& contact) {
    if (contact != nullptr && !ContactListed(contact->Snapshot(), OnlyOnline())) {
        const int index = Find(contact.get());
        if (index < 0) return;
        Remove(index);
        AgreeWithCurrent();
        Repaint();
        return;
    }

    switch (code) {
        case ChangeCode::ContactAdded:
        case ChangeCode::ContactChanged: {
            if (contact == nullptr) return;
            if (Find(contact.get()) >= 0) {
                if (code == ChangeCode::ContactChanged) unsorted_ = true;
            } else if (state_.ContainsContact(contact) != nullptr) {
                // A posted change may arrive after the contact left the list: only
                // contacts still in the model are taken in.
                Insert(contact, contact->Snapshot());
            } else {
                return;
            }
            // The first contact of an empty list becomes current, whichever change
            // listed it.
            AgreeWithCurrent();
            break;
        }
        case ChangeCode::ContactRemoved: {
            const int index = Find(contact.get());
            if (index < 0) return;
            Remove(index);
            AgreeWithCurrent();
            break;
        }
        case ChangeCode::CurrentContactChanged:
            if (contact != nullptr) {
                if (contact == selection_) return;
                if (Find(contact.get()) < 0) {
                    if (state_.ContainsContact(contact) == nullptr) return;
                    Insert(contact, contact->Snapshot());
                }
                selection_ = contact;
                RevalidateSelection();
            } else {
                selection_ = nullptr;
                AgreeWithCurrent();
            }
            break;
        case ChangeCode::FilterChanged:
        case ChangeCode::ListReset:
            Rebuild();
            selection_ = state_.CurrentContact();
            AgreeWithCurrent();
            break;
        default:
            return;
    }
    Repaint();
}

void ContactListPanel::Rebuild() {
    const bool onlyOnline = OnlyOnline();
    std::vector<ContactSnapshot> listed;
    for (ContactSnapshot& snapshot : state_.SnapshotContacts()) {
        if (ContactListed(snapshot.info, onlyOnline)) listed.push_back(std::move(snapshot));
    }
    // The fields are copied once, so that a network thread changing a contact
    // meanwhile cannot make the comparison inconsistent.
    std::stable_sort(listed.begin(), listed.end(),
                     [](const ContactSnapshot& a, const ContactSnapshot& b) {
                         return CompareContacts(a.info, b.info) < 0;
                     });
    entries_.clear();
    entries_.reserve(listed.size());
    for (ContactSnapshot& snapshot : listed) entries_.push_back(std::move(snapshot.contact));
    unsorted_ = false;
}

void ContactListPanel::EnsureSorted() const {
    if (!unsorted_) return;
    unsorted_ = false;
    std::vector<ContactSnapshot> snapshots;
    snapshots.reserve(entries_.size());
    for (ContactPtr& entry : entries_) {
        ContactInfo info = entry->Snapshot();
        snapshots.push_back({std::move(entry), std::move(info)});
    }
    std::stable_sort(snapshots.begin(), snapshots.end(),
                     [](const ContactSnapshot& a, const ContactSnapshot& b) {
                         return CompareContacts(a.info, b.info) < 0;
                     });
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        entries_[i] = std::move(snapshots[i].contact);
    }
}

void ContactListPanel::Insert(const ContactPtr& contact, const ContactInfo& info) {
    EnsureSorted();
    // After the last entry that does not go after the new one.
    std::size_t low = 0;
    std::size_t high = entries_.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (CompareContacts(info, entries_[middle]->Snapshot()) < 0) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(low), contact);
}

void ContactListPanel::Remove(int index) {
    entries_.erase(entries_.begin() + index);
}

int ContactListPanel::SelectIndex(int index) {
    EnsureSorted();
    if (entries_.empty()) {
        selection_ = nullptr;
        return -1;
    }
    index = std::clamp(index, 0, static_cast<int>(entries_.size()) - 1);
    selectionHint_ = static_cast<std::size_t>(index);
    selection_ = entries_[selectionHint_];
    return index;
}

int ContactListPanel::SelectedIndex() const {
    if (selection_ == nullptr) return -1;
    EnsureSorted();
    if (selectionHint_ < entries_.size() && entries_[selectionHint_] == selection_) {
        return static_cast<int>(selectionHint_);
    }
    const int index = IndexOf(selection_.get());
    if (index >= 0) selectionHint_ = static_cast<std::size_t>(index);
    return index;
}

int ContactListPanel::RevalidateSelection() {
    if (const int index = SelectedIndex(); index >= 0) return index;
    return SelectIndex(0);
}

void ContactListPanel::AgreeWithCurrent() {
    const ContactPtr current = state_.ContainsContact(state_.CurrentContact());
    if (current != nullptr && Find(current.get()) >= 0) {
        selection_ = current;
        return;
    }
    RevalidateSelection();
    // The current contact left the list (the filter hides it). While the list is
    // not shown, a conversation or a form may be showing that contact: it stays
    // current until the list comes back.
    if (current != nullptr && owner_ != nullptr && owner_->isHidden()) return;
    state_.SetCurrentContact(selection_);
}

bool ContactListPanel::MoveSelection(int step) {
    const int current = RevalidateSelection();
    const int moved = SelectIndex(current + step);
    if (moved == current) return false;
    state_.SetCurrentContact(selection_);
    Repaint();
    return true;
}

void ContactListPanel::Measure(const QRect& area, const QFont& font) {
    int height = std::max(QFontMetrics(font).height(), kMinRowHeight);
    height += height / 10;
    area_ = area;
    rowHeight_ = height;
    rows_ = std::max(area.height(), 0) / height;
    columnWidth_ = std::max(area.width(), 0) / columns_;
}

int ContactListPanel::FirstOnPage(int selected) const {
    const int perPage = rows_ * columns_;
    return selected < 0 || perPage <= 0 ? 0 : selected / perPage * perPage;
}

QRect ContactListPanel::CellOnPage(int index, int first) const {
    const int offset = index - first;
    return QRect(area_.left() + offset / rows_ * columnWidth_,
                 area_.top() + offset % rows_ * rowHeight_, columnWidth_, rowHeight_);
}

QRect ContactListPanel::CellRect(int index) const {
    const int perPage = rows_ * columns_;
    if (perPage <= 0 || index < 0 || index >= static_cast<int>(entries_.size())) return {};
    const int first = FirstOnPage(SelectedIndex());
    if (index < first || index >= first + perPage) return {};
    return CellOnPage(index, first);
}

void ContactListPanel::Paint(QPainter& painter, const QRect& area) {
    sincePaint_.start();
    Measure(area, painter.font());
    const int selected = RevalidateSelection();
    // A list area lower than one row shows nothing (and must not divide by 0).
    if (rows_ <= 0 || columnWidth_ <= 0) return;

    const int first = FirstOnPage(selected);
    if (selected >= 0) highlight_.Draw(painter, CellOnPage(selected, first));

    // The cells set the pen for their names; the caller gets its own back.
    painter.save();
    QColor pen;
    const int last = std::min(first + rows_ * columns_, static_cast<int>(entries_.size()));
    for (int index = first; index < last; ++index) {
        PaintEntry(painter, CellOnPage(index, first),
                   entries_[static_cast<std::size_t>(index)]->Snapshot(), pen);
    }
    painter.restore();
}

void ContactListPanel::PaintEntry(QPainter& painter, const QRect& cell, const ContactInfo& info,
                                  QColor& pen) {
    const int iconSize = StatusIcons::kIconSize;
    const QPoint iconTopLeft(cell.left(), cell.top() + (cell.height() - iconSize) / 2);
    StatusIcons::Instance().Draw(painter, iconTopLeft, info.status);

    if (info.unreadCount > 0) {
        // Right and bottom aligned in the icon box less its last column and row. A
        // count too wide for the box starts at the cell's left edge, so every digit
        // stays visible.
        const QString count = QString::number(info.unreadCount);
        const QFontMetrics metrics(badgeFont_);
        const QRect box(iconTopLeft, QSize(iconSize - 1, iconSize - 1));
        const int width = metrics.horizontalAdvance(count);
        const int height = metrics.height();
        const QRect badge(std::max(box.left() + box.width() - width, cell.left()),
                          box.top() + box.height() - height, width, height);
        painter.save();
        painter.setFont(badgeFont_);
        painter.fillRect(badge, shade::kDark);
        painter.setPen(ThemeColors::kWhite);
        painter.drawText(badge, Qt::AlignLeft | Qt::AlignBottom | Qt::TextSingleLine, count);
        painter.restore();
    }

    const QRect nameRect(cell.left() + kNameIndent, cell.top(), cell.width() - kNameIndent,
                         cell.height());
    if (nameRect.width() <= 0) return;
    QColor colour = ThemeColors::kWhite;
    if (info.conversationOpen()) {
        colour = kOpenConversationName;
    } else if (info.status == kOffline) {
        colour = kOfflineName;
    }
    if (colour != pen) {
        painter.setPen(colour);
        pen = colour;
    }
    // Left and vertically centred on one line; a name too long for its cell ends
    // in "…" inside it.
    painter.drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     painter.fontMetrics().elidedText(QString::fromStdU16String(info.DisplayName()),
                                                      Qt::ElideRight, nameRect.width()));
}

bool ContactListPanel::HitTest(const QPoint& point) {
    if (!area_.contains(point) || rows_ <= 0 || columnWidth_ <= 0) return false;
    const int row = (point.y() - area_.top()) / rowHeight_;
    if (row >= rows_) return false;
    // The pixels right of the last column (width not divisible) belong to it.
    const int column = std::min((point.x() - area_.left()) / columnWidth_, columns_ - 1);
    const int current = RevalidateSelection();
    const int page = current / (rows_ * columns_);
    const int selected = SelectIndex((page * columns_ + column) * rows_ + row);
    // The tapped entry is current even when it was highlighted already.
    state_.SetCurrentContact(selection_);
    if (selected == current) return false;
    Repaint();
    return true;
}

void ContactListPanel::Repaint() {
    accessibility_.Update(*this, owner_);
    if (owner_ == nullptr || repaintTimer_.isActive()) return;
    const qint64 since = sincePaint_.isValid() ? sincePaint_.elapsed() : kRepaintIntervalMs;
    if (since >= kRepaintIntervalMs) {
        owner_->update();
    } else {
        repaintTimer_.start(static_cast<int>(kRepaintIntervalMs - since));
    }
}

}  // namespace pellox::ui
