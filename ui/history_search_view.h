// CHistorySearchView: the search over every conversation of the active profile
// ("Меню → Поиск по истории"). A header line with the title, the search line in a
// panel box, a line that tells how many entries were found, and below it the
// hits, newest first: each with its contact and the entry's date and time on a grey
// band (as the conversation shows an entry) and a line of the entry around its
// first match, the match highlighted.
//
// The search starts a short pause after the query last changed, or at once on
// Enter, and runs on a thread of its own (ProfileSearch): the history in memory for
// a contact whose conversation is loaded, otherwise its file, which is read and
// never written, and no history is kept for it. The hits of each conversation
// appear as soon as it is searched. At most kMaxListedHits are listed, the newest.
//
// Keys: Up and Down choose a hit (Down from the search line goes into the list),
// Page Up and Page Down a page of them; Enter or "Открыть" (cmd::kOpenSearchHit)
// opens the chosen hit: its contact becomes the current one, the conversation
// opens (cmd::kWrite) and shows that entry with the matches highlighted
// (CMessageView::RevealEntry). A tap opens the hit tapped. "Отмена" and Escape go
// back to the contact list; the wheel scrolls.
//
// Created afresh each time it is shown and destroyed when another view is shown;
// destroying it cancels the search. User-interface thread only.
#pragma once

#include <QFont>
#include <QRect>
#include <QTimer>
#include <string>
#include <vector>

#include "store/app_state.h"
#include "ui/drawing_kit.h"
#include "ui/history_search.h"
#include "ui/main_frame.h"

class QLineEdit;

namespace pellox::ui {

class CHistorySearchView : public FrameView {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxListedHits = 500;
    static constexpr int kSearchDelayMs = 300;

    explicit CHistorySearchView(AppState& state, QWidget* parent = nullptr);

    // Gives the search line the focus.
    void OnInitialUpdate() override;
    // cmd::kOpenSearchHit opens the chosen hit (enabled while one is chosen).
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;

    // Starts the search for what the search line holds now (an empty line clears
    // the list), cancelling one under way.
    void StartSearch();
    // Opens hit `index` of hits(); false when there is no such hit or its contact
    // has left the list.
    bool OpenHit(int index);

    const std::vector<HistoryHit>& hits() const { return hits_; }
    // How many entries matched, listed or not.
    int found() const { return found_; }
    bool searching() const { return search_.running(); }
    int selected() const { return selected_; }
    // Chooses hit `index` (clamped to the list) and scrolls it into view.
    void Select(int index);
    QLineEdit* searchLine() const { return line_; }
    // What the line under the search line says.
    QString StatusText() const;

    struct Layout {
        QRect header;  // the title
        QRect box;     // the panel box around the search line
        QRect line;    // the search line
        QRect status;  // how many were found
        QRect list;    // the hits
    };
    Layout CurrentLayout() const;
    // Where hit `index` is drawn now (it may lie outside the list area).
    QRect HitRect(int index) const;
    // The hit drawn at `point`, or -1.
    int HitAt(const QPoint& point) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void TakeHits(std::vector<HistoryHit> hits, int matched);
    // Keys that move through the list; true when `key` was one.
    bool ListKey(int key);
    int RowHeight() const;
    int BandHeight() const;
    void ScrollTo(int top);
    void PaintHit(QPainter& painter, const HistoryHit& hit, const QRect& row, bool chosen);
    void UpdateAccessibleText();

    AppState& state_;
    QLineEdit* line_ = nullptr;
    QTimer delay_;
    ProfileSearch search_;
    std::vector<HistoryHit> hits_;
    int found_ = 0;
    int selected_ = -1;
    int top_ = 0;           // how far the list is scrolled, in pixels
    std::u16string query_;  // the query of the hits listed
    QFont smallFont_;
    QFont messageFont_;
    BackgroundCache background_{BackgroundKind::View};
    BackgroundCache box_{BackgroundKind::PanelBox};
};

}  // namespace pellox::ui
