// Finding text in long conversations, where the user waits for it: the search
// line of one conversation over 100 000 entries in memory (every keystroke runs
// it), and the search over every conversation, whose files are read on a thread of
// its own. Each is paired with the work it cannot avoid, measured in the same run:
// a plain case-sensitive find over the same texts, and reading the same files.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "platform/files.h"
#include "store/message_history.h"
#include "ui/history_search.h"

namespace pellox {
namespace {

constexpr std::size_t kEntries = 100'000;
constexpr std::size_t kFiles = 10;  // the conversations of the search over all of them
// A word of the texts, in another case than they write it: the fold is measured.
constexpr std::u16string_view kQuery = u"ВСТРЕТИМСЯ";
constexpr std::u16string_view kPlainQuery = u"встретимся";

// Incoming and outgoing messages, one a minute or so.
std::vector<MessageEntry> MakeEntries(std::size_t count, std::uint32_t seed) {
    bench::ChatText maker(seed);
    std::vector<MessageEntry> entries;
    entries.reserve(count);
    std::int64_t time = 1500000000;
    for (std::size_t i = 0; i < count; ++i) {
        time += 1 + maker.Below(120);
        entries.push_back(MessageEntry{maker.Message(3), time,
                                       i % 2 == 0 ? MessageDirection::In : MessageDirection::Out});
    }
    return entries;
}

// ---- One conversation ----

const MessageHistory& Conversation() {
    static MessageHistory history("");  // in memory, as a loaded conversation is
    static const bool filled = [] {
        for (MessageEntry& entry : MakeEntries(kEntries, 11)) history.Append(std::move(entry));
        return true;
    }();
    (void)filled;
    return history;
}

void BM_SearchConversation(benchmark::State& state) {
    const MessageHistory& history = Conversation();
    ui::ConversationSearch search;
    for (auto _ : state) {
        search.SetQuery(kQuery);
        search.Update(history);
        benchmark::DoNotOptimize(search.count());
    }
    state.counters["matches"] = search.count();
}
BENCHMARK(BM_SearchConversation)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The same texts in a plain vector, searched case-sensitively for the word as written.
void BM_SearchConversationBaseline(benchmark::State& state) {
    std::vector<std::u16string> texts;
    for (const MessageEntry& entry : Conversation().Entries()) texts.push_back(entry.text);
    std::size_t matches = 0;
    for (auto _ : state) {
        matches = 0;
        for (const std::u16string& text : texts) {
            for (std::size_t pos = text.find(kPlainQuery); pos != std::u16string::npos;
                 pos = text.find(kPlainQuery, pos + kPlainQuery.size())) {
                ++matches;
            }
        }
        benchmark::DoNotOptimize(matches);
    }
    state.counters["matches"] = static_cast<double>(matches);
}
BENCHMARK(BM_SearchConversationBaseline)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// ---- Every conversation ----

// kFiles history files of kEntries / kFiles entries each.
struct Profile {
    bench::TempDataDirectory directory{"pellox-search-bench"};
    std::vector<std::u16string> uins;
};

const Profile& Files() {
    static Profile profile;
    static const bool written = [] {
        for (std::size_t f = 0; f < kFiles; ++f) {
            const std::u16string uin = u"2000" + std::u16string(1, static_cast<char16_t>(u'0' + f));
            std::string bytes;
            for (const MessageEntry& entry :
                 MakeEntries(kEntries / kFiles, 100 + static_cast<std::uint32_t>(f))) {
                bytes += FormatHistoryEntry(entry);
            }
            platform::File file;
            if (file.Open(profile.directory.Path() + HistoryFileName(uin),
                          platform::OpenMode::Truncate, 0600) &&
                file.Write(bytes)) {
                profile.uins.push_back(uin);
            }
        }
        return true;
    }();
    (void)written;
    return profile;
}

void BM_SearchEveryConversation(benchmark::State& state) {
    const Profile& profile = Files();
    if (profile.uins.size() != kFiles) {
        state.SkipWithError("the history files could not be written");
        return;
    }
    ui::ProfileSearch search(profile.directory.Path(), 500);
    int matched = 0;
    for (auto _ : state) {
        std::vector<ui::ProfileSearch::Source> sources;
        for (const std::u16string& uin : profile.uins) sources.push_back({uin, uin, nullptr});
        matched = 0;
        QEventLoop loop;
        search.Start(
            std::move(sources), std::u16string(kQuery),
            [&](std::vector<ui::HistoryHit>, int n) { matched += n; }, [&] { loop.quit(); });
        loop.exec();
    }
    state.counters["entries_matched"] = matched;
}
BENCHMARK(BM_SearchEveryConversation)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Reading the same files, nothing searched.
void BM_SearchEveryConversationBaseline(benchmark::State& state) {
    const Profile& profile = Files();
    std::vector<MessageEntry> entries;
    for (auto _ : state) {
        std::size_t read = 0;
        for (const std::u16string& uin : profile.uins) {
            if (!ReadHistoryFile(profile.directory.Path(), HistoryFileName(uin), entries)) {
                state.SkipWithError("a history file could not be read");
            }
            read += entries.size();
        }
        benchmark::DoNotOptimize(read);
    }
}
BENCHMARK(BM_SearchEveryConversationBaseline)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
}  // namespace pellox

int main(int argc, char** argv) {
    // The search over every conversation hands its results over through the event loop.
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
