// Measures a desktop application the way its user meets it, on an X display that
// shows nothing else (a fresh Xvfb with a black root window):
//  - start-up: from starting the program to the first frame it painted, i.e. the
//    first look at the screen that shows more than a handful of non-black pixels;
//  - resident memory (VmRSS) once it has settled: after a line appears in a log
//    file (e.g. the server's "signed on"), or after a fixed time;
//  - optionally the CPU time of all its threads and the wake-ups of its main
//    (GUI) thread over an idle period, and over a second one with its windows
//    unmapped, as a window manager does with a minimised window.
// Prints one JSON object on standard output and stops the program.
//
// The screen is looked at every millisecond, one row in kRowStep: the requests
// for the rows go out together and cost the X server and this probe a fraction
// of a whole-screen grab, so the probe hardly competes with the program it times
// for the processor. A first frame is drawn whole, so every row it covers shows
// it at once.
//
//   app_probe [--ready-file F --ready-text T] [--settle-ms N] [--idle-s N]
//             [--hidden-idle-s N] [--timeout-s N] -- program args...
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Options {
    QString readyFile;
    QByteArray readyText;
    int settleMs = 3000;
    int idleSeconds = 0;
    int hiddenIdleSeconds = 0;
    int timeoutSeconds = 60;
    QString program;
    QStringList arguments;
};

bool ParseOptions(const QStringList& args, Options& options) {
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        QString v;
        if (a == QLatin1String("--")) {
            if (i + 1 >= args.size()) return false;
            options.program = args[i + 1];
            options.arguments = args.mid(i + 2);
            return true;
        } else if (a == QLatin1String("--ready-file")) {
            if (!value(options.readyFile)) return false;
        } else if (a == QLatin1String("--ready-text")) {
            if (!value(v)) return false;
            options.readyText = v.toUtf8();
        } else if (a == QLatin1String("--settle-ms")) {
            if (!value(v)) return false;
            options.settleMs = v.toInt();
        } else if (a == QLatin1String("--idle-s")) {
            if (!value(v)) return false;
            options.idleSeconds = v.toInt();
        } else if (a == QLatin1String("--hidden-idle-s")) {
            if (!value(v)) return false;
            options.hiddenIdleSeconds = v.toInt();
        } else if (a == QLatin1String("--timeout-s")) {
            if (!value(v)) return false;
            options.timeoutSeconds = v.toInt();
        } else {
            return false;
        }
    }
    return false;
}

// Every kRowStep-th row of the screen, through a connection of its own.
class ScreenRows {
public:
    static constexpr int kRowStep = 8;

    ScreenRows() : connection_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(connection_) == 0) {
            screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        }
    }
    ~ScreenRows() { xcb_disconnect(connection_); }
    ScreenRows(const ScreenRows&) = delete;
    ScreenRows& operator=(const ScreenRows&) = delete;

    bool Open() const { return screen_ != nullptr; }

    // Pixels of the sampled rows that are not black.
    long PaintedPixels() {
        const int width = screen_->width_in_pixels;
        std::vector<xcb_get_image_cookie_t> rows;
        for (int y = 0; y < screen_->height_in_pixels; y += kRowStep) {
            rows.push_back(xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0,
                                         static_cast<std::int16_t>(y),
                                         static_cast<std::uint16_t>(width), 1, ~0u));
        }
        long count = 0;
        for (const xcb_get_image_cookie_t& row : rows) {
            xcb_get_image_reply_t* reply = xcb_get_image_reply(connection_, row, nullptr);
            if (reply == nullptr) continue;
            const std::uint8_t* data = xcb_get_image_data(reply);
            const int length = xcb_get_image_data_length(reply);
            const int bytesPerPixel = width > 0 ? length / width : 0;
            for (int at = 0; bytesPerPixel >= 3 && at + 2 < length; at += bytesPerPixel) {
                if ((data[at] | data[at + 1] | data[at + 2]) != 0) ++count;
            }
            std::free(reply);
        }
        return count;
    }

    // Unmaps every mapped top-level window: the program's, as nothing else runs.
    void UnmapWindows() {
        xcb_query_tree_reply_t* tree =
            xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr);
        if (tree == nullptr) return;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
                connection_, xcb_get_window_attributes(connection_, children[i]), nullptr);
            if (attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
                xcb_unmap_window(connection_, children[i]);
            }
            std::free(attributes);
        }
        std::free(tree);
        xcb_flush(connection_);
    }

private:
    xcb_connection_t* connection_;
    xcb_screen_t* screen_ = nullptr;
};

