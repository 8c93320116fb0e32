// CMessageView: the conversation screen. A header line with the current contact's
// presence icon and display name, a multi-line input box framed by a blue panel
// box with the send button beside it, and below them the conversation in the full
// history layout, newest entry at the top.
//
// Created once per run and kept (hidden) while another view is shown; the view and
// its history panel stay registered with the model the whole time.
//
// Commands: the send button (cmd::kViewOk) and the header's "ok" (cmd::kOk) send
// what was typed; "Закрыть переписку" (cmd::kCloseConversation) closes the
// conversation and brings the contact list back. The rest of menu bar 130 is the
// application's.
//
// The header shows "печатает…" after the name while the contact is typing.
//
// Keys while the view (not the input box) has the focus: Up and Down scroll the
// conversation by one step; any other key that types text moves the focus to the
// input box and goes on to it unchanged. In the input box Enter starts a new line
// and Up and Down move between its lines, scrolling the conversation where the
// cursor can go no further; Ctrl+Enter sends, in the box and in the view; the Menu
// key opens the soft-key menu there too (the box's own menu is on the right
// button). The wheel
// scrolls as Up and Down do. Scrolling stops at the newest entry and once the
// oldest one is shown whole. A right click on an entry offers "Копировать", which
// puts its text on the clipboard.
//
// Search: Ctrl+F (or "Найти в переписке") opens a search line between the input
// area and the conversation. What is typed there is found in the conversation,
// case-insensitively; every match is highlighted, the current one apart, and the
// count beside the line tells which match of how many is current. Enter goes to the
// next match down (older), Shift+Enter to the one before, both wrapping around;
// Escape closes the line. The line closes whenever the view is activated anew.
//
// "Экспорт переписки…" asks for a file (the non-native file dialog, "Текст (*.txt)"
// or "HTML (*.html)") and writes the conversation there (see export.h).
//
// Desktop keyboards are not on screen: the on-screen keyboard requests of the
// view (shown while typing, hidden while reading) go to the platform's input
// method, which ignores them where there is none.
//
// User-interface thread only.
#pragma once

#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "store/app_state.h"
#include "ui/drawing_kit.h"
#include "ui/export.h"
#include "ui/history_panel.h"
#include "ui/history_search.h"
#include "ui/main_frame.h"

class QFileDialog;
class QLineEdit;
class QPlainTextEdit;

namespace pellox::ui {

class ImageButton;
class SessionControl;
class SoundPlayer;

class CMessageView : public FrameView, public AppStateListener {
    Q_OBJECT

public:
    static constexpr int kInputBoxId = 32809;    // control id of the input box
    static constexpr int kSendBitmap = 137;      // return arrow
    static constexpr int kNameLeft = 20;         // x of the name in the header line
    static constexpr int kInputInset = 5;        // input box inside the input area, left and right

    // Commands are queued through `session`; the send sound is played by `sounds`.
    // `state`, `session` and `sounds` must outlive the view.
    CMessageView(AppState& state, SessionControl& session, SoundPlayer& sounds,
                 QWidget* parent = nullptr);

    // Each activation: the first one registers the view, then its history panel,
    // with the model. Then the conversation starts at the newest entry, the current
    // contact becomes the shown contact, and its unread count is cleared (posted
    // ContactChanged). The input box shows that contact's draft (what was typed to
    // it and not sent, kept in memory for the run) and takes the focus, unless
    // unread messages were just cleared: then the view takes it, ready to read.
    void OnInitialUpdate() override;

    // cmd::kViewOk and cmd::kOk send; cmd::kCloseConversation closes the conversation;
    // cmd::kFindInConversation opens the search line, cmd::kExportConversation the
    // export's file dialog.
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;

    // ContactChanged and ConversationChanged of the shown contact, ListReset and
    // CurrentContactChanged repaint; while the view is shown in the active window,
    // ContactChanged of the shown contact also clears its unread count (what
    // arrives there is read; posted ContactChanged); ContactRemoved of the shown contact shows the
    // current contact instead and, while the view is visible, brings the contact list
    // back (posted cmd::kShowContacts).
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // Sends the input box's text to the shown contact: stores the outgoing entry,
    // then queues SendMessage (so that an answer is never stored before it), plays
    // the send sound (ConversationChanged); an empty box sends nothing. Either way,
    // while the contact is listed its unread count is cleared and its activity set
    // to now (ContactChanged), then cmd::kMessageSent is posted to the frame and the input box
    // emptied. While not connected a text is not sent: a notice says so and the
    // text stays in the box; nothing else happens.
    void Send();
    // A message to `uin` that was not sent: its text goes back, after what is
    // there on a line of its own, into that contact's draft, which is the input box
    // while the contact is the shown one. No typing notice goes out for it.
    void TakeBack(const std::u16string& uin, const std::u16string& text);
    // Clears the shown contact's open-conversation mark and unread count (when the
    // mark is set), then posts cmd::kShowContacts to the frame.
    void CloseConversation();

