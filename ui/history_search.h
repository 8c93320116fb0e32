// Finding text in conversations.
//
// TextMatcher compares case-insensitively in every script: the query and the text
// are compared after Unicode simple case folding (QChar::toCaseFolded, one code
// point to one code point, so positions in the folded text are positions in the
// text). The core has no case tables of its own and the search serves the user
// interface only, so Qt's are used; the matcher still works on the core's
// std::u16string, so stored entries are searched without a QString made of each.
// A match is made of whole characters: it never starts or ends inside a surrogate
// pair, nor ends in front of a combining mark ("е" does not find the first half of
// an "ё" written as "е" and U+0308). Line breaks in a query are dropped: the search
// line holds one line, and no match runs over a line break.
//
// ConversationSearch keeps the matches of one conversation in the order the
// conversation view shows them (newest entry first, reading order inside an entry)
// and the current one, which Next and Previous move with wrap-around.
//
// ProfileSearch searches a list of conversations on a thread of its own and hands
// what it finds to the user-interface thread, one conversation at a time.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "store/message_history.h"

class QLineEdit;
class QWidget;

namespace pellox::ui {

// A piece of a text, in UTF-16 code units.
struct TextMatch {
    int start = 0;
    int length = 0;

    bool operator==(const TextMatch&) const = default;
};

class TextMatcher {
public:
    TextMatcher() = default;
    explicit TextMatcher(std::u16string_view query);

    // True for a query with nothing to find (empty, or only line breaks).
    bool empty() const { return needle_.empty(); }
    // The query as given, without its line breaks.
    const std::u16string& query() const { return query_; }

    // Every match in `text`, left to right, none overlapping another.
    std::vector<TextMatch> FindAll(std::u16string_view text) const;
    // How many FindAll would give, without collecting them.
    int Count(std::u16string_view text) const;
    // The first match FindAll would give, when there is one.
    std::optional<TextMatch> FindFirst(std::u16string_view text) const;

private:
    // Calls found(match) for each match until it returns false.
    template <typename Found>
    void Scan(std::u16string_view text, Found&& found) const;

    // The code units of the basic plane that fold to the needle's first unit, found
    // with the first search; none kept when there are more than fit.
    void FindFirstUnits() const;

    std::u16string query_;
    std::u16string needle_;  // the query folded
    // The text folded, kept between calls: a matcher is used by one thread at a time.
    mutable std::u16string folded_;
    mutable bool firstUnitsFound_ = false;
    mutable std::array<char16_t, 4> firstUnits_{};
    mutable std::size_t firstUnitCount_ = 0;  // 0: each position is compared
};

// An entry's text cut down to about `maxLength` code units around `match`, on one
// line (line breaks become spaces), with "…" where text was left out; `inSnippet`
// is where the match stands in the result (shortened when the match itself is
// longer than the snippet). Cuts fall between characters, never inside a pair.
QString Snippet(std::u16string_view text, TextMatch match, int maxLength, TextMatch& inSnippet);

class ConversationSearch {
public:
    // One match: the index of its entry in the history (oldest 0) and its place
    // among the matches of that entry.
    struct Hit {
        std::size_t entry = 0;
        int ordinal = 0;

        bool operator==(const Hit&) const = default;
    };

    // A new query; the matches are found by the next Update.
    void SetQuery(std::u16string_view query);
    const TextMatcher& matcher() const { return matcher_; }
    bool active() const { return !matcher_.empty(); }

    // Finds the matches in `history` again. The current match stays where it was
    // when that match is still there; otherwise it is the first (newest) one.
    void Update(const MessageHistory& history);
    // Forgets the query and the matches.
    void Clear();

    int count() const { return static_cast<int>(hits_.size()); }
    // The index of the current match among count(), -1 when there is none.
    int currentIndex() const { return current_; }
    std::optional<Hit> Current() const;
    const std::vector<Hit>& hits() const { return hits_; }

    // The next match down the conversation (older), after the last the first.
    void Next();
    // The one before (newer), before the first the last.
    void Previous();
    // Makes the first match of entry `entry` current; false when it has none.
    bool SelectEntry(std::size_t entry);

private:
    TextMatcher matcher_;
    std::vector<Hit> hits_;
    int current_ = -1;
};

// The index of `entry` in `history`: `index` when the entry there equals it,
// otherwise the newest equal entry's; none when there is no such entry.
std::optional<std::size_t> FindEntry(const MessageHistory& history, std::size_t index,
                                     const MessageEntry& entry);

// The search line of both searches: steel blue without a frame, `name` as its
// placeholder and accessible name; `parent` filters its events.
QLineEdit* MakeSearchLine(QWidget* parent, const QString& objectName, const QString& name);

// A match found by ProfileSearch: where it is, and what the list of hits shows.
struct HistoryHit {
    std::u16string uin;     // the contact
    std::u16string name;    // its display name when the search started
    std::size_t entry = 0;  // the entry's index in its history (oldest 0)
    MessageEntry message;   // the entry, to find it again when its index moved
    int source = 0;         // the conversation's place in the searched list
    QString snippet;        // one line around the entry's first match
    TextMatch inSnippet;
};

// Newest first: by time, then by the order of the conversations, then by index.
bool NewerHit(const HistoryHit& a, const HistoryHit& b);

class ProfileSearch : public QObject {
    Q_OBJECT

public:
    // A conversation to search: the history in memory when it is loaded (it may hold
    // what could not be written), otherwise its file in `directory`, which is read
    // and never written.
    struct Source {
        std::u16string uin;
        std::u16string name;
        std::shared_ptr<MessageHistory> loaded;
    };
    // What one conversation gave: its hits, newest first, at most `limit` of them,
    // and how many entries matched in all.
    using Found = std::function<void(std::vector<HistoryHit> hits, int matched)>;

    // At most `limit` hits of one conversation are handed over: no more than that
    // many are listed of all together.
    ProfileSearch(std::string directory, std::size_t limit, QObject* parent = nullptr);
    // Cancels the search and waits for its thread, which stops at the next entry
    // (or at the end of the file it is reading).
    ~ProfileSearch() override;

    // Cancels a search under way and starts one for `query`. `found` is called on
    // this object's thread for each conversation in turn, then `done` once; nothing
    // of a cancelled search arrives after that.
    void Start(std::vector<Source> sources, std::u16string query, Found found,
               std::function<void()> done);
    void Cancel();
    bool running() const { return running_; }

private:
    void Run(std::vector<Source> sources, const std::u16string& query, std::uint64_t generation);

    const std::string directory_;
    const std::size_t limit_;
    std::thread worker_;
    std::atomic<std::uint64_t> generation_{0};  // raised by every Start and Cancel
    Found found_;
    std::function<void()> done_;
    bool running_ = false;
};

}  // namespace pellox::ui
