// Sending a 32 MiB file between two messenger sessions signed on to the local
// server in this process, directly over loopback: from the offer to the
// receiver's completion (the proposal and its answer through the server, the
// connection, the header exchange, the bytes with their checksum, the rename),
// against a plain copy of the same file over a loopback socket (read, send,
// receive, write). The sessions sign on once; the received file is removed
// between iterations, untimed.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "platform/socket.h"
#include "protocol/file_transfer.h"
#include "protocol/messenger_session.h"
#include "store/app_state.h"
#include "tools/oscar_server.h"

namespace pellox {
namespace {

constexpr std::size_t kFileSize = 32u << 20;

bool WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// One signed-on session with its own data directory.
struct Peer {
    Peer(const std::u16string& uin, const std::u16string& password, std::uint16_t port) : model(dir.Path()) {
        model.UpdateSettings([&](Settings& s) { s.profile = uin; });
        FileTransferConfig config;
        config.downloads = dir.Path();
        session.Files().SetConfig(config);
        (void)session.StartWorker();
        const std::string address = "127.0.0.1:" + std::to_string(port);
        session.EnqueueCommand(ConnectCommand{std::u16string(address.begin(), address.end()), uin, password});
    }
    ~Peer() { session.Shutdown(); }
    bench::TempDataDirectory dir{"pellox-transfer"};
    AppState model;
    MessengerSession session{model};
};

struct Setup {
    Setup() {
        server::ServerConfig config;
        config.authPort = 0;
        config.bosPort = 0;
        std::string error;
        if (!oscar.Start(config, server::AccountStore::Demo(), error)) std::abort();
        alice = std::make_unique<Peer>(u"100001", u"alice", oscar.AuthPort());
        boris = std::make_unique<Peer>(u"100002", u"boris", oscar.AuthPort());
        for (Peer* p : {alice.get(), boris.get()}) {
            if (!WaitUntil([p] { return p->session.State() == ConnState::ContactsLoaded; })) std::abort();
        }
        file = alice->dir.Path() + "payload.bin";
        std::vector<char> bytes(kFileSize);
        std::mt19937 random(7);
        for (char& c : bytes) c = static_cast<char>(random());
        std::FILE* f = std::fopen(file.c_str(), "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
        std::fclose(f);
    }
    server::OscarServer oscar;
    std::unique_ptr<Peer> alice, boris;
    std::string file;
};

Setup& Shared() {
    static Setup* const setup = new Setup;
    return *setup;
}

TransferState StateOf(Peer& peer, const std::u16string& with, std::uint64_t id) {
    for (const TransferInfo& info : peer.session.Files().List(with)) {
        if (info.id == id) return info.state;
    }
    return TransferState::Failed;
}

void BM_FileTransfer(benchmark::State& state) {
    Setup& s = Shared();
    for (auto _ : state) {
        const std::uint64_t sent = s.alice->session.Files().Offer(u"100002", s.file);
        std::uint64_t taken = 0;
        if (sent == 0 || !WaitUntil([&] { return (taken = s.boris->session.Files().PendingProposal(u"100001")) != 0; }) ||
            !s.boris->session.Files().Accept(taken) ||
            !WaitUntil([&] { return StateOf(*s.boris, u"100001", taken) >= TransferState::Completed; }) ||
            StateOf(*s.boris, u"100001", taken) != TransferState::Completed) {
            state.SkipWithError("the file did not arrive");
            break;
        }
        state.PauseTiming();
        std::remove((s.boris->dir.Path() + "payload.bin").c_str());
        (void)WaitUntil([&] { return StateOf(*s.alice, u"100002", sent) >= TransferState::Completed; });
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_FileTransfer)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_SocketCopy(benchmark::State& state) {
    Setup& s = Shared();
    const std::string target = s.boris->dir.Path() + "copy.bin";
    for (auto _ : state) {
        const platform::SocketHandle listener = platform::ListenTcp(platform::Ipv4Endpoint{0x7F000001, 0});
        const std::uint16_t port = platform::BoundPort(listener);
        std::thread sender([&] {
            const platform::SocketHandle out = platform::CreateTcpSocket();
            (void)platform::ConnectSocket(out, platform::Ipv4Endpoint{0x7F000001, port});
            std::FILE* f = std::fopen(s.file.c_str(), "rb");
            std::vector<char> buffer(64 * 1024);
            for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0;) {
                for (std::size_t at = 0; at < got;) {
                    const long n = platform::SendSome(out, buffer.data() + at, got - at);
                    if (n <= 0) break;
                    at += static_cast<std::size_t>(n);
                }
            }
            std::fclose(f);
            platform::CloseSocket(out);
        });
        const platform::SocketHandle in = platform::AcceptClient(listener);
        std::FILE* f = std::fopen(target.c_str(), "wb");
        std::vector<char> buffer(64 * 1024);
        std::size_t total = 0;
        for (long n; (n = platform::ReceiveSome(in, buffer.data(), buffer.size())) > 0;) {
            total += std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), f);
        }
        std::fclose(f);
        sender.join();
        platform::CloseSocket(in);
        platform::CloseSocket(listener);
        if (total != kFileSize) {
            state.SkipWithError("the copy was cut short");
            break;
        }
        state.PauseTiming();
        std::remove(target.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_SocketCopy)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace pellox
