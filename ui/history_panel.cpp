#include "ui/history_panel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>
#include <QWidget>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <vector>

#include "resources/strings.h"

namespace pellox::ui {

namespace {

constexpr int kMinNoticeMargin = 3;  // pixels above a notice on the panel box

// The contact the last history panel drew, whichever it was: a panel that finds
// another contact there starts again at the newest entry.
std::weak_ptr<Contact>& LastDrawnByAnyPanel() {
    static std::weak_ptr<Contact> contact;
    return contact;
}

// A history's entries from the newest to the oldest, copied a chunk at a time, so
// that a paint copies about what it draws however long the history is. Entries are
// only ever appended (at the end), so the indexes below the count taken at the start
// keep their entries while the paint runs; entries appended meanwhile wait for the
// next paint, which the change announcing them brings.
class NewestFirst {
public:
    explicit NewestFirst(const MessageHistory& history)
        : history_(history), end_(history.Count()) {}

    // The next older entry, or null past the oldest one.
    const MessageEntry* Next() {
        if (next_ == 0) {
            if (end_ == 0) return nullptr;
            const std::size_t first = end_ > chunkSize_ ? end_ - chunkSize_ : 0;
            chunk_ = history_.EntriesBetween(first, end_);
            chunkFirst_ = first;
            // Fewer entries than asked for only after the history was emptied.
            end_ = chunk_.size() == end_ - first ? first : 0;
            next_ = chunk_.size();
            if (next_ == 0) return nullptr;
            // Scrolled far, a paint walks many entries: later chunks are larger.
            chunkSize_ = std::min(chunkSize_ * 2, kMaxChunk);
        }
        return &chunk_[--next_];
    }
    // The index in the history of the entry Next gave last.
    std::size_t index() const { return chunkFirst_ + next_; }

private:
    // About a screenful of short entries first.
    static constexpr std::size_t kFirstChunk = 32;
    static constexpr std::size_t kMaxChunk = 1024;

