// The custom-drawn contact list of the home screen: the contacts that pass the
// "only online" filter, sorted with unread conversations first, drawn in columns
// of rows and paged by moving the selection. The selected entry is the
// application's current contact.
//
// The panel is not a widget: its owner view paints it into a rectangle and hands
// it taps and keys. It runs on the user-interface thread only.
#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <QTimer>
#include <vector>

#include "store/app_state.h"
#include "ui/accessibility.h"
#include "ui/drawing_kit.h"

class QPainter;
class QWidget;

namespace pellox::ui {

// Whether a contact is listed: never when it is ignored; otherwise always when the
// filter is off, and with it when it is not offline, its conversation is open or
// it has unread messages.
bool ContactListed(const ContactInfo& info, bool onlyOnline);

// The list order: negative when a goes before b, positive when after, 0 when
// equal. The first key that differs decides: more unread messages first, an open
// conversation first, not offline first, later activity first, then the display
// name by code units.
int CompareContacts(const ContactInfo& a, const ContactInfo& b);

class ContactListPanel : public AppStateListener {
public:
    static constexpr int kColumns = 2;
    static constexpr int kMinRowHeight = 16;
    static constexpr int kNameIndent = 20;  // the name starts this far right of the icon
    // The shortest time between two repaints the panel asks for: a frame.
    static constexpr int kRepaintIntervalMs = 16;

    // `owner` is repainted after the changes the panel shows, and a screen reader
    // told of a selection that moved (SelectionWatch). A change repaints at once
    // when the last repaint is a frame ago; changes coming faster (the presence
    // reports of a whole list at sign-on) are drawn together, a frame after it.
    // Likewise a contact whose fields changed is put in its place when the order
    // is next needed, not once per change.
    ContactListPanel(QWidget* owner, AppState& state);

    // Registers with the model and rebuilds the list from it.
    void Register();

    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // ---- Selection ----
    // Selects entry i clamped into the list; -1 (selection none) for an empty list.
    int SelectIndex(int index);
    // The index of the selected contact when it is listed; otherwise entry 0 is
    // selected (or none for an empty list). Never changes the current contact.
    int RevalidateSelection();
    // Makes the highlight and the current contact agree after a change: the
    // current contact is highlighted when it is listed; otherwise the highlight
    // stays (or goes to entry 0) and its contact becomes current, or none for an
    // empty list. While the owner is hidden a current contact that is not listed
    // keeps being current: the owner calls this again when it is shown.
    void AgreeWithCurrent();
    // Moves the selection by `step` entries, clamped to the ends. False when the
    // selection stays where it was; otherwise the selection becomes the current
    // contact, the owner is repainted, and true.
    bool MoveSelection(int step);

    // ---- Geometry ----
    // Row height and rows per column of `area` for text in `font`. Painting does
    // this each time; the owner also does it on a resize, so that keys and taps
    // work before the first paint.
    void Measure(const QRect& area, const QFont& font);
    // Paints the list into `area` with the painter's font for the names.
    void Paint(QPainter& painter, const QRect& area);
    // A tap at `point`: selects the entry under it (the last entry for a tap below
    // the last one of the last page) and makes it the current contact. True when
    // the selection changed, which repaints the owner.
    bool HitTest(const QPoint& point);
    // The cell of entry `index` when it is on the page now shown, else an empty rect.
    QRect CellRect(int index) const;

    // ---- State, for the view and for tests ----
    const std::vector<ContactPtr>& entries() const {
        EnsureSorted();
        return entries_;
    }
    int IndexOf(const Contact* contact) const;
    // Whether the contact is listed: IndexOf(contact) >= 0, without putting the
    // list in order first.
    bool Lists(const Contact* contact) const { return Find(contact) >= 0; }
    const ContactPtr& selection() const { return selection_; }
    int rows() const { return rows_; }
    int rowHeight() const { return rowHeight_; }
    int columns() const { return columns_; }
    const QFont& badgeFont() const { return badgeFont_; }
    // Whether a repaint is put off to the next frame.
    bool repaintPending() const { return repaintTimer_.isActive(); }

private:
    bool OnlyOnline() const;
    // Empties the list and fills it with the model's listed contacts, sorted.
    void Rebuild();
    // Inserts by binary search at the place the order gives it.
    void Insert(const ContactPtr& contact, const ContactInfo& info);
    void Remove(int index);
    // The contact's place in entries_ as they stand, sorted or not; -1 when absent.
    int Find(const Contact* contact) const;
    // Sorts the entries when a change left them out of order.
    void EnsureSorted() const;
    // `pen` is the colour of the painter's pen when the previous cell set it (an
    // invalid colour before the first), so that a cell sets the pen only to change it.
    void PaintEntry(QPainter& painter, const QRect& cell, const ContactInfo& info, QColor& pen);
    void Repaint();
    // The index of the selected contact, or -1 when it is not listed. The place it
    // was last found is tried first, so painting and hit-testing cost the same on a
    // late page of a long list as on the first.
    int SelectedIndex() const;
    // The first index of the page that shows entry `selected` (page 0 for -1).
    int FirstOnPage(int selected) const;
    // The cell of entry `index` on the page starting at `first`.
    QRect CellOnPage(int index, int first) const;

    QWidget* owner_;
    AppState& state_;
    ContactPtr selection_;
    mutable std::size_t selectionHint_ = 0;  // where SelectedIndex last found it
    // In list order unless `unsorted_`: sorted on demand, so also by const members.
    mutable std::vector<ContactPtr> entries_;
    mutable bool unsorted_ = false;
    QTimer repaintTimer_;      // a repaint put off to the next frame
    QElapsedTimer sincePaint_;  // since the last paint
    int columns_ = kColumns;
    QFont badgeFont_;
    BackgroundCache highlight_{BackgroundKind::Selection};
    SelectionWatch accessibility_;  // what a screen reader was told of the selection

    // From the last Measure.
    QRect area_;
    int rowHeight_ = kMinRowHeight;
    int rows_ = 0;
    int columnWidth_ = 0;
};

}  // namespace pellox::ui
