// The conversation renderer: the current contact's history, newest entry at the
// top, drawn into a rectangle of its owner view.
//
// Two layouts:
//  - Full (the conversation view): each entry under a grey header band with its
//    date and time; scrolled by scrollOffset, one step moving the content by a
//    fifth of the panel's height.
//  - Compact (under the contact list): a blue panel box, entries prefixed by their
//    time and separated by blue lines, and the clock in the right fifth.
// System entries are never drawn. User-interface thread only.
#pragma once

#include <QFont>
#include <QRect>
#include <memory>

#include "store/app_state.h"
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
    static constexpr QColor kHeaderText{200, 200, 200};

    // `owner` is repainted when a history finished loading. The compact layout's
    // clock reads the traffic from `probe`.
    HistoryPanel(QWidget* owner, AppState& state, Layout layout, SessionProbe probe = {});

    // Registers with the model (for ConversationChanged).
    void Register();
    // ConversationChanged repaints the owner; every other change is ignored.
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // Paints the current contact's conversation into `rect`; nothing for an empty
    // rect. A negative offset, or another contact than the one drawn last (by this
    // panel or any other), starts again at the newest entry.
    void Paint(QPainter& painter, const QRect& rect);

    // 0 shows the newest entry at the top; each step moves by a fifth of the
    // panel. There is no upper bound (the background shows past the oldest entry).
    int scrollOffset() const { return scrollOffset_; }
    void SetScrollOffset(int offset) { scrollOffset_ = offset; }
    void Scroll(int steps) { scrollOffset_ += steps; }

    bool compact() const { return layout_ == Layout::Compact; }
    // The rectangle of the last paint (the whole panel, clock included).
    const QRect& lastRect() const { return lastRect_; }
    const QFont& smallFont() const { return smallFont_; }
    const QFont& messageFont() const { return messageFont_; }

private:
    // Draws one entry from `y` and returns the y below it.
    int PaintEntry(QPainter& painter, const QRect& rect, int mx, int y, const MessageEntry& entry);
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
};

}  // namespace pellox::ui
