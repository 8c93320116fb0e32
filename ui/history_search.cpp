#include "ui/history_search.h"

#include <QChar>
#include <QLineEdit>
#include <QMetaObject>
#include <QPointer>
#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>

#include "platform/thread.h"
#include "platform/vector_lanes.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {

namespace {

bool IsHigh(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLow(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// The code point at `pos` and its length in code units; a lone surrogate stands
// for itself.
char32_t CodePointAt(std::u16string_view text, std::size_t pos, std::size_t& units) {
    const char16_t c = text[pos];
    if (IsHigh(c) && pos + 1 < text.size() && IsLow(text[pos + 1])) {
        units = 2;
        return QChar::surrogateToUcs4(c, text[pos + 1]);
    }
    units = 1;
    return c;
}

// The folding of every code point of the basic plane, looked up once: searching
// folds every character of a long history on each keystroke. Surrogates, and code
// points whose folding lies outside the plane (none in Unicode so far), stand for
// themselves.
const std::vector<char16_t>& BasicPlaneFolding() {
    static const std::vector<char16_t> table = [] {
        std::vector<char16_t> folding(0x10000);
        for (char32_t c = 0; c < 0x10000; ++c) {
            const char32_t folded = QChar::isSurrogate(c) ? c : QChar::toCaseFolded(c);
            folding[c] = static_cast<char16_t>(QChar::requiresSurrogates(folded) ? c : folded);
        }
        return folding;
    }();
    return table;
}

// Eight code units at a time, for the scans of long texts.
constexpr std::size_t kLanes = 8;
using UnitLanes = std::uint16_t __attribute__((vector_size(2 * kLanes)));

UnitLanes LoadLanes(const char16_t* at) {
    UnitLanes lanes;
    std::memcpy(&lanes, at, sizeof lanes);
    return lanes;
}

bool HasSurrogate(std::u16string_view text) {
    std::size_t at = 0;
    for (; at + kLanes <= text.size(); at += kLanes) {
        if (platform::AnyLane((LoadLanes(text.data() + at) & 0xF800) == 0xD800)) return true;
    }
    return std::any_of(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(),
                       [](char16_t c) { return QChar::isSurrogate(c); });
}

// The first position from `at` up to `last` whose unit is one of `units`, or
// last + 1 when there is none.
std::size_t NextOf(std::u16string_view text, std::size_t at, std::size_t last,
                   const std::array<char16_t, 4>& units, std::size_t count) {
    // Unused places repeat the first unit, so that every lane compares against four.
    std::array<char16_t, 4> four = units;
    for (std::size_t i = count; i < four.size(); ++i) four[i] = units[0];
    for (; at + kLanes <= last + 1; at += kLanes) {
        const UnitLanes lanes = LoadLanes(text.data() + at);
        if (platform::AnyLane((lanes == four[0]) | (lanes == four[1]) | (lanes == four[2]) | (lanes == four[3]))) break;
    }
    for (; at <= last; ++at) {
        const char16_t c = text[at];
        if (c == four[0] || c == four[1] || c == four[2] || c == four[3]) return at;
    }
    return last + 1;
}

// Writes the text case-folded into `out`, code unit for code unit: a code point
// whose folding would take another number of units is kept as it is, so that a
// position in the folded text is the same position in the text.
void Fold(std::u16string_view text, std::u16string& out) {
    const std::vector<char16_t>& basic = BasicPlaneFolding();
    out.resize(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char16_t c = text[pos];
        if (!QChar::isSurrogate(c)) {
            out[pos++] = basic[c];
            continue;
        }
        std::size_t units = 0;
        const char32_t code = CodePointAt(text, pos, units);
        const char32_t folded = QChar::toCaseFolded(code);
        if (units == 1 && !QChar::requiresSurrogates(folded)) {
            out[pos] = static_cast<char16_t>(folded);
        } else if (units == 2 && QChar::requiresSurrogates(folded)) {
            out[pos] = QChar::highSurrogate(folded);
            out[pos + 1] = QChar::lowSurrogate(folded);
        } else {
            std::copy_n(text.begin() + static_cast<std::ptrdiff_t>(pos), units,
                        out.begin() + static_cast<std::ptrdiff_t>(pos));
        }
        pos += units;
    }
}

// Whether a match may end at `end`: not inside a surrogate pair, not in front of a
// combining mark that belongs to its last character.
bool EndsWhole(std::u16string_view text, std::size_t end) {
    if (end >= text.size()) return true;
    if (end > 0 && IsHigh(text[end - 1]) && IsLow(text[end])) return false;
    std::size_t units = 0;
    return !QChar::isMark(CodePointAt(text, end, units));
}

bool StartsWhole(std::u16string_view text, std::size_t start) {
    return start == 0 || start >= text.size() || !(IsHigh(text[start - 1]) && IsLow(text[start]));
}

std::u16string WithoutLineBreaks(std::u16string_view text) {
    std::u16string result(text);
    std::erase_if(result, [](char16_t c) { return c == u'\r' || c == u'\n'; });
    return result;
}

}  // namespace

TextMatcher::TextMatcher(std::u16string_view query) : query_(WithoutLineBreaks(query)) {
    Fold(query_, needle_);
}

template <typename Found>
void TextMatcher::Scan(std::u16string_view text, Found&& found) const {
    if (needle_.empty() || text.size() < needle_.size()) return;
    if (!HasSurrogate(text)) {
        // Text of the basic plane alone (nearly every message) is folded a unit at a
        // time as it is compared, which is what the whole text folded first would
        // give: writing that copy out cost more than the search itself. Positions
        // are skipped eight at a time up to a unit that folds to the needle's first.
        if (!firstUnitsFound_) FindFirstUnits();
        const std::vector<char16_t>& basic = BasicPlaneFolding();
        const std::size_t length = needle_.size();
        const std::size_t last = text.size() - length;
        std::size_t pos = 0;
        while (pos <= last) {
            if (firstUnitCount_ > 0) {
                pos = NextOf(text, pos, last, firstUnits_, firstUnitCount_);
                if (pos > last) return;
            }
            std::size_t same = 0;
            while (same < length && basic[text[pos + same]] == needle_[same]) ++same;
            if (same < length || !StartsWhole(text, pos) || !EndsWhole(text, pos + length)) {
                ++pos;
                continue;
            }
            if (!found(TextMatch{static_cast<int>(pos), static_cast<int>(length)})) return;
            pos += length;
        }
        return;
    }
    Fold(text, folded_);
    const std::u16string_view folded(folded_);
    std::size_t pos = 0;
    while ((pos = folded.find(needle_, pos)) != std::u16string_view::npos) {
        const std::size_t end = pos + needle_.size();
        if (!StartsWhole(text, pos) || !EndsWhole(text, end)) {
            ++pos;
            continue;
        }
        if (!found(TextMatch{static_cast<int>(pos), static_cast<int>(needle_.size())})) return;
        pos = end;
    }
}

void TextMatcher::FindFirstUnits() const {
    firstUnitsFound_ = true;
    firstUnitCount_ = 0;
    if (needle_.empty()) return;
    const std::vector<char16_t>& basic = BasicPlaneFolding();
    for (char32_t c = 0; c < 0x10000; ++c) {
        if (basic[c] != needle_[0] || QChar::isSurrogate(c)) continue;
        if (firstUnitCount_ == firstUnits_.size()) {
            firstUnitCount_ = 0;  // too many to skip to: every position is compared
            return;
        }
        firstUnits_[firstUnitCount_++] = static_cast<char16_t>(c);
    }
}

std::vector<TextMatch> TextMatcher::FindAll(std::u16string_view text) const {
    std::vector<TextMatch> matches;
    Scan(text, [&](const TextMatch& match) {
        matches.push_back(match);
        return true;
    });
    return matches;
}

int TextMatcher::Count(std::u16string_view text) const {
    int count = 0;
    Scan(text, [&](const TextMatch&) {
        ++count;
        return true;
    });
    return count;
}

std::optional<TextMatch> TextMatcher::FindFirst(std::u16string_view text) const {
    std::optional<TextMatch> first;
    Scan(text, [&](const TextMatch& match) {
        first = match;
        return false;
    });
    return first;
}

QString Snippet(std::u16string_view text, TextMatch match, int maxLength, TextMatch& inSnippet) {
    const auto size = static_cast<int>(text.size());
    match.start = std::clamp(match.start, 0, size);
    match.length = std::clamp(match.length, 0, size - match.start);
    maxLength = std::max(maxLength, 1);
    // A little of what comes before the match, the rest after it.
    const int before = std::min(match.start, std::max((maxLength - match.length) / 3, 0));
    int first = match.start - before;
    int last = std::min(size, first + maxLength);
    // A match near the end shows more of what comes before it.
    first = std::max(0, std::min(first, last - maxLength));
    // Whole characters only.
    if (first > 0 && IsLow(text[static_cast<std::size_t>(first)]) &&
        IsHigh(text[static_cast<std::size_t>(first) - 1])) {
        ++first;
    }
    if (last < size && last > 0 && IsLow(text[static_cast<std::size_t>(last)]) &&
        IsHigh(text[static_cast<std::size_t>(last) - 1])) {
        --last;
    }
    QString result;
    if (first > 0) result += QChar(0x2026);
    const int offset = static_cast<int>(result.size()) - first;
    for (int i = first; i < last; ++i) {
        const char16_t c = text[static_cast<std::size_t>(i)];
        result += c == u'\r' || c == u'\n' || c == u'\t' ? QChar(u' ') : QChar(c);
    }
    if (last < size) result += QChar(0x2026);
    const int start = std::max(match.start, first);
    inSnippet =
        TextMatch{start + offset, std::max(std::min(match.start + match.length, last) - start, 0)};
    return result;
}

QLineEdit* MakeSearchLine(QWidget* parent, const QString& objectName, const QString& name) {
    auto* line = new QLineEdit(parent);
    line->setObjectName(objectName);
    line->setFrame(false);
    line->setPlaceholderText(name);
    line->setAccessibleName(name);
    ApplyControlColours(line);
    line->installEventFilter(parent);
    return line;
}

// ---- ConversationSearch ----------------------------------------------------------------

void ConversationSearch::SetQuery(std::u16string_view query) {
    matcher_ = TextMatcher(query);
    hits_.clear();
    current_ = -1;
}

void ConversationSearch::Clear() {
    SetQuery({});
}

void ConversationSearch::Update(const MessageHistory& history) {
    const std::optional<Hit> before = Current();
    hits_.clear();
    current_ = -1;
    if (matcher_.empty()) return;
    // Newest first, a chunk of entries at a time: the history is not locked for the
    // whole search (an append waits for one chunk at most), and entries appended
    // meanwhile wait for the next Update.
    constexpr std::size_t kChunk = 4096;
    for (std::size_t end = history.Count(); end > 0;) {
        const std::size_t first = end > kChunk ? end - kChunk : 0;
        history.VisitNewestFirst(first, end, [this](std::size_t index, const MessageEntry& entry) {
            const int n = matcher_.Count(entry.text);
            for (int ordinal = 0; ordinal < n; ++ordinal) hits_.push_back(Hit{index, ordinal});
        });
        end = first;
    }
    if (hits_.empty()) return;
    current_ = 0;
    if (before.has_value()) {
        const auto same = std::find(hits_.begin(), hits_.end(), *before);
        if (same != hits_.end()) current_ = static_cast<int>(same - hits_.begin());
    }
}

std::optional<ConversationSearch::Hit> ConversationSearch::Current() const {
    if (current_ < 0 || current_ >= count()) return std::nullopt;
    return hits_[static_cast<std::size_t>(current_)];
}

void ConversationSearch::Next() {
    if (hits_.empty()) return;
    current_ = (current_ + 1) % count();
}

void ConversationSearch::Previous() {
    if (hits_.empty()) return;
    current_ = (current_ + count() - 1) % count();
}

bool ConversationSearch::SelectEntry(std::size_t entry) {
    const auto found = std::find_if(hits_.begin(), hits_.end(),
                                    [entry](const Hit& hit) { return hit.entry == entry; });
    if (found == hits_.end()) return false;
    current_ = static_cast<int>(found - hits_.begin());
    return true;
}

std::optional<std::size_t> FindEntry(const MessageHistory& history, std::size_t index,
                                     const MessageEntry& entry) {
    const std::vector<MessageEntry> there = history.EntriesBetween(index, index + 1);
    if (!there.empty() && there.front() == entry) return index;
    const std::vector<MessageEntry> all = history.Entries();
    const auto found = std::find(all.rbegin(), all.rend(), entry);
    if (found == all.rend()) return std::nullopt;
    return static_cast<std::size_t>(all.rend() - found) - 1;
}

// ---- ProfileSearch ---------------------------------------------------------------------

bool NewerHit(const HistoryHit& a, const HistoryHit& b) {
    if (a.message.time != b.message.time) return a.message.time > b.message.time;
    if (a.source != b.source) return a.source < b.source;
    return a.entry > b.entry;
}

ProfileSearch::ProfileSearch(std::string directory, std::size_t limit, QObject* parent)
    : QObject(parent), directory_(std::move(directory)), limit_(std::max<std::size_t>(limit, 1)) {}

ProfileSearch::~ProfileSearch() {
    Cancel();
}

void ProfileSearch::Cancel() {
    ++generation_;
    running_ = false;
    if (worker_.joinable()) worker_.join();
}

void ProfileSearch::Start(std::vector<Source> sources, std::u16string query, Found found,
                          std::function<void()> done) {
    Cancel();
    found_ = std::move(found);
    done_ = std::move(done);
    running_ = true;
    const std::uint64_t generation = generation_.load();
    worker_ = platform::StartThread(
        platform::ThreadPriority::BelowNormal,
        [this, sources = std::move(sources), query = std::move(query), generation]() mutable {
            Run(std::move(sources), query, generation);
        });
}

void ProfileSearch::Run(std::vector<Source> sources, const std::u16string& query,
                        std::uint64_t generation) {
    const TextMatcher matcher(query);
    const auto cancelled = [&] { return generation_.load() != generation; };
    // Hands a result to this object's thread, where it is dropped when the search it
    // belongs to was cancelled or replaced meanwhile.
    const auto post = [this, generation](std::function<void()> deliver) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, deliver = std::move(deliver)] {
                if (generation_.load() == generation) deliver();
            },
            Qt::QueuedConnection);
    };
    for (std::size_t s = 0; s < sources.size() && !cancelled(); ++s) {
        const Source& source = sources[s];
        // The newest `limit_` matching entries with their first match; the
        // snippets are made for these alone once the conversation is done.
        std::deque<std::pair<HistoryHit, TextMatch>> newest;
        int matched = 0;
        std::size_t index = 0;
        const auto consider = [&](MessageEntry& entry) {
            const std::size_t i = index++;
            if (cancelled()) return;
            const std::optional<TextMatch> first = matcher.FindFirst(entry.text);
            if (!first) return;
            ++matched;
            if (newest.size() == limit_) newest.pop_front();
            auto& [hit, match] = newest.emplace_back();
            match = *first;
            hit.entry = i;
            hit.message = std::move(entry);
        };
        // A conversation that is open is searched as it is in memory (it may hold
        // what could not be written); the others are read entry by entry, so that
        // no file is held whole. What could not be read has nothing to find.
        if (source.loaded != nullptr) {
            for (MessageEntry& entry : source.loaded->Entries()) consider(entry);
        } else {
            (void)ReadHistoryFile(directory_, HistoryFileName(source.uin), consider);
        }
        if (cancelled()) return;
        std::vector<HistoryHit> hits;
        hits.reserve(newest.size());
        for (auto it = newest.rbegin(); it != newest.rend(); ++it) {
            HistoryHit& hit = hits.emplace_back(std::move(it->first));
            hit.uin = source.uin;
            hit.name = source.name;
            hit.source = static_cast<int>(s);
            hit.snippet = Snippet(hit.message.text, it->second, 80, hit.inSnippet);
        }
        if (matched == 0) continue;
        post([this, hits = std::move(hits), matched]() mutable {
            if (found_) found_(std::move(hits), matched);
        });
    }
    post([this] {
        running_ = false;
        if (done_) done_();
    });
}

}  // namespace pellox::ui
