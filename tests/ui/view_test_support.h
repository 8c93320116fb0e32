// Shared pieces of the view and form tests: a model on a temporary data directory,
// contact templates, recorders of what views and forms deliver and ask (model
// changes, commands, session requests), a frame showing one form, and pixel helpers.
#pragma once

#include <QColor>
#include <QFile>
#include <QImage>
#include <QRect>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "resources/command_ids.h"
#include "store/app_state.h"
#include "ui/form_view.h"
#include "ui/main_frame.h"

namespace pellox::test {

// A data directory of its own, with bytes put in and read back.
struct DataDir {
    QTemporaryDir dir;

    std::string path() const { return dir.path().toStdString() + "/"; }
    QString file(const QString& name) const { return dir.filePath(name); }
    bool exists(const QString& name) const { return QFile::exists(file(name)); }
    QByteArray read(const QString& name) const {
        QFile f(file(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void write(const QString& name, const QByteArray& bytes) const {
        QFile f(file(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(bytes), bytes.size());
    }
};

// A model of its own on a fresh data directory, removed afterwards.
struct TempModel : DataDir {
    AppState state{path()};

    TempModel() { SetOnlyOnline(false); }

    void SetOnlyOnline(bool on) {
        state.UpdateSettings([on](Settings& settings) { settings.onlyonline = on; });
    }
    void SetShowHistory(bool on) {
        state.UpdateSettings([on](Settings& settings) { settings.showhistory = on; });
    }
    // Appends a contact without saving or notifying.
    ContactPtr Add(const ContactInfo& info) { return state.AddContact(info, false); }
};

// A contact template: online, no unread messages, closed conversation.
inline ContactInfo Info(std::u16string name, std::u16string uin, std::int32_t status = 0,
                        std::uint16_t unread = 0, std::int64_t lastActivity = 0,
                        bool conversationOpen = false) {
    ContactInfo info;
    info.name = std::move(name);
    info.uin = std::move(uin);
    info.status = status;
    info.unreadCount = unread;
    info.lastActivity = lastActivity;
    info.SetConversationOpen(conversationOpen);
    return info;
}

// Records what the forms ask of the session; the state is set by the test.
struct RecordingSession : ui::SessionControl {
    ConnState state = ConnState::Disconnected;
    int closeCount = 0;
    std::vector<Command> queued;
    std::function<void()> onQueued;  // runs as each command is queued

    ConnState State() const override { return state; }
    void CloseSession() override {
        ++closeCount;
        state = ConnState::Disconnected;
    }
    void EnqueueCommand(Command command) override {
        if (onQueued) onQueued();
        queued.push_back(std::move(command));
    }
};

// While it lives, the model's posted changes are delivered by the event loop, as
// the application delivers them; queued deliveries die with it.
struct EventLoopPoster {
    AppState& state;
    QObject context;

    explicit EventLoopPoster(AppState& model) : state(model) {
        state.SetPoster([this](ChangeCode code, ContactPtr contact) {
            QMetaObject::invokeMethod(
                &context, [this, code, contact] { state.Notify(code, contact, false); },
                Qt::QueuedConnection);
        });
    }
    ~EventLoopPoster() { state.SetPoster(nullptr); }
};

// Records every change delivered to it.
struct ChangeRecorder : AppStateListener {
    std::vector<std::pair<ChangeCode, ContactPtr>> changes;
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override {
        changes.emplace_back(code, contact);
    }
    int Count(ChangeCode code) const {
        int count = 0;
        for (const auto& change : changes) count += change.first == code ? 1 : 0;
        return count;
    }
};

// The application object's stand-in: takes every command and records it.
struct CommandRecorder : ui::CommandTarget {
    std::vector<int> received;
    bool OnCommand(int id) override {
        received.push_back(id);
        return true;
    }
    std::optional<ui::CommandState> QueryCommand(int) override { return ui::CommandState{}; }
    int Count(int id) const {
        int count = 0;
        for (int r : received) count += r == id ? 1 : 0;
        return count;
    }
};

// A frame showing one form made by `make`, with the recorder as application.
struct FrameHarness {
    ui::CMainFrame frame;
    CommandRecorder application;

    FrameHarness(ui::ViewKind kind, int menuBarId, std::function<ui::FrameView*(QWidget*)> make) {
        frame.SetApplicationTarget(&application);
        frame.RegisterView(kind, std::move(make));
        frame.show();
        frame.SwitchView(kind, menuBarId);
    }
    template <class View>
    View* view() const {
        return qobject_cast<View*>(frame.activeView());
    }
    // Lets posted commands run.
    void Settle() { QTest::qWait(20); }
};

inline QColor PixelAt(const QImage& image, int x, int y) {
    return QColor(image.pixel(x, y));
}

// Pixels of `area` for which `match` holds.
template <typename Match>
int CountPixels(const QImage& image, const QRect& area, Match match) {
    int count = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            if (match(QColor(image.pixel(x, y)))) ++count;
        }
    }
    return count;
}

inline int CountColour(const QImage& image, const QRect& area, const QColor& colour) {
    return CountPixels(image, area, [&](const QColor& c) { return c == colour; });
}

// A point of a run of at least 15 pixels of `colour` in a row of `area`: a filled
// box (a highlight), not a glyph's stroke in that colour. (-1, -1) when there is none.
inline QPoint FindBox(const QImage& image, const QRect& area, const QColor& colour) {
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        int run = 0;
        for (int x = inside.left(); x <= inside.right(); ++x) {
            run = QColor(image.pixel(x, y)) == colour ? run + 1 : 0;
            if (run >= 15) return QPoint(x, y);
        }
    }
    return QPoint(-1, -1);
}

}  // namespace pellox::test
