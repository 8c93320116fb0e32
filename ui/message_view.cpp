#include "ui/message_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputMethod>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTextCursor>
#include <QWheelEvent>
#include <algorithm>
#include <memory>

#include "net/net_command.h"
#include "net/text_encoding.h"
#include "platform/local_time.h"
#include "protocol/messages.h"
#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/form_view.h"
#include "ui/image_button.h"
#include "ui/message_box.h"
#include "ui/sound_player.h"

namespace pellox::ui {

namespace {

constexpr int kMinHeaderLine = 16;       // the presence icon's height
constexpr int kTypingPauseMs = 5000;     // own typing: no change for this long is a pause
constexpr int kTypingRefreshMs = 4000;   // own typing: "begun" again while keys keep coming
constexpr int kInputAreaPercent = 15;    // of the height
constexpr int kInputAreaPanelPercent = 25;  // while an on-screen keyboard is shown
constexpr int kInputAreaWidthPercent = 80;
constexpr int kInputVerticalInsetPercent = 5;  // of the input area's height
constexpr int kSearchLineWidthPercent = 70;     // of the search bar, the count beside it
constexpr int kSearchBarPadding = 3;            // around the search line

// The input box's text with its line breaks as the stored files and the peers
// expect them: CR LF.
std::u16string MessageText(const QPlainTextEdit& input) {
    QString text = input.toPlainText();
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return text.toStdU16String();
}

// Clears the contact's unread count; true when it had unread messages.
bool ClearUnread(Contact& contact) {
    return contact.Update([](ContactInfo& info) {
        if (info.unreadCount == 0) return false;
        info.unreadCount = 0;
        return true;
    });
}

}  // namespace

CMessageView::CMessageView(AppState& state, SessionControl& session, SoundPlayer& sounds,
                           QWidget* parent)
    : FrameView(parent),
      state_(state),
      session_(session),
      sounds_(sounds),
      history_(this, state, HistoryPanel::Layout::Full) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    // No click focus: a tap on the view decides itself where the focus goes.
    setFocusPolicy(Qt::TabFocus);

    input_ = new QPlainTextEdit(this);
    input_->setObjectName(QStringLiteral("input"));
    input_->setProperty(kControlIdProperty, kInputBoxId);
    input_->setFrameShape(QFrame::NoFrame);
    input_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    input_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    input_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    input_->setTabChangesFocus(true);
    input_->installEventFilter(this);
    ApplyControlColours(input_);

    send_ = new ImageButton(QStringLiteral("OK"), cmd::kViewOk, this);
    send_->setBitmapId(kSendBitmap);
    send_->setAccessibleName(LoadQString(str::kA11ySend));
    send_->setReturnFocus(true);
    // Tab goes between the input box and the view, so the arrow keys always either
    // edit or scroll; the button is sent from the keyboard by Ctrl+Enter.
    send_->setFocusPolicy(Qt::NoFocus);
    connect(send_, &ImageButton::commandTriggered, this, [this](int id) { OnCommand(id); });

    // Ctrl+Enter sends as the button does, from the input box or the view; Enter
    // alone stays a new line.
    for (const QKeyCombination keys : {Qt::CTRL | Qt::Key_Return, Qt::CTRL | Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(keys), this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] { OnCommand(cmd::kViewOk); });
    }

    typingShown_.setSingleShot(true);
    connect(&typingShown_, &QTimer::timeout, this, [this] { update(); });
    typingPause_.setSingleShot(true);
    connect(&typingPause_, &QTimer::timeout, this, [this] {
        if (!typingTo_.empty() && typingSent_ == kTypingBegun) SendTyping(typingTo_, kTypingTyped);
    });
    connect(input_, &QPlainTextEdit::textChanged, this, [this] { OnInputChanged(); });

    searchLine_ = MakeSearchLine(this, QStringLiteral("searchLine"), LoadQString(str::kSearchLine));
    searchLine_->hide();
    connect(searchLine_, &QLineEdit::textChanged, this, [this](const QString& text) {
        search_.SetQuery(text.toStdU16String());
        RefreshSearch(true);
    });
    auto* find = new QShortcut(QKeySequence::Find, this);
    find->setContext(Qt::WidgetWithChildrenShortcut);
    connect(find, &QShortcut::activated, this, [this] { OpenSearch(); });
    history_.SetSearch(&search_);

    // Where the platform has an on-screen keyboard, its appearing changes the layout.
    QInputMethod* inputMethod = QGuiApplication::inputMethod();
    connect(inputMethod, &QInputMethod::visibleChanged, this, [this] {
        LayOut();
        update();
    });
}

