// DesktopNotifier: a client of the desktop notification service
// (org.freedesktop.Notifications on the session bus), and MessageAnnouncer, which
// decides how an incoming message is announced.
//
// DesktopNotifier only makes asynchronous calls: Show returns at once and its
// callback runs later on the notifier's thread with the id the service gave or
// with the error. Before its first notification it asks the service once for its
// capabilities; a service that renders markup in the body gets the body escaped,
// so that text is shown as the sender wrote it and never as a link or an image. With no session bus, or no service on it, the error comes at
// once (ServiceUnknown from the bus daemon, or "not connected"). The service
// broadcasts ActionInvoked and NotificationClosed to every client; the notifier
// passes on only those for ids its own Show calls received.
//
// Everything here lives on the user-interface thread, except
// MessageAnnouncer::Announce, which any thread may call.
#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>
#include <functional>
#include <optional>
#include <utility>

class QDBusMessage;

namespace pellox::ui {

class SoundPlayer;

inline constexpr char kNotificationsService[] = "org.freedesktop.Notifications";
inline constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
inline constexpr char kNotificationsInterface[] = "org.freedesktop.Notifications";

struct NotificationRequest {
    QString appName = QStringLiteral("Pellox");
    uint replacesId = 0;  // a shown notification to update in place, or 0
    QString icon;         // an icon name or a file:// URI; may be empty
    QImage image;         // sent as the "image-data" hint when not null
    QString title;
    QString body;
    // Pairs of action key and label, in the order they are offered.
    QVector<std::pair<QString, QString>> actions;
    int timeoutMs = -1;  // -1: the service's default; 0: until dismissed
};

// The outcome of one Show: the notification's id, or the D-Bus error.
struct NotificationResult {
    bool ok = false;
    uint id = 0;
    QString errorName;  // e.g. "org.freedesktop.DBus.Error.ServiceUnknown"
    QString errorMessage;
};

class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    // Calls on the session bus, which is first asked for (connected to, with the
    // signals subscribed) by the first notification: a start-up and an idle window
    // that show none never wait for the bus.
    explicit DesktopNotifier(QObject* parent = nullptr);
    // Calls on the bus this connection is to, from the first notification on.
    explicit DesktopNotifier(QDBusConnection bus, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // Whether the bus has been taken into use (by a Show).
    bool busInUse() const { return subscribed_; }

    using ShowCallback = std::function<void(const NotificationResult&)>;
    // Asks the service to show the notification. `done` (optional) and the signal
    // shown() or failed() follow on this object's thread; never before Show returns.
    void Show(const NotificationRequest& request, ShowCallback done = {});
    // Asks the service to close one of this notifier's notifications.
    void Close(uint id);

    // The ids of this notifier's notifications the service has not reported closed.
    QSet<uint> ownIds() const { return ownIds_; }
    // The activation token the service sent for one of this notifier's
    // notifications (signal ActivationToken, sent just before ActionInvoked), given
    // out once; empty when none came.
    QString takeActivationToken(uint id) { return tokens_.take(id); }
    // The time an answer to Show may take before it counts as a failure.
    void setCallTimeoutMs(int ms) { callTimeoutMs_ = ms; }

    // The Notify call as sent (for diagnostics and tests); `escapeBody` for a service
    // that renders markup in the body.
    static QDBusMessage BuildNotifyMessage(const NotificationRequest& request,
                                           bool escapeBody = false);

signals:
    void shown(uint id);
    void failed(const QString& errorName);
    void actionInvoked(uint id, const QString& actionKey);
    void closed(uint id, uint reason);

private slots:
    void onActionInvoked(uint id, const QString& actionKey);
    void onActivationToken(uint id, const QString& token);
    void onNotificationClosed(uint id, uint reason);

private:
    // The bus, taken into use on the first call: the session bus when none was
    // given, with the service's signals subscribed.
    QDBusConnection& Bus();
    void Send(const NotificationRequest& request, const ShowCallback& done);
    void Finish(const NotificationResult& result, const ShowCallback& done);

    std::optional<QDBusConnection> bus_;
    bool subscribed_ = false;
    QSet<uint> ownIds_;
    QHash<uint, QString> tokens_;  // of own notifications only
    int callTimeoutMs_ = 5000;
    // The service's capabilities: unasked, asked (Shows wait in `waiting_`), known.
    enum class Capabilities { Unasked, Asked, Known } capabilities_ = Capabilities::Unasked;
    bool bodyMarkup_ = false;
    QVector<std::pair<NotificationRequest, ShowCallback>> waiting_;
};

// Text from the network made fit for a notification: C0 and C1 control characters
// and DEL dropped (a tab becomes a space, CR LF and a lone CR become LF, LF stays),
// and so are the bidirectional embedding, override and isolate characters, which
// could make the title or body read differently from what it holds.
QString NotificationText(const QString& text);
// The text cut to at most `limit` UTF-16 units, with "…" after it when something
// was cut: at the last blank or line break when one lies in the last
// kCutAtBlankWithin units, so that no word is split, otherwise at the limit (never
// inside a surrogate pair).
inline constexpr qsizetype kCutAtBlankWithin = 40;
QString CutText(const QString& text, qsizetype limit);

// Announces incoming messages: while no window of the application is active, a
// desktop notification (title, body, the application's icon, 20 seconds, the
// actions "Открыть" and "Закрыть"); otherwise, and whenever the notification
// cannot be shown, the sound "alarm2.wav". "Открыть" asks for command
// cmd::kShowContacts (the contact list, window shown), "Закрыть" for cmd::kOk
// (minimise). Before
// "Открыть", the activation token the service sent with it goes into
// XDG_ACTIVATION_TOKEN, where a Wayland platform plugin takes it when the window
// asks to be activated: without one the compositor may refuse to raise it.
class MessageAnnouncer : public QObject {
    Q_OBJECT

public:
    static constexpr int kTimeoutMs = 20000;
    static constexpr qsizetype kMaxBody = 200;  // then "…"

    using ActiveQuery = std::function<bool()>;
    using CommandSink = std::function<void(int commandId)>;

    // `isActive`: whether a window of the application is the active window (the
    // default asks QApplication). `onCommand` receives the command of a chosen
    // action. The notifier and player must outlive the announcer.
    MessageAnnouncer(DesktopNotifier& notifier, SoundPlayer& sounds, CommandSink onCommand,
                     ActiveQuery isActive = {}, QObject* parent = nullptr);

    // The notification title: "ICQ: <display name> (<UIN>)", or "ICQ: <UIN>" for a
    // contact without a name (AnnouncementTitle).
    static QString Title(const QString& displayName, const QString& uin);

    // Announces one message. Any thread; the work is done on the announcer's thread.
    void Announce(const QString& title, const QString& body);

    // The request Announce sends for a title and body: both cleaned, the body cut to
    // kMaxBody.
    NotificationRequest Request(const QString& title, const QString& body) const;

signals:
    // The decision taken for one announcement, after it is known.
    void announced(bool asNotification);

private:
    void AnnounceHere(const QString& title, const QString& body);
    void OnAction(uint id, const QString& key);

    DesktopNotifier& notifier_;
    SoundPlayer& sounds_;
    CommandSink onCommand_;
    ActiveQuery isActive_;
    // The notification shown last, updated in place by the next announcement while
    // the service has not closed it.
    uint lastId_ = 0;
};

}  // namespace pellox::ui