    const MessageHistory& history_;
    std::size_t end_;  // entries below this index are still to be copied
    std::vector<MessageEntry> chunk_;
    std::size_t chunkFirst_ = 0;  // the index of chunk_[0]
    std::size_t next_ = 0;  // chunk_[0..next_-1] are still to be handed out
    std::size_t chunkSize_ = kFirstChunk;
};

// An entry's text laid out in lines of `width`: broken at blanks, and inside a word
// only where the word alone is wider than a line (it would otherwise run past the
// panel's edge and be lost). Gives the height of the lines.
qreal LayOutText(QTextLayout& layout, int width) {
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const qreal leading = QFontMetricsF(layout.font()).leading();
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (line.lineNumber() > 0) height += leading;
        line.setPosition(QPointF(0, height));
        height += line.height();
    }
    layout.endLayout();
    return height;
}

// The layout of an entry's text; line breaks become the layout's line separators.
QString LayoutText(QString text) {
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return text;
}

int TextHeight(const QFont& font, const QString& text, int width) {
    QTextLayout layout(LayoutText(text), font);
    return static_cast<int>(std::ceil(LayOutText(layout, width)));
}

void DrawText(QPainter& painter, const QRect& rect, const QFont& font, const QString& text,
              const QList<QTextLayout::FormatRange>& highlights = {}) {
    QTextLayout layout(LayoutText(text), font, painter.device());
    LayOutText(layout, rect.width());
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    layout.draw(&painter, rect.topLeft(), highlights);
    painter.restore();
}

std::u16string_view TextView(const QString& text) {
    return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

QString DisplayText(const std::u16string& text) {
    QString result = QString::fromStdU16String(text);
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return result;
}

}  // namespace

HistoryPanel::HistoryPanel(QWidget* owner, AppState& state, Layout layout, SessionProbe probe)
    : owner_(owner),
      state_(state),
      layout_(layout),
      smallFont_(TextFont(7.5)),
      messageFont_(TextFont(layout == Layout::Compact ? 8 : 10)),
      clock_(std::move(probe)) {}

void HistoryPanel::Register() {
    state_.AddListener(this);
    // What is there now is not news.
    accessibility_.Update(*this, owner_);
}

void HistoryPanel::OnAppStateChange(ChangeCode code, const ContactPtr&) {
    if (code == ChangeCode::ConversationChanged && owner_ != nullptr) owner_->update();
    // An incoming message comes with ContactChanged, a loaded history with
    // ConversationChanged.
    accessibility_.Update(*this, owner_);
}

void HistoryPanel::PaintNotice(QPainter& painter, const QRect& rect, int stringId,
                               const QColor& colour) {
    painter.save();
    painter.setFont(smallFont_);
    painter.setPen(colour);
    // On the panel box: clear of its edge.
    const int margin = compact() ? std::max(rect.height() * 4 / 100, kMinNoticeMargin) : 0;
    painter.drawText(rect.adjusted(0, margin, 0, 0),
                     Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, LoadQString(stringId));
    painter.restore();
}

QRect HistoryPanel::EntriesArea(const QRect& rect) const {
    QRect area = rect;
    if (compact()) area.setWidth(rect.width() - rect.width() * 20 / 100);
    return area;
}

QRect HistoryPanel::ClockArea(const QRect& rect) const {
    if (!compact()) return {};
    const QRect area = EntriesArea(rect);
    return QRect(area.left() + area.width(), rect.top(), rect.width() - area.width(),
                 rect.height());
}

template <typename Place>
bool HistoryPanel::PlaceEntries(const MessageHistory& history, const QRect& area, Place&& place,
                                std::optional<std::size_t> through) const {
    const int mx = area.width() * 4 / 100;
    const int my = area.height() * 4 / 100;
    const int bottom = area.top() + area.height() - my;
    if (bottom <= area.top()) return false;
    const int innerWidth = std::max(area.width() - 2 * mx, 1);
    const int areaBottom = area.top() + area.height();
    const int headerHeight = compact() ? 0 : QFontMetrics(smallFont_).height() + mx / 2;

    // Far scrolled content starts far above the panel; the start is kept well inside
    // int so that the entry heights added to it cannot overflow.
    const long long start = static_cast<long long>(area.top()) -
                            static_cast<long long>(my) * std::max(scrollOffset_, 0) * 5;
    int y = static_cast<int>(std::max(start, static_cast<long long>(INT_MIN / 4)));
    bool lastCut = false;
    PlacedEntry placed;
    placed.first = true;
    NewestFirst entries(history);
    for (const MessageEntry* entry = entries.Next(); entry != nullptr; entry = entries.Next()) {
        if (entry->direction == MessageDirection::System && compact()) continue;
        const bool beyond = through.has_value() && entries.index() >= *through;
        if (y >= bottom && !beyond) return true;
        if (compact() && !placed.first) {
            placed.separator = y + mx / 4;
            y += mx / 2;
        }
        placed.entry = entry;
        placed.index = entries.index();
        placed.top = y;
        placed.text = DisplayText(entry->text);
        if (compact()) placed.text.prepend(FormatLocalTime(entry->time, "[%X] "));
        y += headerHeight;
        placed.textTop = y;
        int height = TextHeight(messageFont_, placed.text, innerWidth);
        if (!compact()) height += mx / 4;
        lastCut = y + height > bottom;
        placed.bottom = beyond ? y + height : std::max(std::min(y + height, areaBottom), y);
        place(placed);
        if (through.has_value() && placed.index <= *through) return lastCut;
        placed.first = false;
        y = placed.bottom;
    }
    return lastCut;
}

void HistoryPanel::PaintClock(QPainter& painter, const QRect& rect) {
    if (!compact() || rect.isEmpty()) return;
    const QRect clock = ClockArea(rect);
    painter.save();
    painter.setClipRect(clock, Qt::IntersectClip);
    box_.Draw(painter, rect);
    clock_.Paint(painter, clock, smallFont_);
    painter.restore();
}

void HistoryPanel::Paint(QPainter& painter, const QRect& rect) {
    if (rect.isEmpty()) return;
    lastRect_ = rect;
    const QRect area = EntriesArea(rect);
    if (compact()) {
        box_.Draw(painter, rect);
        clock_.Paint(painter, ClockArea(rect), smallFont_);
    }

    const ContactPtr contact = state_.ContainsContact(state_.CurrentContact());
    if (contact == nullptr) return;
    const std::shared_ptr<MessageHistory> history = contact->History();
    if (history == nullptr) {
        PaintNotice(painter, area, str::kHistoryLoading, ThemeColors::kWhite);
        return;
    }
    if (history->Count() == 0) {
        // Sky blue reads on the dark conversation, not on the blue panel box.
        PaintNotice(painter, area, str::kHistoryEmpty,
                    compact() ? ThemeColors::kWhite : ThemeColors::kSkyBlue);
        return;
    }

    std::weak_ptr<Contact>& drawnByAny = LastDrawnByAnyPanel();
    if (contact != lastDrawn_.lock() || contact != drawnByAny.lock() || scrollOffset_ < 0) {
        scrollOffset_ = 0;
    }
    lastDrawn_ = contact;
    drawnByAny = contact;

    const int mx = area.width() * 4 / 100;
    const int my = area.height() * 4 / 100;
    const int bottom = area.top() + area.height() - my;
    if (bottom <= area.top()) return;
    painter.save();
    painter.setClipRect(QRect(area.left(), area.top(), area.width(), bottom - area.top()),
                        Qt::IntersectClip);
    const int innerLeft = area.left() + mx;
    const int innerWidth = std::max(area.width() - 2 * mx, 1);
    PlaceEntries(*history, area, [&](const PlacedEntry& placed) {
        if (compact() && !placed.first) {
            painter.fillRect(QRect(area.left(), placed.separator, area.width(), 1),
                             ThemeColors::kSkyBlue);
        }
        if (!compact()) {
            const QRect band(area.left(), placed.top, area.width(), placed.textTop - placed.top);
            FillVerticalGradient(painter, band, kHeaderBandTop, kHeaderBandBottom);
            painter.setFont(smallFont_);
            painter.setPen(kHeaderText);
            painter.drawText(QRect(innerLeft, band.top(), innerWidth, band.height()),
                             Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                             FormatLocalTime(placed.entry->time, "%x %X"));
        }
        if (placed.bottom > placed.textTop) {
            painter.setFont(messageFont_);
            const MessageDirection direction = placed.entry->direction;
            painter.setPen(direction == MessageDirection::Out      ? kOutgoingText
                           : direction == MessageDirection::System ? kSystemText
                                                                   : kIncomingText);
            DrawText(painter,
                     QRect(innerLeft, placed.textTop, innerWidth, placed.bottom - placed.textTop),
                     messageFont_, placed.text, Highlights(placed));
        }
    });
    painter.restore();
}

QList<QTextLayout::FormatRange> HistoryPanel::Highlights(const PlacedEntry& placed) const {
    QList<QTextLayout::FormatRange> highlights;
    if (compact() || search_ == nullptr || !search_->active()) return highlights;
    const std::optional<ConversationSearch::Hit> current = search_->Current();
    const std::vector<TextMatch> matches = search_->matcher().FindAll(TextView(placed.text));
    for (std::size_t i = 0; i < matches.size(); ++i) {
        QTextLayout::FormatRange range;
        range.start = matches[i].start;
        range.length = matches[i].length;
        if (current == ConversationSearch::Hit{placed.index, static_cast<int>(i)}) {
            range.format.setBackground(kCurrentMatchBackground);
            range.format.setForeground(kCurrentMatchText);
        } else {
            range.format.setBackground(kMatchBackground);
        }
        highlights.push_back(range);
    }
    return highlights;
}

bool HistoryPanel::Reveal(const QRect& rect, std::size_t entry, int ordinal) {
    const ContactPtr contact = state_.ContainsContact(state_.CurrentContact());
    const std::shared_ptr<MessageHistory> history = contact ? contact->History() : nullptr;
    if (history == nullptr || rect.isEmpty()) return false;
    const QRect area = EntriesArea(rect);
    const int step = area.height() * 4 / 100 * 5;
    const int innerWidth = std::max(area.width() - 2 * (area.width() * 4 / 100), 1);
    const int before = scrollOffset_;
    scrollOffset_ = 0;
    std::optional<int> target;
    PlaceEntries(
        *history, area,
        [&](const PlacedEntry& placed) {
            if (placed.index != entry) return;
            target = placed.top;
            // In a long entry the match's line, where the entry's start would leave
            // it out of sight.
            if (search_ == nullptr) return;
            const std::vector<TextMatch> matches =
                search_->matcher().FindAll(TextView(placed.text));
            if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= matches.size()) return;
            QTextLayout layout(LayoutText(placed.text), messageFont_);
            LayOutText(layout, innerWidth);
            const QTextLine line =
                layout.lineForTextPosition(matches[static_cast<std::size_t>(ordinal)].start);
            const int lineTop = placed.textTop + static_cast<int>(line.isValid() ? line.y() : 0);
            if (lineTop - placed.top > area.height() / 2) target = lineTop;
        },
        entry);
    if (!target.has_value()) {
        scrollOffset_ = before;
        return false;
    }
    if (step > 0) scrollOffset_ = std::max((*target - area.top()) / step, 0);
    // The offset is this contact's: the next paint keeps it instead of starting
    // again at the newest entry, as it would for a contact not drawn before.
    lastDrawn_ = contact;
    LastDrawnByAnyPanel() = contact;
    return true;
}