void CMessageView::SendTyping(const std::u16string& uin, std::uint16_t kind) {
    session_.EnqueueCommand(TypingCommand{uin, kind});
    if (kind == kTypingBegun) typingBegunSent_.start();
    typingSent_ = kind;
    typingTo_ = kind == kTypingStopped ? std::u16string() : uin;
}

void CMessageView::SetInputText(const QString& text) {
    const QSignalBlocker block(input_);
    input_->setPlainText(text);
    input_->moveCursor(QTextCursor::End);
}

void CMessageView::OnInputChanged() {
    const ContactPtr contact = state_.ContainsContact(shown_);
    const std::u16string uin = contact ? contact->Uin() : std::u16string();
    const bool typing = !input_->document()->isEmpty() && !uin.empty();
    if (typing) {
        drafts_[uin] = input_->toPlainText();
    } else if (!uin.empty()) {
        drafts_.erase(uin);
    }
    // Another contact, or nothing left to send: the one told hears it stopped.
    if (!typingTo_.empty() && (!typing || typingTo_ != uin)) SendTyping(typingTo_, kTypingStopped);
    if (!typing || !state_.ReadSettings([](const Settings& s) { return s.typing; })) {
        typingPause_.stop();
        return;
    }
    if (typingTo_.empty() || typingSent_ != kTypingBegun ||
        typingBegunSent_.hasExpired(kTypingRefreshMs)) {
        SendTyping(uin, kTypingBegun);
    }
    typingPause_.start(kTypingPauseMs);
}

void CMessageView::OnInitialUpdate() {
    if (!initialised_) {
        initialised_ = true;
        state_.AddListener(this);
        history_.Register();
    }
    history_.SetScrollOffset(0);
    CloseSearch();

    const ContactPtr current = state_.ContainsContact(state_.CurrentContact());
    bool cleared = false;
    if (current != nullptr) {
        cleared = ClearUnread(*current);
        // Posted: the contact list re-sorts once the switch is complete.
        if (cleared) state_.Notify(ChangeCode::ContactChanged, current, true);
    }
    shown_ = current;
    const std::u16string uin = current != nullptr ? current->Uin() : std::u16string();
    const auto draft = drafts_.find(uin);
    SetInputText(draft != drafts_.end() ? draft->second : QString());
    // Another contact: the one told of one's typing hears it stopped.
    if (!typingTo_.empty() && typingTo_ != uin) {
        SendTyping(typingTo_, kTypingStopped);
        typingPause_.stop();
    }
    LayOut();

    if (cleared) {
        // Unread messages: ready to read.
        SetInputPanel(false);
        setFocus(Qt::OtherFocusReason);
    } else {
        // Ready to type.
        SetInputPanel(true);
        input_->setFocus(Qt::OtherFocusReason);
    }
    RepaintNow();
}

bool CMessageView::OnCommand(int id) {
    switch (id) {
        case cmd::kViewOk:
        case cmd::kOk:
            Send();
            return true;
        case cmd::kCloseConversation:
            CloseConversation();
            return true;
        case cmd::kFindInConversation:
            OpenSearch();
            return true;
        case cmd::kExportConversation:
            ChooseExportFile();
            return true;
        default:
            return false;
    }
}

