// CContactsView: the home screen. The contact list of the active profile in two
// columns, three large buttons under it ("<<", "OK", ">>"), the compact
// conversation panel of the selected contact with the clock, and the connection
// status line at the bottom. The selected entry is the current contact.
//
// Created once per run and kept (hidden) while another view is shown; its list,
// conversation panel and status line stay registered with the model the whole
// time, so the list is current whenever the view comes back.
//
// User-interface thread only.
#pragma once

#include <QBasicTimer>
#include <QRect>

#include "store/app_state.h"
#include "ui/contact_list_panel.h"
#include "ui/drawing_kit.h"
#include "ui/history_panel.h"
#include "ui/main_frame.h"
#include "ui/session_probe.h"
#include "ui/status_line.h"

namespace pellox::ui {

class ImageButton;

class CContactsView : public FrameView {
    Q_OBJECT

public:
    // Timer 1: the clock, while the view is on screen. It stops at the first tick
    // that finds the view hidden, its window minimised or not exposed, and starts
    // again with the next paint or when the window is restored.
    static constexpr int kClockIntervalMs = 1000;
    static constexpr int kStatusInset = 4;         // left and right of the status text

    // The view reads the model from `state` and the session's state and traffic
    // from `probe`; both must outlive it.
    CContactsView(AppState& state, SessionProbe probe, QWidget* parent = nullptr);

    // Each activation: starts the clock timer. The first one also registers the
    // list, the conversation panel and the status line with the model (in that
    // order), fills the list and shows the current connection state. Then the
    // highlighted entry and the current contact are made to agree and the buttons
    // are laid out.
    void OnInitialUpdate() override;

    // "<<" (cmd::kPreviousColumn) and ">>" (cmd::kNextColumn) move the selection a
    // column left or right; "OK" (cmd::kViewOk) posts "Написать" (cmd::kWrite) to the frame.
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;

    // The areas of the view for its current size, from the bottom up: status line,
    // compact conversation panel, button bar, list.
    struct Areas {
        QRect list;
        QRect buttonBar;
        QRect history;
        QRect status;
        QRect previous;  // "<<"
        QRect ok;        // "OK"
        QRect next;      // ">>"
    };
    Areas ComputeAreas() const;

    ContactListPanel& listPanel() { return list_; }
    HistoryPanel& historyPanel() { return history_; }
    StatusLine& statusLine() { return status_; }
    ImageButton* previousButton() const { return previous_; }
    ImageButton* okButton() const { return ok_; }
    ImageButton* nextButton() const { return next_; }
    bool clockRunning() const { return clock_.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The wheel moves the selection a column per notch, as "<<" and ">>" do.
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // A screen reader's focus goes on to the selected contact.
    void focusInEvent(QFocusEvent* event) override;

private:
    void LayOut();
    void StatusChanged();
    // Visible in a window that is exposed and not minimised.
    bool OnScreen() const;

    AppState& state_;
    SessionProbe probe_;
    ContactListPanel list_;
    HistoryPanel history_;
    StatusLine status_;
    ImageButton* previous_ = nullptr;
    ImageButton* ok_ = nullptr;
    ImageButton* next_ = nullptr;
    BackgroundCache background_{BackgroundKind::View};
    QBasicTimer clock_;
    int buttonHeight_ = 0;  // the tallest button bitmap
    bool initialised_ = false;
};

}  // namespace pellox::ui