std::shared_ptr<MessageHistory> HistoryPanel::ShownHistory() const {
    const ContactPtr contact = state_.ContainsContact(state_.CurrentContact());
    return contact == nullptr ? nullptr : contact->History();
}

bool HistoryPanel::CanScrollDown(const QRect& rect) const {
    const std::shared_ptr<MessageHistory> history = ShownHistory();
    if (history == nullptr || rect.isEmpty()) return false;
    return PlaceEntries(*history, EntriesArea(rect), [](const PlacedEntry&) {});
}

std::optional<MessageEntry> HistoryPanel::EntryAt(const QRect& rect, const QPoint& point) const {
    const std::shared_ptr<MessageHistory> history = ShownHistory();
    const QRect area = EntriesArea(rect);
    if (history == nullptr || rect.isEmpty() || !area.contains(point)) return std::nullopt;
    // Only what is drawn: the entries area ends a margin above the panel's bottom.
    if (point.y() >= area.top() + area.height() - area.height() * 4 / 100) return std::nullopt;
    std::optional<MessageEntry> found;
    PlaceEntries(*history, area, [&](const PlacedEntry& placed) {
        if (!found && point.y() >= placed.top && point.y() < placed.bottom) found = *placed.entry;
    });
    return found;
}

}  // namespace pellox::ui