std::optional<CommandState> CMessageView::QueryCommand(int id) {
    if (id == cmd::kViewOk || id == cmd::kOk || id == cmd::kCloseConversation ||
        id == cmd::kFindInConversation) {
        return CommandState{};
    }
    if (id == cmd::kExportConversation) {
        return CommandState{state_.ContainsContact(shown_) != nullptr};
    }
    return std::nullopt;
}

void CMessageView::OnAppStateChange(ChangeCode code, const ContactPtr& contact) {
    switch (code) {
        case ChangeCode::ContactChanged:
            if (contact == nullptr || contact != shown_) break;
            // Messages arriving while their conversation is in front are read.
            if (isVisible() && isActiveWindow() && state_.ContainsContact(contact)) {
                if (ClearUnread(*contact)) state_.Notify(ChangeCode::ContactChanged, contact, true);
            }
            if (searchOpen_) RefreshSearch(false);
            update();
            break;
        case ChangeCode::ConversationChanged:
            if (contact == nullptr || contact != shown_) break;
            // A loaded history: what waited for it is done; otherwise new entries may
            // hold matches.
            if (reveal_.has_value()) {
                ApplyPendingReveal();
            } else if (searchOpen_) {
                RefreshSearch(false);
            }
            update();
            break;
        case ChangeCode::ListReset:
            // Every contact may have changed (presence after a disconnect, say): the
            // header is drawn again whichever contact is shown.
            update();
            break;
        case ChangeCode::CurrentContactChanged:
            update();
            break;
        case ChangeCode::ContactRemoved:
            if (contact == nullptr || contact != shown_) break;
            CloseSearch();  // its matches were the removed contact's
            shown_ = state_.CurrentContact();
            update();
            if (isVisible()) PostFrameCommand(cmd::kShowContacts);
            break;
        default:
            break;
    }
}

void CMessageView::Send() {
    if (const ContactPtr contact = state_.ContainsContact(shown_)) {
        const std::int64_t now = platform::Now();
        const std::u16string text = MessageText(*input_);
        if (!text.empty() && !IsConnectedState(static_cast<std::int32_t>(session_.State()))) {
            // Nothing could go out: the text stays in the box for a later try.
            ShowNotice(this, LoadQString(str::kNoConnection));
            return;
        }
        if (!text.empty()) {
            // A text too long for one message goes as several, each its own entry,
            // stored before it is queued: an answer to it can come back at once.
            for (std::u16string& part : SplitMessageText(text)) {
                if (const std::shared_ptr<MessageHistory> history = state_.GetHistory(contact)) {
                    history->Append(MessageEntry{part, now, MessageDirection::Out});
                }
                session_.EnqueueCommand(SendMessageCommand{contact->Uin(), std::move(part), contact.get()});
            }
            sounds_.Play(QString::fromLatin1(kSendSound));
            state_.Notify(ChangeCode::ConversationChanged, contact);
        }
        contact->Update([now](ContactInfo& info) {
            info.unreadCount = 0;
            info.lastActivity = now;
        });
        state_.Notify(ChangeCode::ContactChanged, contact);
    }
    PostFrameCommand(cmd::kMessageSent);
    input_->clear();
}

void CMessageView::TakeBack(const std::u16string& uin, const std::u16string& text) {
    QString back = QString::fromStdU16String(text);
    back.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const ContactPtr shown = state_.ContainsContact(shown_);
    if (shown != nullptr && shown->Uin() == uin) {
        // After the rest; not typing, so no notice goes out.
        const QSignalBlocker block(input_);
        QTextCursor end(input_->document());
        end.movePosition(QTextCursor::End);
        if (!input_->document()->isEmpty()) end.insertText(QStringLiteral("\n"));
        end.insertText(back);
        drafts_[uin] = input_->toPlainText();
        return;
    }
    QString& draft = drafts_[uin];
    if (!draft.isEmpty()) draft += QLatin1Char('\n');
    draft += back;
}

void CMessageView::CloseConversation() {
    if (const ContactPtr contact = state_.ContainsContact(shown_)) {
        const bool wasOpen = contact->Update([](ContactInfo& info) {
            if (!info.conversationOpen()) return false;
            info.SetConversationOpen(false);
            info.unreadCount = 0;
            return true;
        });
        if (wasOpen) state_.Notify(ChangeCode::ContactChanged, contact);
    }
    PostFrameCommand(cmd::kShowContacts);
}

