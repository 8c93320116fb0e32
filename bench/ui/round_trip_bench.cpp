// A message's round trip as its user sees it: from pressing send in the
// conversation view to the echo account's answer stored in the history and drawn
// in the view, through the local OSCAR server in this process on loopback, with
// the whole application (the model on a temporary data directory, the session,
// the views painted off screen). Against it: a raw TCP round trip of the same
// bytes (what the client sent and what came back, per message) through an echo
// socket on the same loopback, measured after them in the same run. The
// benchmark reports the median and the 99th percentile of kMessages round trips
// of each as counters (median_ms, p99_ms; tcp_median_ms, tcp_p99_ms).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/ui/drawing_bench_main.h"
#include "platform/socket.h"
#include "resources/command_ids.h"
#include "store/app_state.h"
#include "store/settings.h"
#include "tools/oscar_server.h"
#include "ui/application.h"
#include "ui/message_view.h"

namespace pellox {
namespace {

constexpr int kMessages = 1000;
const std::u16string kText = u"Привет! Как дела? see you at 5pm :-)";

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Sends all n bytes; false when the socket failed.
bool SendAll(platform::SocketHandle socket, const char* data, std::size_t n) {
    while (n > 0) {
        const long sent = platform::SendSome(socket, data, n);
        if (sent <= 0) return false;
        data += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Receives exactly n bytes; false when the socket failed or closed first.
bool ReceiveAll(platform::SocketHandle socket, char* data, std::size_t n) {
    while (n > 0) {
        const long got = platform::ReceiveSome(socket, data, n);
        if (got <= 0) return false;
        data += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// The median and the 99th percentile of the samples, as the benchmark's counters
// `prefix`median_ms and `prefix`p99_ms.
void ReportPercentiles(benchmark::State& state, const std::string& prefix,
                       std::vector<double> samples) {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    state.counters[prefix + "median_ms"] = samples[samples.size() / 2];
    state.counters[prefix + "p99_ms"] =
        samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

// Runs the event loop until `done` holds or the time is up; false on time-out.
template <class F>
bool RunUntil(F&& done, int timeoutMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// Notes the time of the view's first paint after the answer was stored.
class DrawnWatch : public QObject {
public:
    DrawnWatch(QWidget* view, const std::shared_ptr<MessageHistory>& history)
        : view_(view), history_(history) {
        view_->installEventFilter(this);
    }
    void Expect(std::size_t count) {
        expected_ = count;
        drawn_.reset();
    }
    const std::optional<Clock::time_point>& drawn() const { return drawn_; }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == view_ && event->type() == QEvent::Paint && !drawn_ &&
            history_->Count() >= expected_) {
            drawn_ = Clock::now();
        }
        return false;
    }

private:
    QWidget* view_;
    std::shared_ptr<MessageHistory> history_;
    std::size_t expected_ = 0;
    std::optional<Clock::time_point> drawn_;
};

// kMessages round trips of `out` bytes to a socket that sends `back` bytes back
// for them, in milliseconds: the round trip of the network alone. Empty when the
// socket failed.
std::vector<double> TcpRoundTrips(std::size_t out, std::size_t back) {
    const platform::SocketHandle listener = platform::ListenTcp(platform::Ipv4Endpoint{0x7F000001, 0});
    const std::uint16_t port = platform::BoundPort(listener);
    std::thread echo([&] {
        const platform::SocketHandle peer = platform::AcceptClient(listener);
        std::vector<char> buffer(std::max(out, back));
        while (ReceiveAll(peer, buffer.data(), out) && SendAll(peer, buffer.data(), back)) {
        }
        platform::CloseSocket(peer);
    });
    const platform::SocketHandle client = platform::CreateTcpSocket();
    const bool connected = platform::ConnectSocket(client, platform::Ipv4Endpoint{0x7F000001, port});
    std::vector<char> bytes(std::max(out, back), 'x');
    std::vector<double> samples;
    samples.reserve(kMessages);
    for (int i = 0; connected && i < kMessages; ++i) {
        const Clock::time_point sent = Clock::now();
        if (!SendAll(client, bytes.data(), out) || !ReceiveAll(client, bytes.data(), back)) {
            samples.clear();
            break;
        }
        samples.push_back(Milliseconds(Clock::now() - sent));
    }
    platform::ShutdownSocket(client);
    platform::CloseSocket(client);
    echo.join();
    platform::CloseSocket(listener);
    return samples;
}
void BM_MessageRoundTrip(benchmark::State& state) {
    server::ServerConfig config;
    config.authPort = 0;
    config.bosPort = 0;
    // A thousand messages in a row from one account: no limit may hold them up.
    config.messageBurst = 1000000;
    config.messagesPerSecond = 1000000;
    config.snacBurst = 1000000;
    config.snacsPerSecond = 1000000;
    server::OscarServer oscar;
    std::string error;
    if (!oscar.Start(config, error)) {
        state.SkipWithError(error.c_str());
        return;
    }

    QTemporaryDir data;
    QTemporaryDir noSounds;  // the sound of sending is asked for, and not found
    const std::string directory = data.path().toStdString() + "/";
    {
        Settings settings;
        settings.profile = u"100001";
        settings.autoconnect = true;
        settings.sendclose = false;  // the conversation stays in view
        settings.Password(settings.profile) = u"alice";
        settings.profiles[settings.profile].values[u"server"] =
            u"127.0.0.1:" + QString::number(oscar.AuthPort()).toStdU16String();
        if (!settings.Save(directory)) {
            state.SkipWithError("the settings could not be written");
            return;
        }
    }
    AppState model(directory);
    ui::Application application(model, QDBusConnection(QStringLiteral("pellox-bench-no-bus")),
                                QStringList{noSounds.path()});
    application.Start();
    const std::u16string echoUin = u"100003";
    if (!RunUntil([&] {
            return application.session().State() == ConnState::ContactsLoaded &&
                   model.FindContact(echoUin) != nullptr;
        })) {
        state.SkipWithError("the demo account did not sign on with its echo buddy");
        return;
    }
    const ContactPtr echo = model.FindContact(echoUin);
    model.SetCurrentContact(echo);
    application.OnCommand(cmd::kWrite);
    auto* view = qobject_cast<ui::CMessageView*>(
        application.frame()->findView(ui::ViewKind::Message));
    const std::shared_ptr<MessageHistory> history = model.GetHistory(echo);
    if (view == nullptr || !view->isVisible() || history == nullptr) {
        state.SkipWithError("the conversation is not shown");
        return;
    }
    DrawnWatch watch(view, history);
    RunUntil([] { return false; }, 200);  // the view settles

    const std::int64_t sentBefore = application.session().BytesSent();
    const std::int64_t receivedBefore = application.session().BytesReceived();
    std::vector<double> samples;
    samples.reserve(kMessages);
    for (auto _ : state) {
        view->inputBox()->setPlainText(QString::fromStdU16String(kText));
        watch.Expect(history->Count() + 2);  // the message and its answer
        const Clock::time_point pressed = Clock::now();
        view->Send();
        if (!RunUntil([&] { return watch.drawn().has_value(); })) {
            state.SkipWithError("the answer was not drawn");
            break;
        }
        const double ms = Milliseconds(*watch.drawn() - pressed);
        samples.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    const std::int64_t messages = std::max<std::int64_t>(static_cast<std::int64_t>(samples.size()), 1);
    const std::int64_t out = (application.session().BytesSent() - sentBefore) / messages;
    const std::int64_t back = (application.session().BytesReceived() - receivedBefore) / messages;
    application.Stop();
    oscar.Stop();
    state.counters["bytes_out"] = static_cast<double>(out);
    state.counters["bytes_back"] = static_cast<double>(back);
    ReportPercentiles(state, "", std::move(samples));
    // The same bytes each way, over a bare socket, measured in the same run.
    std::vector<double> raw = TcpRoundTrips(static_cast<std::size_t>(std::max<std::int64_t>(out, 1)),
                                            static_cast<std::size_t>(std::max<std::int64_t>(back, 1)));
    if (raw.empty()) state.SkipWithError("the echo socket failed");
    ReportPercentiles(state, "tcp_", std::move(raw));
}
BENCHMARK(BM_MessageRoundTrip)->Iterations(kMessages)->UseManualTime()->Unit(benchmark::kMillisecond);


}  // namespace
}  // namespace pellox

int main(int argc, char** argv) {
    return pellox::bench::RunDrawingBenchmarks(argc, argv, [] { benchmark::RunSpecifiedBenchmarks(); });
}
