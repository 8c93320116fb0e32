// A contact's message history where the user waits for it: opening a long
// conversation (the whole file read into memory) and a burst of incoming messages
// (each one appended to the file by the receive path). Each is paired with the
// plain file work it cannot avoid, measured in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_util.h"
#include "net/codec.h"
#include "net/session_impl.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "protocol/announcer.h"
#include "protocol/messages.h"
#include "protocol/messenger_session.h"
#include "store/app_state.h"
#include "store/message_history.h"

namespace pellox {
namespace {

constexpr std::size_t kLoadEntries = 100'000;
constexpr std::size_t kAppendMessages = 10'000;
const std::u16string kLoadUin = u"100200300";
const std::u16string kSenderUin = u"5005";

// The benchmark's data directory, removed with everything in it when the program
// ends; each benchmark works in a fresh sub-directory of it (ending in "/").
std::string SubDirectory(const std::string& name) {
    static const bench::TempDataDirectory root("pellox-history-bench");
    const std::string dir = root.Path() + name + "/";
    (void)platform::MakeDirectory(dir, 0700);
    return dir;
}

// ---- Loading ----

// The history file of kLoadUin: kLoadEntries entries over several years, written
// once in the file's own format.
struct LoadFixture {
    std::string directory;
    std::string path;
    std::size_t bytes = 0;
};

const LoadFixture& Load() {
    static const LoadFixture fixture = [] {
        LoadFixture f;
        f.directory = SubDirectory("load");
        f.path = f.directory + HistoryFileName(kLoadUin);
        bench::ChatText maker(20240601);
        std::tm start{};
        start.tm_year = 2018 - 1900;
        start.tm_mon = 2;
        start.tm_mday = 1;
        start.tm_hour = 9;
        start.tm_isdst = -1;
        std::int64_t time = static_cast<std::int64_t>(std::mktime(&start));
        std::string bytes;
        for (std::size_t i = 0; i < kLoadEntries; ++i) {
            time += 1 + maker.Below(3150);  // about six years in all
            const MessageDirection direction =
                maker.Below(2) == 0 ? MessageDirection::In : MessageDirection::Out;
            bytes += FormatHistoryEntry(MessageEntry{maker.Message(4), time, direction});
        }
        platform::File file;
        if (!file.Open(f.path, platform::OpenMode::Truncate, 0600) || !file.Write(bytes)) {
            f.path.clear();
        }
        f.bytes = bytes.size();
        return f;
    }();
    return fixture;
}

void BM_HistoryLoad(benchmark::State& state) {
    const LoadFixture& f = Load();
    if (f.path.empty()) {
        state.SkipWithError("the history file could not be written");
        return;
    }
    AppState model(f.directory);
    ContactInfo info;
    info.uin = kLoadUin;
    info.name = u"Собеседник";
    for (auto _ : state) {
        // A contact whose history has not been read yet: GetHistory reads the file.
        auto contact = std::make_shared<Contact>(std::make_shared<ModelLock>(), info);
        std::shared_ptr<MessageHistory> history = model.GetHistory(contact);
        const std::size_t count = history->Count();
        state.PauseTiming();
        if (count != kLoadEntries) state.SkipWithError("the history lost entries");
        history.reset();
        contact.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
    state.counters["file_bytes"] = static_cast<double>(f.bytes);
}
BENCHMARK(BM_HistoryLoad)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Reading the same file whole and widening it: what any load has to do.
void BM_HistoryLoadBaseline(benchmark::State& state) {
    const LoadFixture& f = Load();
    for (auto _ : state) {
        const int fd = ::open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st{};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            state.SkipWithError("the history file could not be opened");
            break;
        }
        std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        std::u16string wide = platform::LocalToWide(bytes);
        benchmark::DoNotOptimize(wide.data());
        state.PauseTiming();
        if (done != f.bytes) state.SkipWithError("the history file was read short");
        wide = std::u16string();
        bytes = std::string();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_HistoryLoadBaseline)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// ---- Appending ----

using Bytes = std::vector<std::uint8_t>;

void PutU16(Bytes& out, std::size_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// SNAC 0x0004/0x0007 data of a channel-1 message from the UIN: cookie, channel,
// the sender's block without TLVs, then the message TLV. Cyrillic text goes as
// UCS-2, plain ASCII as 8-bit text, as clients send them.
Bytes IncomingMessagePayload(std::u16string_view uin, std::u16string_view text) {
    Bytes textBytes;
    bool ascii = true;
    for (char16_t c : text) ascii = ascii && c < 0x80;
    for (char16_t c : text) {
        if (!ascii) textBytes.push_back(static_cast<std::uint8_t>(c >> 8));
        textBytes.push_back(static_cast<std::uint8_t>(c));
    }
    Bytes block = {0x05, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01};
    PutU16(block, textBytes.size() + 4);
    PutU16(block, ascii ? 0x0000 : kCharsetUcs2);
    PutU16(block, 0xFFFF);
    block.insert(block.end(), textBytes.begin(), textBytes.end());

    Bytes out = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x00, 0x01};
    out.push_back(static_cast<std::uint8_t>(uin.size()));
    for (char16_t c : uin) out.push_back(static_cast<std::uint8_t>(c));
    PutU16(out, 0);  // warning level
    PutU16(out, 0);  // no TLVs
    PutU16(out, 0x0002);
    PutU16(out, block.size());
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

struct AppendFixture {
    std::vector<std::u16string> texts;
    std::vector<Bytes> payloads;
};

const AppendFixture& Append() {
    static const AppendFixture fixture = [] {
        AppendFixture f;
        bench::ChatText maker(7);
        for (std::size_t i = 0; i < kAppendMessages; ++i) {
            f.texts.push_back(maker.Message(2));
            f.payloads.push_back(IncomingMessagePayload(kSenderUin, f.texts.back()));
        }
        return f;
    }();
    return fixture;
}

// Asked about every message; shows nothing.
class SilentAnnouncer : public Announcer {
public:
    bool MainWindowActive() override { return false; }
    bool ShowNotification(const std::u16string&, const std::u16string&) override { return true; }
    void PlaySound(const std::u16string&) override {}
};

std::int64_t FileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

// The file size the messages take, for checking what the receive path wrote.
std::int64_t ExpectedAppendBytes() {
    std::int64_t total = 0;
    for (const std::u16string& text : Append().texts) {
        total += static_cast<std::int64_t>(
            FormatHistoryEntry(MessageEntry{text, 1700000000, MessageDirection::In}).size());
    }
    return total;
}

void BM_HistoryAppend(benchmark::State& state) {
    const AppendFixture& f = Append();
    const std::string directory = SubDirectory("append");
    AppState model(directory);
    model.UpdateSettings([](Settings& s) { s.profile = u"123456789"; });
    ContactInfo info;
    info.uin = kSenderUin;
    info.name = u"Отправитель";
    const ContactPtr contact = model.AddContact(info, /*save=*/false);
    SilentAnnouncer announcer;
    MessengerSession session(model, &announcer);
    SessionImpl& net = session.NetForTesting();
    Connection connection = net.CurrentConnection();
    const std::shared_ptr<MessageHistory> history = model.GetHistory(contact);
    const std::string path = directory + HistoryFileName(kSenderUin);
    const std::int64_t expected = ExpectedAppendBytes();

    for (auto _ : state) {
        state.PauseTiming();
        history->Clear();  // deletes the file and the entries
        state.ResumeTiming();
        for (const Bytes& payload : f.payloads) {
            PacketReader reader(payload.data(), static_cast<int>(payload.size()));
            net.DispatchSnac(connection, reader, SnacHeader{0x0004, 0x0007, 0, 0});
        }
        state.PauseTiming();
        if (history->Count() != kAppendMessages || FileSize(path) != expected) {
            state.SkipWithError("the receive path did not store every message");
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kAppendMessages));
}
BENCHMARK(BM_HistoryAppend)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The same entries' bytes appended by hand: open, write, close each, under the
// exclusive lock every append takes so that another process reading or rewriting
// the file never sees half an entry (close lets go of it).
void BM_HistoryAppendBaseline(benchmark::State& state) {
    const AppendFixture& f = Append();
    const std::string path = SubDirectory("append-baseline") + HistoryFileName(kSenderUin);
    std::vector<std::string> entries;
    for (const std::u16string& text : f.texts) {
        entries.push_back(FormatHistoryEntry(MessageEntry{text, 1700000000, MessageDirection::In}));
    }
    const std::int64_t expected = ExpectedAppendBytes();

    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
        for (const std::string& bytes : entries) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
            const bool written = fd >= 0 && ::flock(fd, LOCK_EX) == 0 &&
                                 ::write(fd, bytes.data(), bytes.size()) ==
                                     static_cast<ssize_t>(bytes.size());
            if (fd >= 0) ::close(fd);
            if (!written) {
                state.SkipWithError("the entry could not be appended");
                break;
            }
        }
        state.PauseTiming();
        if (FileSize(path) != expected) state.SkipWithError("the file lost entries");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kAppendMessages));
}
BENCHMARK(BM_HistoryAppendBaseline)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace pellox