// ---- Search ------------------------------------------------------------------------

std::shared_ptr<MessageHistory> CMessageView::ShownHistory() const {
    const ContactPtr contact = state_.ContainsContact(shown_);
    return contact != nullptr ? contact->History() : nullptr;
}

void CMessageView::OpenSearch() {
    if (!searchOpen_) {
        searchOpen_ = true;
        searchLine_->show();
        LayOut();
        update();
    }
    searchLine_->setFocus(Qt::ShortcutFocusReason);
    searchLine_->selectAll();
}

void CMessageView::CloseSearch() {
    const bool wasOpen = searchOpen_;
    searchOpen_ = false;
    reveal_.reset();
    {
        const QSignalBlocker block(searchLine_);
        searchLine_->clear();
    }
    search_.Clear();
    searchedCount_ = 0;
    searchLine_->hide();
    if (!wasOpen) return;
    LayOut();
    if (isVisible()) input_->setFocus(Qt::OtherFocusReason);
    update();
}

void CMessageView::RefreshSearch(bool reveal) {
    const std::shared_ptr<MessageHistory> history = ShownHistory();
    if (history == nullptr) {
        // Not loaded yet: the loaded history brings the matches.
        searchedCount_ = 0;
        SearchChanged();
        return;
    }
    // A change that added nothing (a presence, an unread count) finds nothing new.
    if (!reveal && history->Count() == searchedCount_) return;
    searchedCount_ = history->Count();
    search_.Update(*history);
    if (reveal) RevealCurrentMatch();
    SearchChanged();
}

void CMessageView::RevealCurrentMatch() {
    if (const std::optional<ConversationSearch::Hit> hit = search_.Current()) {
        history_.Reveal(CurrentLayout().history, hit->entry, hit->ordinal);
        SearchChanged();
    }
}

void CMessageView::SearchChanged() {
    // The count is painted; a screen reader hears it as the search line's description.
    searchLine_->setAccessibleDescription(SearchCountText());
    update();
}

void CMessageView::FindNext() {
    search_.Next();
    RevealCurrentMatch();
}

void CMessageView::FindPrevious() {
    search_.Previous();
    RevealCurrentMatch();
}

void CMessageView::RevealEntry(std::size_t index, const MessageEntry& entry,
                               const std::u16string& query) {
    OpenSearch();
    {
        // The matches are found once the entry is placed.
        const QSignalBlocker block(searchLine_);
        searchLine_->setText(QString::fromStdU16String(query));
    }
    search_.SetQuery(query);
    searchedCount_ = 0;
    reveal_ = PendingReveal{index, entry};
    ApplyPendingReveal();
}

void CMessageView::ApplyPendingReveal() {
    const std::shared_ptr<MessageHistory> history = ShownHistory();
    if (!reveal_.has_value() || history == nullptr) return;
    const PendingReveal pending = std::move(*reveal_);
    reveal_.reset();
    searchedCount_ = history->Count();
    search_.Update(*history);
    const std::optional<std::size_t> index = FindEntry(*history, pending.index, pending.entry);
    if (index.has_value()) search_.SelectEntry(*index);
    RevealCurrentMatch();
    SearchChanged();
}

QString CMessageView::SearchCountText() const {
    // Before the history is loaded nothing was searched yet.
    if (!search_.active() || ShownHistory() == nullptr) return {};
    if (search_.count() == 0) return LoadQString(str::kSearchNothing);
    return LoadQString(str::kSearchCount).arg(search_.currentIndex() + 1).arg(search_.count());
}