    // Opens the search line (or, when open, selects what it holds) and gives it the
    // focus.
    void OpenSearch();
    // Closes it: the highlights go, the input box takes the focus.
    void CloseSearch();
    // Moves to the next (older) or previous (newer) match, wrapping around, and
    // scrolls the conversation to it.
    void FindNext();
    void FindPrevious();
    // Opens the search line with `query` and makes the first match of `entry` current,
    // scrolled into view: at once when the shown contact's history is loaded, else
    // once it is. `index` is where the entry was found; when the history holds
    // another entry there now, the newest equal entry is taken.
    void RevealEntry(std::size_t index, const MessageEntry& entry, const std::u16string& query);
    bool searchOpen() const { return searchOpen_; }
    QLineEdit* searchLine() const { return searchLine_; }
    const ConversationSearch& search() const { return search_; }
    // What the count beside the search line says: "3 из 17", "Не найдено", or
    // nothing for an empty query and while the history is not loaded.
    QString SearchCountText() const;

    // Opens the file dialog of the export (window-modal; returns at once). The
    // chosen file gets the conversation of the contact shown now.
    void ChooseExportFile();
    // Writes the shown contact's conversation to `path`; false, with a notice over
    // the view saying why, when it could not.
    bool ExportTo(const QString& path, ExportFormat format);

    // The areas of the view, computed from the client size.
    struct Layout {
        QRect header;     // the line with the icon and the name
        QRect inputArea;  // the panel box
        QRect input;      // the input box inside it
        QRect send;       // the send button
        QRect search;     // the search bar, between the input area and the conversation
        QRect searchLine; // the search line inside it
        QRect history;    // the conversation
    };
    // `lineHeight` is the height of a line of the view's font. While an on-screen
    // keyboard is shown the input area takes 25% of the height instead of 15%, and
    // the keyboard's height (`panelHeight`, where the window shrinks for it) counts
    // into the height.
    // `searchHeight` is the search bar's height while it is shown, else 0.
    static Layout ComputeLayout(QSize client, int lineHeight, bool panelShown = false,
                                int panelHeight = 0, int searchHeight = 0);
    Layout CurrentLayout() const;

    ContactPtr shownContact() const { return shown_; }
    HistoryPanel& historyPanel() { return history_; }
    QPlainTextEdit* inputBox() const { return input_; }
    ImageButton* sendButton() const { return send_; }
    // Whether the view last asked for the on-screen keyboard to be shown.
    bool inputPanelRequested() const { return panelRequested_; }
    // The menu of the entry last right-clicked while it is open, else null.
    QMenu* entryMenu() const {
        return entryMenu_ != nullptr && entryMenu_->isVisible() ? entryMenu_.data() : nullptr;
    }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void LayOut();
    void SetInputPanel(bool shown);
    void ScrollBy(int steps);
    void RepaintNow();
    // Own typing notices while the settings' "typing" is on: begun at the first
    // change of a non-empty input and again at a change kTypingRefreshMs after the
    // last one (the contact forgets it after ten seconds), typed after
    // kTypingPauseMs without a change,
    // stopped when the input is emptied (sending empties it) or another contact is
    // shown.
    void OnInputChanged();
    void SendTyping(const std::u16string& uin, std::uint16_t kind);
    // Puts text into the input box without it counting as typing.
    void SetInputText(const QString& text);
    // The shown contact's history when it is loaded.
    std::shared_ptr<MessageHistory> ShownHistory() const;
    // Finds the query's matches again after the query or the history changed;
    // `reveal` scrolls to the current one.
    void RefreshSearch(bool reveal);
    void RevealCurrentMatch();
    // Tells the count to a screen reader and repaints.
    void SearchChanged();
    // A RevealEntry waiting for the history to be loaded: done when it is.
    void ApplyPendingReveal();
    bool SearchLineKey(QEvent* event);

    AppState& state_;
    SessionControl& session_;
    SoundPlayer& sounds_;
    HistoryPanel history_;
    QPlainTextEdit* input_ = nullptr;
    ImageButton* send_ = nullptr;
    QPointer<QMenu> entryMenu_;
    BackgroundCache background_{BackgroundKind::View};
    BackgroundCache box_{BackgroundKind::PanelBox};
    ContactPtr shown_;
    bool panelRequested_ = false;
    bool initialised_ = false;
    bool forwarding_ = false;  // a key is being handed to the input box
    QTimer typingShown_;           // repaints when the shown contact's typing runs out
    QTimer typingPause_;           // own typing: the pause after which "typed" goes out
    std::u16string typingTo_;      // the contact told of one's typing, empty when none
    std::uint16_t typingSent_ = 0; // the last kind sent to typingTo_
    QElapsedTimer typingBegunSent_;             // since "begun" last went out
    std::map<std::u16string, QString> drafts_;  // unsent texts by UIN; none when empty
    QLineEdit* searchLine_ = nullptr;
    bool searchOpen_ = false;
    ConversationSearch search_;
    std::size_t searchedCount_ = 0;  // the history's entries when the matches were found
    struct PendingReveal {
        std::size_t index;
        MessageEntry entry;
    };
    std::optional<PendingReveal> reveal_;
};

}  // namespace pellox::ui
