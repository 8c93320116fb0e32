// The conversation renderer: the current contact's history, newest entry at the
// top, drawn into a rectangle of its owner view.
//
// Two layouts:
//  - Full (the conversation view): each entry under a grey header band with its
//    date and time; scrolled by scrollOffset, one step moving the content by a
//    fifth of the panel's height.
//  - Compact (under the contact list): a blue panel box, entries prefixed by their
//    time and separated by blue lines, and the clock in the right fifth.
// System entries (authorization answers and the like) are drawn in the full
// layout only, in a colour of their own. User-interface thread only.
#pragma once

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QString>
#include <memory>
#include <optional>

#include "store/app_state.h"
#include "ui/accessibility.h"
#include "ui/clock_panel.h"
#include "ui/drawing_kit.h"
#include "ui/session_probe.h"

class QPainter;
class QWidget;

namespace pellox::ui {

class HistoryPanel : public AppStateListener {
public:
    enum class Layout { Full, Compact };

    // Text colours of the entries and the headers of the full layout.
    static constexpr QColor kIncomingText{255, 255, 255};
    static constexpr QColor kOutgoingText{255, 255, 150};
    static constexpr QColor kSystemText{98, 201, 236};
    static constexpr QColor kHeaderText{200, 200, 200};

    // `owner` is repainted when a history finished loading. The compact layout's
    // clock reads the traffic from `probe`.
    HistoryPanel(QWidget* owner, AppState& state, Layout layout, SessionProbe probe = {});

    // Registers with the model; what the conversation shown holds now is no news
    // to a screen reader.
    void Register();
    // ConversationChanged repaints the owner. Every change may have added entries
    // to the conversation shown, which a screen reader is told of.
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // Paints the current contact's conversation into `rect`; nothing for an empty
    // rect. A negative offset, or another contact than the one drawn last (by this
    // panel or any other), starts again at the newest entry.
    void Paint(QPainter& painter, const QRect& rect);
    // Paints only the compact layout's clock (on its part of the panel box) of a
    // panel painted into `rect`: what a tick of the clock changes.
    void PaintClock(QPainter& painter, const QRect& rect);

    // 0 shows the newest entry at the top; each step moves by a fifth of the
    // panel. There is no upper bound (the background shows past the oldest entry).
    int scrollOffset() const { return scrollOffset_; }
    void SetScrollOffset(int offset) { scrollOffset_ = offset; }
    void Scroll(int steps) { scrollOffset_ += steps; }

    // Whether scrolling one step further down would show more of the conversation
    // painted into `rect`: false once the oldest entry is drawn whole.
    bool CanScrollDown(const QRect& rect) const;
    // The entry drawn at `point` (its header band or its text) of the conversation
    // painted into `rect`, or none.
    std::optional<MessageEntry> EntryAt(const QRect& rect, const QPoint& point) const;

    bool compact() const { return layout_ == Layout::Compact; }
    AppState& state() const { return state_; }
    const ClockPanel& clock() const { return clock_; }
    // The compact layout's clock in a panel painted into `rect` (its right fifth);
    // empty in the full layout.
    QRect ClockArea(const QRect& rect) const;
    // The rectangle of the last paint (the whole panel, clock included).
    const QRect& lastRect() const { return lastRect_; }
    const QFont& smallFont() const { return smallFont_; }
    const QFont& messageFont() const { return messageFont_; }

private:
    // One entry where painting puts it.
    struct PlacedEntry {
        const MessageEntry* entry = nullptr;
        QString text;        // as drawn: in the compact layout after its time
        bool first = false;  // the first entry drawn
        int separator = 0;   // compact layout, not the first: the y of the line above it
        int top = 0;         // the top of its header band (full) or of its text (compact)
        int textTop = 0;
        int bottom = 0;  // the bottom of its text, at most the panel's bottom
    };
    // The part of `rect` the entries are drawn in (the compact layout's clock is
    // beside it).
    QRect EntriesArea(const QRect& rect) const;
    // Places the entries of `history` from the newest down into `area` at the
    // current offset, as long as they start above the bottom margin, and calls
    // place(const PlacedEntry&) for each. True when an entry is left below that
    // margin, in whole or in part.
    template <typename Place>
    bool PlaceEntries(const MessageHistory& history, const QRect& area, Place&& place) const;
    // The current contact's history when it is loaded.
    std::shared_ptr<MessageHistory> ShownHistory() const;
    void PaintNotice(QPainter& painter, const QRect& rect, int stringId, const QColor& colour);

    QWidget* owner_;
    AppState& state_;
    Layout layout_;
    QFont smallFont_;
    QFont messageFont_;
    ClockPanel clock_;
    BackgroundCache box_{BackgroundKind::PanelBox};
    int scrollOffset_ = 0;
    std::weak_ptr<Contact> lastDrawn_;
    QRect lastRect_;
    ConversationWatch accessibility_;  // what a screen reader was told of the entries
};

}  // namespace pellox::ui