bool CMessageView::SearchLineKey(QEvent* event) {
    if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    if (event->type() == QEvent::ShortcutOverride) {
        // Escape closes the search, not the conversation (the frame's Escape).
        if (key->key() != Qt::Key_Escape) return false;
        event->accept();
        return true;
    }
    switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if ((key->modifiers() & Qt::ShiftModifier) != 0) {
                FindPrevious();
            } else {
                FindNext();
            }
            return true;
        case Qt::Key_Escape:
            CloseSearch();
            return true;
        case Qt::Key_Up:
        case Qt::Key_Down:
            ScrollBy(key->key() == Qt::Key_Up ? -1 : 1);
            return true;
        default:
            return false;
    }
}

// ---- Export --------------------------------------------------------------------------

void CMessageView::ChooseExportFile() {
    const ContactPtr contact = state_.ContainsContact(shown_);
    if (contact == nullptr) return;
    auto* dialog = new QFileDialog(this, LoadQString(str::kExportTitle));
    dialog->setObjectName(QStringLiteral("exportDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    const QString text = LoadQString(str::kExportTextFilter);
    const QString html = LoadQString(str::kExportHtmlFilter);
    dialog->setNameFilters({text, html});
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    connect(dialog, &QFileDialog::filterSelected, dialog, [dialog, html](const QString& filter) {
        dialog->setDefaultSuffix(filter == html ? QStringLiteral("html") : QStringLiteral("txt"));
    });
    // In the user's documents, never by default in the folder the program runs in.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    dialog->setDirectory(QDir(documents).exists() ? documents : QDir::homePath());
    dialog->selectFile(
        LoadQString(str::kExportFileName).arg(QString::fromStdU16String(contact->Uin())));
    const std::weak_ptr<Contact> chosen = contact;
    connect(dialog, &QFileDialog::fileSelected, this,
            [this, chosen, dialog, html](const QString& path) {
                const ContactPtr target = state_.ContainsContact(chosen.lock());
                if (target == nullptr || target != shown_) return;
                ExportTo(path, ExportFormatFor(path, dialog->selectedNameFilter() == html));
            });
    dialog->open();
}

bool CMessageView::ExportTo(const QString& path, ExportFormat format) {
    const ContactPtr contact = state_.ContainsContact(shown_);
    if (contact == nullptr) return false;
    QString error;
    if (ExportConversation(state_, contact, path, format, error)) return true;
    if (!error.isEmpty()) ShowNotice(this, error);
    return false;
}

// ---- Layout and painting -------------------------------------------------------------

CMessageView::Layout CMessageView::ComputeLayout(QSize client, int lineHeight, bool panelShown,
                                                 int panelHeight, int searchHeight) {
    const int width = std::max(client.width(), 0);
    const int height = std::max(client.height(), 0) + (panelShown ? std::max(panelHeight, 0) : 0);
    Layout layout;

    const int line = std::max(kMinHeaderLine, lineHeight) + 2;
    layout.header = QRect(0, 0, width, line);

    const int areaHeight =
        height * (panelShown ? kInputAreaPanelPercent : kInputAreaPercent) / 100;
    const int areaWidth = width * kInputAreaWidthPercent / 100;
    layout.inputArea = QRect(0, line, areaWidth, areaHeight);

    const int inset = areaHeight * kInputVerticalInsetPercent / 100;
    layout.input = QRect(kInputInset, line + inset, std::max(areaWidth - 2 * kInputInset, 0),
                         std::max(areaHeight - 2 * inset, 0));
    layout.send = QRect(areaWidth, line, width - areaWidth, areaHeight);

    const int searchTop = line + areaHeight;
    const int barHeight = std::clamp(searchHeight, 0, std::max(height - searchTop, 0));
    if (barHeight > 0) {
        layout.search = QRect(0, searchTop, width, barHeight);
        layout.searchLine = layout.search.adjusted(kInputInset, kSearchBarPadding, 0,
                                                   -kSearchBarPadding);
        layout.searchLine.setWidth(
            std::max(width * kSearchLineWidthPercent / 100 - kInputInset, 0));
    }
    const int historyTop = searchTop + barHeight;
    layout.history = QRect(0, historyTop, width, std::max(height - historyTop, 0));
    return layout;
}

CMessageView::Layout CMessageView::CurrentLayout() const {
    // The window is not shrunk for an on-screen keyboard here, so the keyboard's
    // height does not count into the client height.
    const bool panelShown = QGuiApplication::inputMethod()->isVisible();
    const int searchHeight =
        searchOpen_ ? searchLine_->sizeHint().height() + 2 * kSearchBarPadding : 0;
    return ComputeLayout(size(), QFontMetrics(font()).height(), panelShown, 0, searchHeight);
}

void CMessageView::LayOut() {
    const Layout layout = CurrentLayout();
    input_->setGeometry(layout.input);
    send_->setGeometry(layout.send);
    searchLine_->setGeometry(layout.searchLine);
}

void CMessageView::SetInputPanel(bool shown) {
    panelRequested_ = shown;
    QInputMethod* inputMethod = QGuiApplication::inputMethod();
    if (shown) {
        inputMethod->show();
    } else {
        inputMethod->hide();
    }
}

void CMessageView::ScrollBy(int steps) {
    // Up stops at the newest entry, down once the oldest one is shown whole.
    const QRect area = CurrentLayout().history;
    const int before = history_.scrollOffset();
    history_.SetScrollOffset(std::max(before, 0));
    for (; steps < 0 && history_.scrollOffset() > 0; ++steps) history_.Scroll(-1);
    for (; steps > 0 && history_.CanScrollDown(area); --steps) history_.Scroll(1);
    if (history_.scrollOffset() != before) update(area);
}

void CMessageView::RepaintNow() {
    if (isVisible()) {
        repaint();
    } else {
        update();
    }
}

void CMessageView::paintEvent(QPaintEvent*) {
    OffscreenPaint paint(this, rect());
    QPainter& painter = paint.painter();
    background_.Draw(painter, rect());
    const Layout layout = CurrentLayout();
    if (!layout.inputArea.isEmpty()) box_.Draw(painter, layout.inputArea);

    if (const ContactPtr current = state_.ContainsContact(state_.CurrentContact())) {
        const ContactInfo info = current->Snapshot();
        const QRect& header = layout.header;
        StatusIcons::Instance().Draw(
            painter,
            QPoint(0, header.top() + (header.height() - StatusIcons::kIconSize) / 2),
            info.status);
        const QRect nameRect(kNameLeft, header.top(), std::max(header.width() - kNameLeft, 0),
                             header.height());
        const QFontMetrics metrics(font());
        painter.setFont(font());
        painter.setPen(ThemeColors::kWhite);
        // While the contact types, the notice follows the name, which gives way to it.
        QString typing;
        if (info.typing()) {
            typing = LoadQString(str::kTyping);
            typingShown_.start(static_cast<int>(
                std::clamp<std::int64_t>(info.typingUntilMs - ContactInfo::TypingClockMs(), 1, kTypingTimeoutMs)));
        }
        const int nameWidth = std::max(nameRect.width() - metrics.horizontalAdvance(typing), 0);
        painter.drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         metrics.elidedText(QString::fromStdU16String(info.DisplayName()),
                                            Qt::ElideRight, nameWidth) +
                             typing);
    }
    if (!layout.search.isEmpty()) {
        // The bar on a band like an entry's header.
        FillVerticalGradient(painter, layout.search, HistoryPanel::kHeaderBandTop,
                             HistoryPanel::kHeaderBandBottom);
        const int countLeft = layout.searchLine.right() + 1 + kInputInset;
        const QRect count(countLeft, layout.search.top(),
                          std::max(layout.search.right() - kInputInset - countLeft, 0),
                          layout.search.height());
        painter.setFont(history_.smallFont());
        painter.setPen(search_.count() == 0 ? ThemeColors::kSkyBlue : ThemeColors::kWhite);
        painter.drawText(count, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                         SearchCountText());
    }
    history_.Paint(painter, layout.history);
}

void CMessageView::resizeEvent(QResizeEvent* event) {
    FrameView::resizeEvent(event);
    LayOut();
}

void CMessageView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Up:
            ScrollBy(-1);
            event->accept();
            return;
        case Qt::Key_Down:
            ScrollBy(1);
            event->accept();
            return;
        default:
            break;
    }
    const Qt::KeyboardModifiers shortcutModifiers =
        Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    // A key the input box does not take goes on to its parent, this view: while
    // it is being handed over it is not handed over again, but goes on to the
    // frame like any key the view does not use.
    if (!forwarding_ && !event->text().isEmpty() && (event->modifiers() & shortcutModifiers) == 0) {
        // Typing while reading: the input box takes over, starting with this key.
        input_->setFocus(Qt::OtherFocusReason);
        QKeyEvent forwarded(event->type(), event->key(), event->modifiers(),
                            event->nativeScanCode(), event->nativeVirtualKey(),
                            event->nativeModifiers(), event->text(), event->isAutoRepeat(),
                            static_cast<quint16>(event->count()));
        forwarding_ = true;
        QApplication::sendEvent(input_, &forwarded);
        forwarding_ = false;
        // Handled, by the box or by whoever it went on to.
        event->accept();
        return;
    }
    FrameView::keyPressEvent(event);
}

