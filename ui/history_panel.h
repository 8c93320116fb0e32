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
#include <QTextLayout>
#include <memory>
#include <optional>

#include "store/app_state.h"
#include "ui/accessibility.h"
#include "ui/clock_panel.h"
#include "ui/drawing_kit.h"
#include "ui/history_search.h"
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
    // The band behind an entry's header in the full layout, top to bottom.
    static constexpr QColor kHeaderBandTop{102, 102, 102};
    static constexpr QColor kHeaderBandBottom{51, 51, 51};
    // Behind the matches of a search, and behind the current one with its text.
    static constexpr QColor kMatchBackground{75, 158, 186};
    static constexpr QColor kCurrentMatchBackground{255, 255, 150};
    static constexpr QColor kCurrentMatchText{0, 0, 0};

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

    // The search whose matches the full layout highlights, the current one apart;
    // null for none. The search must outlive the panel or be set back to null.
    void SetSearch(const ConversationSearch* search) { search_ = search; }
    // Scrolls the conversation painted into `rect` so that entry `entry` (its index
    // in the history) starts in the top fifth of the panel, or, when its match
    // `ordinal` stands further down than half the panel, that match's line does.
    // False when the entry is not in the history shown.
    bool Reveal(const QRect& rect, std::size_t entry, int ordinal);

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
        std::size_t index = 0;  // the entry's index in the history
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
    // margin, in whole or in part. With `through`, entries are placed on past the
    // bottom, at their full height, up to the one with that index.
    template <typename Place>
    bool PlaceEntries(const MessageHistory& history, const QRect& area, Place&& place,
                      std::optional<std::size_t> through = std::nullopt) const;
    // The search's matches in an entry as drawn.
    QList<QTextLayout::FormatRange> Highlights(const PlacedEntry& placed) const;
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
    const ConversationSearch* search_ = nullptr;
    std::weak_ptr<Contact> lastDrawn_;
    QRect lastRect_;
    ConversationWatch accessibility_;  // what a screen reader was told of the entries
};

}  // namespace pellox::ui