// A value in kB from /proc/<pid>/status ("VmRSS:  1234 kB"); -1 when missing.
long StatusValue(const QString& path, const QByteArray& key) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(key)) return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// CPU time of every thread of the process in nanoseconds (first field of each
// thread's schedstat).
long long CpuNanoseconds(qint64 pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    long long total = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            QFile file(QString::fromStdString(dir + "/" + e->d_name + "/schedstat"));
            if (file.open(QIODevice::ReadOnly)) total += file.readAll().split(' ').value(0).toLongLong();
        }
        closedir(d);
    }
    return total;
}

// Voluntary context switches of the main thread: how often it went to sleep, and
// so woke up again. Involuntary ones are the scheduler handing the processor to
// another program, which says more about the machine's load than about the
// program.
long MainThreadWakeUps(qint64 pid) {
    return StatusValue(QStringLiteral("/proc/%1/task/%1/status").arg(pid),
                       "voluntary_ctxt_switches:");
}

bool LogHasText(const Options& options) {
    QFile file(options.readyFile);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(options.readyText);
}

int Fail(const char* what) {
    std::fprintf(stderr, "app_probe: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options options;
    if (!ParseOptions(app.arguments(), options)) {
        return Fail("usage: app_probe [--ready-file F --ready-text T] [--settle-ms N] "
                    "[--idle-s N] [--hidden-idle-s N] [--timeout-s N] -- program args...");
    }
    ScreenRows screen;
    if (!screen.Open()) return Fail("no X display");
    if (screen.PaintedPixels() > 0) return Fail("the screen is not empty before the start");

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(options.program, options.arguments);
    if (!process.waitForStarted(10000)) return Fail("the program did not start");
    const qint64 pid = process.processId();

    // A frame counts once a small window's worth of pixels shows (2000 on the whole
    // screen), not a cursor.
    constexpr long kPaintedThreshold = 2000 / ScreenRows::kRowStep;
    const qint64 deadline = static_cast<qint64>(options.timeoutSeconds) * 1000;
    std::optional<qint64> startupMs;
    while (clock.elapsed() < deadline && process.state() == QProcess::Running) {
        if (screen.PaintedPixels() >= kPaintedThreshold) {
            startupMs = clock.elapsed();
            break;
        }
        QThread::msleep(1);
    }
    if (!startupMs) {
        process.kill();
        process.waitForFinished(5000);
        return Fail("no frame was painted");
    }

    bool ready = options.readyFile.isEmpty();
    while (!ready && clock.elapsed() < deadline && process.state() == QProcess::Running) {
        ready = LogHasText(options);
        if (!ready) QThread::msleep(20);
    }
    if (!ready) {
        process.kill();
        process.waitForFinished(5000);
        return Fail("the ready text did not appear in time");
    }
    QThread::msleep(static_cast<unsigned long>(options.settleMs));
    const QString statusPath = QStringLiteral("/proc/%1/status").arg(pid);
    const long rssKib = StatusValue(statusPath, "VmRSS:");
    const long threads = StatusValue(statusPath, "Threads:");

    // CPU time (ns) and main-thread wake-ups over `seconds` of doing nothing.
    auto idle = [pid](int seconds) {
        const long long cpuBefore = CpuNanoseconds(pid);
        const long switchesBefore = MainThreadWakeUps(pid);
        QThread::sleep(static_cast<unsigned long>(seconds));
        return std::pair{CpuNanoseconds(pid) - cpuBefore, MainThreadWakeUps(pid) - switchesBefore};
    };
    std::pair<long long, long> shown{-1, -1};
    std::pair<long long, long> hidden{-1, -1};
    if (options.idleSeconds > 0) shown = idle(options.idleSeconds);
    if (options.hiddenIdleSeconds > 0) {
        screen.UnmapWindows();
        QThread::msleep(2000);  // what the program does about it is not idling
        hidden = idle(options.hiddenIdleSeconds);
    }
    const bool alive = process.state() == QProcess::Running;

    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    if (!alive) return Fail("the program stopped during the measurement");

    auto ms = [](long long ns) { return ns < 0 ? -1.0 : static_cast<double>(ns) / 1e6; };
    std::printf("{\"startup_ms\": %lld, \"rss_kib\": %ld, \"threads\": %ld, \"idle_s\": %d, "
                "\"idle_cpu_ms\": %.1f, \"idle_gui_wakeups\": %ld, \"hidden_idle_s\": %d, "
                "\"hidden_idle_cpu_ms\": %.1f, \"hidden_idle_gui_wakeups\": %ld}\n",
                static_cast<long long>(*startupMs), rssKib, threads, options.idleSeconds,
                ms(shown.first), shown.second, options.hiddenIdleSeconds, ms(hidden.first),
                hidden.second);
    return 0;
}