bool CMessageView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == searchLine_) {
        return SearchLineKey(event) || FrameView::eventFilter(watched, event);
    }
    if (watched == input_ && event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        // The Menu key opens the soft-key menu, as F10 does; the box's own menu
        // stays on the right button.
        CMainFrame* owner = frame();
        if (owner != nullptr && owner->softKeyMenu(0) != nullptr &&
            !owner->softKeyMenu(0)->isVisible()) {
            owner->OpenSoftKey(0);
        }
        return true;
    }
    if (watched != input_ || event->type() != QEvent::KeyPress) {
        return FrameView::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool up = key->key() == Qt::Key_Up;
    if ((!up && key->key() != Qt::Key_Down) || key->modifiers() != Qt::NoModifier) return false;
    // The arrows move the cursor between the lines of the draft; where it cannot
    // go further they scroll the conversation, as they do while reading.
    QTextCursor cursor = input_->textCursor();
    if (cursor.movePosition(up ? QTextCursor::Up : QTextCursor::Down)) return false;
    ScrollBy(up ? -1 : 1);
    return true;
}

void CMessageView::wheelEvent(QWheelEvent* event) {
    // Also the wheel over the input box, once the box has nothing to scroll.
    if (const int notches = WheelNotches(*event)) ScrollBy(notches);
    event->accept();
}

