#include "ui/history_search_view.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>
#include <QWheelEvent>
#include <algorithm>
#include <set>

#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/clock_panel.h"
#include "ui/history_panel.h"
#include "ui/message_view.h"

namespace pellox::ui {

namespace {

constexpr int kMinHeaderLine = 16;  // as the conversation's header line
constexpr int kInset = 5;           // the search line inside its box, the texts from the edges
constexpr int kBoxPadding = 6;      // above and below the search line
constexpr int kSnippetLength = 80;  // code units of an entry around its match

QColor TextColour(MessageDirection direction) {
    switch (direction) {
        case MessageDirection::In:
            return HistoryPanel::kIncomingText;
        case MessageDirection::Out:
            return HistoryPanel::kOutgoingText;
        case MessageDirection::System:
            break;
    }
    return HistoryPanel::kSystemText;
}

bool SameHit(const HistoryHit& a, const HistoryHit& b) {
    return a.uin == b.uin && a.entry == b.entry;
}

}  // namespace

CHistorySearchView::CHistorySearchView(AppState& state, QWidget* parent)
    : FrameView(parent),
      state_(state),
      search_(state.Directory(), kMaxListedHits),
      smallFont_(TextFont(7.5)),
      messageFont_(TextFont(10)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    setAccessibleName(LoadQString(str::kHistorySearchTitle));

    line_ = MakeSearchLine(this, QStringLiteral("historySearchLine"),
                           LoadQString(str::kHistorySearchTitle));

    delay_.setSingleShot(true);
    delay_.setInterval(kSearchDelayMs);
    connect(&delay_, &QTimer::timeout, this, [this] { StartSearch(); });
    connect(line_, &QLineEdit::textChanged, this, [this] { delay_.start(); });
}

void CHistorySearchView::OnInitialUpdate() {
    const Layout layout = CurrentLayout();
    line_->setGeometry(layout.line);
    line_->setFocus(Qt::OtherFocusReason);
    update();
}

bool CHistorySearchView::OnCommand(int id) {
    if (id != cmd::kOpenSearchHit) return false;
    OpenHit(selected_);
    return true;
}

std::optional<CommandState> CHistorySearchView::QueryCommand(int id) {
    if (id != cmd::kOpenSearchHit) return std::nullopt;
    return CommandState{selected_ >= 0};
}

// ---- Searching -----------------------------------------------------------------------

void CHistorySearchView::StartSearch() {
    delay_.stop();
    query_ = line_->text().toStdU16String();
    hits_.clear();
    found_ = 0;
    selected_ = -1;
    top_ = 0;
    if (TextMatcher(query_).empty()) {
        search_.Cancel();
    } else {
        // Each conversation once, in the order of the list.
        std::vector<ProfileSearch::Source> sources;
        std::set<std::u16string> seen;
        for (const ContactSnapshot& snapshot : state_.SnapshotContacts()) {
            const std::u16string& uin = snapshot.info.uin;
            if (uin.empty() || !seen.insert(uin).second) continue;
            sources.push_back(ProfileSearch::Source{uin, snapshot.info.DisplayName(),
                                                    snapshot.contact->History()});
        }
        search_.Start(
            std::move(sources), query_,
            [this](std::vector<HistoryHit> hits, int matched) {
                TakeHits(std::move(hits), matched);
            },
            [this] {
                if (selected_ < 0 && !hits_.empty()) Select(0);
                UpdateAccessibleText();
                update();
            });
    }
    if (CMainFrame* owner = frame()) owner->UpdateCommandUi();
    UpdateAccessibleText();
    update();
}

void CHistorySearchView::TakeHits(std::vector<HistoryHit> hits, int matched) {
    found_ += matched;
    std::optional<HistoryHit> chosen;
    if (selected_ >= 0) chosen = hits_[static_cast<std::size_t>(selected_)];
    std::sort(hits.begin(), hits.end(), NewerHit);
    std::vector<HistoryHit> merged;
    merged.reserve(hits_.size() + hits.size());
    std::merge(std::make_move_iterator(hits_.begin()), std::make_move_iterator(hits_.end()),
               std::make_move_iterator(hits.begin()), std::make_move_iterator(hits.end()),
               std::back_inserter(merged), NewerHit);
    if (merged.size() > kMaxListedHits) merged.resize(kMaxListedHits);
    hits_ = std::move(merged);
    // The chosen hit stays chosen where the newer ones pushed it.
    if (chosen.has_value()) {
        const auto same = std::find_if(hits_.begin(), hits_.end(), [&](const HistoryHit& hit) {
            return SameHit(hit, *chosen);
        });
        selected_ = same != hits_.end() ? static_cast<int>(same - hits_.begin()) : -1;
    }
    ScrollTo(top_);
    update();
}

bool CHistorySearchView::OpenHit(int index) {
    if (index < 0 || index >= static_cast<int>(hits_.size())) return false;
    // A copy: this view goes once another is shown.
    const HistoryHit hit = hits_[static_cast<std::size_t>(index)];
    const std::u16string query = query_;
    CMainFrame* owner = frame();
    const ContactPtr contact = state_.FindContact(hit.uin);
    if (owner == nullptr || contact == nullptr) return false;
    state_.SetCurrentContact(contact);
    owner->RouteCommand(cmd::kWrite);
    auto* conversation = qobject_cast<CMessageView*>(owner->findView(ViewKind::Message));
    if (conversation == nullptr || owner->activeView() != conversation) return false;
    conversation->RevealEntry(hit.entry, hit.message, query);
    return true;
}

QString CHistorySearchView::StatusText() const {
    if (TextMatcher(query_).empty()) return {};
    if (searching()) return LoadQString(str::kHistorySearchRunning);
    if (found_ == 0) return LoadQString(str::kHistorySearchNothing);
    if (static_cast<std::size_t>(found_) > hits_.size()) {
        return LoadQString(str::kHistorySearchFoundMore).arg(found_).arg(hits_.size());
    }
    return LoadQString(str::kHistorySearchFound).arg(found_);
}

// ---- The list ------------------------------------------------------------------------

int CHistorySearchView::BandHeight() const {
    return QFontMetrics(smallFont_).height() + 4;
}

int CHistorySearchView::RowHeight() const {
    return BandHeight() + QFontMetrics(messageFont_).height() + 6;
}

CHistorySearchView::Layout CHistorySearchView::CurrentLayout() const {
    Layout layout;
    const int width = std::max(this->width(), 0);
    const int height = std::max(this->height(), 0);
    const int headerHeight = std::max(kMinHeaderLine, QFontMetrics(font()).height()) + 2;
    layout.header = QRect(0, 0, width, headerHeight);
    const int lineHeight = line_->sizeHint().height();
    layout.box = QRect(0, headerHeight, width, lineHeight + 2 * kBoxPadding);
    layout.line =
        QRect(kInset, headerHeight + kBoxPadding, std::max(width - 2 * kInset, 0), lineHeight);
    layout.status = QRect(kInset, layout.box.bottom() + 1, std::max(width - 2 * kInset, 0),
                          QFontMetrics(smallFont_).height() + 6);
    const int listTop = layout.status.bottom() + 1;
    layout.list = QRect(0, listTop, width, std::max(height - listTop, 0));
    return layout;
}

QRect CHistorySearchView::HitRect(int index) const {
    const QRect list = CurrentLayout().list;
    return QRect(list.left(), list.top() + index * RowHeight() - top_, list.width(), RowHeight());
}

int CHistorySearchView::HitAt(const QPoint& point) const {
    const QRect list = CurrentLayout().list;
    if (!list.contains(point)) return -1;
    const int index = (point.y() - list.top() + top_) / RowHeight();
    return index < static_cast<int>(hits_.size()) ? index : -1;
}

void CHistorySearchView::ScrollTo(int top) {
    const int content = static_cast<int>(hits_.size()) * RowHeight();
    top_ = std::clamp(top, 0, std::max(content - CurrentLayout().list.height(), 0));
    update();
}

void CHistorySearchView::Select(int index) {
    if (hits_.empty()) {
        selected_ = -1;
    } else {
        selected_ = std::clamp(index, 0, static_cast<int>(hits_.size()) - 1);
        // Scrolled so that the whole row shows.
        const QRect list = CurrentLayout().list;
        const int rowTop = selected_ * RowHeight();
        if (rowTop < top_) {
            ScrollTo(rowTop);
        } else if (rowTop + RowHeight() > top_ + list.height()) {
            ScrollTo(rowTop + RowHeight() - list.height());
        }
    }
    if (CMainFrame* owner = frame()) owner->UpdateCommandUi();
    UpdateAccessibleText();
    update();
}

bool CHistorySearchView::ListKey(int key) {
    const int page = std::max(CurrentLayout().list.height() / RowHeight(), 1);
    switch (key) {
        case Qt::Key_Down:
            Select(selected_ + 1);
            return true;
        case Qt::Key_Up:
            Select(selected_ - 1);
            return true;
        case Qt::Key_PageDown:
            Select(selected_ + page);
            return true;
        case Qt::Key_PageUp:
            Select(selected_ - page);
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            // A changed query is searched first; then Enter opens the chosen hit (the
            // newest while none is chosen).
            if (line_->text().toStdU16String() != query_) {
                StartSearch();
            } else {
                OpenHit(std::max(selected_, 0));
            }
            return true;
        default:
            return false;
    }
}

void CHistorySearchView::UpdateAccessibleText() {
    QString text = StatusText();
    if (selected_ >= 0) {
        const HistoryHit& hit = hits_[static_cast<std::size_t>(selected_)];
        text += QStringLiteral(". %1, %2: %3")
                    .arg(QString::fromStdU16String(hit.name),
                         FormatLocalTime(hit.message.time, "%x %X"), hit.snippet);
    }
    setAccessibleDescription(text);
}

// ---- Painting and input --------------------------------------------------------------

void CHistorySearchView::PaintHit(QPainter& painter, const HistoryHit& hit, const QRect& row,
                                  bool chosen) {
    const QRect band(row.left(), row.top(), row.width(), BandHeight());
    FillVerticalGradient(painter, band, HistoryPanel::kHeaderBandTop,
                         HistoryPanel::kHeaderBandBottom);
    const QRect bandText = band.adjusted(kInset, 0, -kInset, 0);
    painter.setFont(smallFont_);
    const QString date = FormatLocalTime(hit.message.time, "%x %X");
    const int dateWidth = QFontMetrics(smallFont_).horizontalAdvance(date);
    painter.setPen(ThemeColors::kWhite);
    painter.drawText(bandText.adjusted(0, 0, -dateWidth - kInset, 0),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     QFontMetrics(smallFont_)
                         .elidedText(QString::fromStdU16String(hit.name), Qt::ElideRight,
                                     std::max(bandText.width() - dateWidth - kInset, 0)));
    painter.setPen(HistoryPanel::kHeaderText);
    painter.drawText(bandText, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine, date);

    const QRect line(row.left(), band.bottom() + 1, row.width(), row.height() - band.height());
    if (chosen) PaintSelectionHighlight(painter, line);
    QTextLayout layout(hit.snippet, messageFont_, painter.device());
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine textLine = layout.createLine();
    if (textLine.isValid()) textLine.setLineWidth(line.width() - 2 * kInset);
    layout.endLayout();
    QTextLayout::FormatRange match;
    match.start = hit.inSnippet.start;
    match.length = hit.inSnippet.length;
    match.format.setBackground(HistoryPanel::kMatchBackground);
    painter.save();
    painter.setClipRect(line.adjusted(kInset, 0, -kInset, 0), Qt::IntersectClip);
    painter.setPen(TextColour(hit.message.direction));
    const qreal y = line.top() + (line.height() - (textLine.isValid() ? textLine.height() : 0)) / 2;
    layout.draw(&painter, QPointF(line.left() + kInset, y), {match});
    painter.restore();
}

void CHistorySearchView::paintEvent(QPaintEvent*) {
    OffscreenPaint paint(this, rect());
    QPainter& painter = paint.painter();
    background_.Draw(painter, rect());
    const Layout layout = CurrentLayout();
    painter.setFont(font());
    painter.setPen(ThemeColors::kWhite);
    painter.drawText(layout.header.adjusted(kInset, 0, -kInset, 0),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     LoadQString(str::kHistorySearchTitle));
    if (!layout.box.isEmpty()) box_.Draw(painter, layout.box);
    painter.setFont(smallFont_);
    painter.setPen(!searching() && found_ == 0 ? ThemeColors::kSkyBlue : ThemeColors::kWhite);
    painter.drawText(layout.status, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     StatusText());

    if (layout.list.isEmpty() || hits_.empty()) return;
    painter.save();
    painter.setClipRect(layout.list);
    for (int index = top_ / RowHeight(); index < static_cast<int>(hits_.size()); ++index) {
        const QRect row = HitRect(index);
        if (row.top() > layout.list.bottom()) break;
        PaintHit(painter, hits_[static_cast<std::size_t>(index)], row, index == selected_);
    }
    painter.restore();
}

void CHistorySearchView::resizeEvent(QResizeEvent* event) {
    FrameView::resizeEvent(event);
    line_->setGeometry(CurrentLayout().line);
    ScrollTo(top_);
}

void CHistorySearchView::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier && ListKey(event->key())) {
        event->accept();
        return;
    }
    FrameView::keyPressEvent(event);
}

bool CHistorySearchView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == line_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
            if (ListKey(key->key())) return true;
        }
    }
    return FrameView::eventFilter(watched, event);
}

void CHistorySearchView::wheelEvent(QWheelEvent* event) {
    if (const int notches = WheelNotches(*event)) ScrollTo(top_ + notches * RowHeight());
    event->accept();
}

void CHistorySearchView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton) return;
    const int index = HitAt(event->position().toPoint());
    if (index < 0) return;
    Select(index);
    OpenHit(index);
}

}  // namespace pellox::ui