void CMessageView::contextMenuEvent(QContextMenuEvent* event) {
    const std::optional<MessageEntry> entry =
        history_.EntryAt(CurrentLayout().history, event->pos());
    if (!entry.has_value()) {
        event->ignore();
        return;
    }
    QString text = QString::fromStdU16String(entry->text);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (entryMenu_ != nullptr) entryMenu_->deleteLater();
    entryMenu_ = new QMenu(this);
    entryMenu_->setAttribute(Qt::WA_DeleteOnClose);
    QAction* copy = entryMenu_->addAction(LoadQString(str::kCopyEntry));
    connect(copy, &QAction::triggered, this,
            [text] { QGuiApplication::clipboard()->setText(text); });
    entryMenu_->popup(event->globalPos());
    event->accept();
}

void CMessageView::mousePressEvent(QMouseEvent* event) {
    // The right button opens an entry's menu; the focus stays where it is.
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    if (hasFocus()) {
        input_->setFocus(Qt::MouseFocusReason);
    } else {
        SetInputPanel(false);
        setFocus(Qt::MouseFocusReason);
    }
    event->accept();
}

void CMessageView::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second tap of a double tap has already arrived as a press of its own.
    event->accept();
}

void CMessageView::focusInEvent(QFocusEvent* event) {
    SetInputPanel(false);
    FrameView::focusInEvent(event);
}

void CMessageView::focusOutEvent(QFocusEvent* event) {
    if (QApplication::focusWidget() == input_) SetInputPanel(true);
    FrameView::focusOutEvent(event);
}

}  // namespace pellox::ui
