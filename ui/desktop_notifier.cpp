#include "ui/desktop_notifier.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QThread>
#include <utility>

#include "protocol/announcer.h"
#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/drawing_kit.h"
#include "ui/sound_player.h"

namespace {

// The "image-data" hint of the notification protocol: (iiibiiay) width, height,
// row stride, has alpha, bits per sample, channels, the RGBA bytes.
struct NotificationImageData {
    int width = 0;
    int height = 0;
    int rowStride = 0;
    bool hasAlpha = true;
    int bitsPerSample = 8;
    int channels = 4;
    QByteArray data;
};

QDBusArgument& operator<<(QDBusArgument& arg, const NotificationImageData& image) {
    arg.beginStructure();
    arg << image.width << image.height << image.rowStride << image.hasAlpha << image.bitsPerSample
        << image.channels << image.data;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, NotificationImageData& image) {
    arg.beginStructure();
    arg >> image.width >> image.height >> image.rowStride >> image.hasAlpha >>
        image.bitsPerSample >> image.channels >> image.data;
    arg.endStructure();
    return arg;
}

}  // namespace

Q_DECLARE_METATYPE(NotificationImageData)

namespace pellox::ui {

namespace {

void RegisterImageType() {
    static const QMetaType type = qDBusRegisterMetaType<NotificationImageData>();
    (void)type;
}

NotificationImageData ImageData(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_RGBA8888);
    NotificationImageData data;
    data.width = image.width();
    data.height = image.height();
    data.rowStride = static_cast<int>(image.bytesPerLine());
    data.data = QByteArray(reinterpret_cast<const char*>(image.constBits()),
                           static_cast<qsizetype>(image.sizeInBytes()));
    return data;
}

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {}

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

DesktopNotifier::~DesktopNotifier() = default;

QDBusConnection& DesktopNotifier::Bus() {
    if (!bus_) bus_ = QDBusConnection::sessionBus();
    if (!subscribed_) {
        subscribed_ = true;
        RegisterImageType();
        if (bus_->isConnected()) {
            const QString service = QString::fromLatin1(kNotificationsService);
            const QString path = QString::fromLatin1(kNotificationsPath);
            const QString iface = QString::fromLatin1(kNotificationsInterface);
            // The string-based slots are the form QDBusConnection::connect takes.
            // Subscribed before the first call goes out, so that no answer to it is
            // missed.
            bus_->connect(service, path, iface, QStringLiteral("ActionInvoked"), this,
                          SLOT(onActionInvoked(uint, QString)));
            bus_->connect(service, path, iface, QStringLiteral("NotificationClosed"), this,
                          SLOT(onNotificationClosed(uint, uint)));
            bus_->connect(service, path, iface, QStringLiteral("ActivationToken"), this,
                          SLOT(onActivationToken(uint, QString)));
        }
    }
    return *bus_;
}

QDBusMessage DesktopNotifier::BuildNotifyMessage(const NotificationRequest& request,
                                                 bool escapeBody) {
    RegisterImageType();
    QDBusMessage message = QDBusMessage::createMethodCall(
        QString::fromLatin1(kNotificationsService), QString::fromLatin1(kNotificationsPath),
        QString::fromLatin1(kNotificationsInterface), QStringLiteral("Notify"));
    QStringList actions;
    for (const auto& [key, label] : request.actions) actions << key << label;
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));  // normal
    if (!request.image.isNull()) {
        hints.insert(QStringLiteral("image-data"), QVariant::fromValue(ImageData(request.image)));
    }
    message << request.appName << request.replacesId << request.icon << request.title
            << (escapeBody ? request.body.toHtmlEscaped() : request.body) << actions << hints
            << request.timeoutMs;
    return message;
}

void DesktopNotifier::Show(const NotificationRequest& request, ShowCallback done) {
    QDBusConnection& bus = Bus();
    if (!bus.isConnected() || capabilities_ == Capabilities::Known) {
        Send(request, done);
        return;
    }
    waiting_.append({request, std::move(done)});
    if (capabilities_ == Capabilities::Asked) return;
    capabilities_ = Capabilities::Asked;
    const QDBusMessage ask = QDBusMessage::createMethodCall(
        QString::fromLatin1(kNotificationsService), QString::fromLatin1(kNotificationsPath),
        QString::fromLatin1(kNotificationsInterface), QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask, callTimeoutMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QStringList> reply = *finished;
                // Without an answer the body goes plain, as the protocol's default is.
                bodyMarkup_ = !reply.isError() &&
                              reply.value().contains(QStringLiteral("body-markup"));
                capabilities_ = Capabilities::Known;
                const auto waiting = std::exchange(waiting_, {});
                for (const auto& [request, done] : waiting) Send(request, done);
            });
}

void DesktopNotifier::Send(const NotificationRequest& request, const ShowCallback& done) {
    QDBusConnection& bus = Bus();
    if (!bus.isConnected()) {
        NotificationResult result;
        result.errorName = QStringLiteral("org.freedesktop.DBus.Error.Disconnected");
        result.errorMessage = QStringLiteral("not connected to a session bus");
        // Reported from the event loop, as an answer from the bus would be.
        QMetaObject::invokeMethod(
            this, [this, result, done] { Finish(result, done); }, Qt::QueuedConnection);
        return;
    }
    const QDBusPendingCall call =
        bus.asyncCall(BuildNotifyMessage(request, bodyMarkup_), callTimeoutMs_);
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, done](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> reply = *finished;
                NotificationResult result;
                if (reply.isError()) {
                    result.errorName = reply.error().name();
                    result.errorMessage = reply.error().message();
                } else {
                    result.ok = true;
                    result.id = reply.value();
                    ownIds_.insert(result.id);
                }
                Finish(result, done);
            });
}

void DesktopNotifier::Finish(const NotificationResult& result, const ShowCallback& done) {
    if (done) done(result);
    if (result.ok) {
        emit shown(result.id);
    } else {
        emit failed(result.errorName);
    }
}

void DesktopNotifier::Close(uint id) {
    if (!ownIds_.contains(id) || !Bus().isConnected()) return;
    QDBusMessage message = QDBusMessage::createMethodCall(
        QString::fromLatin1(kNotificationsService), QString::fromLatin1(kNotificationsPath),
        QString::fromLatin1(kNotificationsInterface), QStringLiteral("CloseNotification"));
    message << id;
    Bus().asyncCall(message, callTimeoutMs_);
}

void DesktopNotifier::onActionInvoked(uint id, const QString& actionKey) {
    if (ownIds_.contains(id)) emit actionInvoked(id, actionKey);
}

void DesktopNotifier::onActivationToken(uint id, const QString& token) {
    if (ownIds_.contains(id)) tokens_.insert(id, token);
}

void DesktopNotifier::onNotificationClosed(uint id, uint reason) {
    tokens_.remove(id);
    if (ownIds_.remove(id)) emit closed(id, reason);
}

QString NotificationText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\r') {
            if (i + 1 >= text.size() || text.at(i + 1) != u'\n') out += u'\n';
        } else if (c == u'\n') {
            out += u'\n';
        } else if (c == u'\t') {
            out += u' ';
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
                   (c >= 0x2066 && c <= 0x2069)) {
            continue;
        } else {
            out += QChar(c);
        }
    }
    return out;
}

QString CutText(const QString& text, qsizetype limit) {
    if (text.size() <= limit) return text;
    qsizetype end = limit;
    // The blank right behind the limit counts: the word before it is whole.
    for (qsizetype at = limit; at > 0 && at >= limit - kCutAtBlankWithin; --at) {
        if (text.at(at).isSpace()) {
            end = at;
            while (end > 0 && text.at(end - 1).isSpace()) --end;
            break;
        }
    }
    if (end == 0) end = limit;  // nothing but blanks before: cut as it comes
    if (end > 0 && text.at(end - 1).isHighSurrogate()) --end;
    return text.left(end) + QStringLiteral("…");
}

// ---- MessageAnnouncer ------------------------------------------------------------

namespace {

const QString kOpenAction = QStringLiteral("open");
const QString kCloseAction = QStringLiteral("close");

}  // namespace

MessageAnnouncer::MessageAnnouncer(DesktopNotifier& notifier, SoundPlayer& sounds,
                                   CommandSink onCommand, ActiveQuery isActive, QObject* parent)
    : QObject(parent),
      notifier_(notifier),
      sounds_(sounds),
      onCommand_(std::move(onCommand)),
      isActive_(std::move(isActive)) {
    if (!isActive_) isActive_ = [] { return QApplication::activeWindow() != nullptr; };
    connect(&notifier_, &DesktopNotifier::actionInvoked, this, &MessageAnnouncer::OnAction);
    connect(&notifier_, &DesktopNotifier::closed, this, [this](uint id, uint) {
        if (id == lastId_) lastId_ = 0;
    });
}

QString MessageAnnouncer::Title(const QString& displayName, const QString& uin) {
    return QString::fromStdU16String(
        AnnouncementTitle(displayName.toStdU16String(), uin.toStdU16String()));
}

NotificationRequest MessageAnnouncer::Request(const QString& title, const QString& body) const {
    NotificationRequest request;
    request.replacesId = lastId_;
    request.image = AppIcon().pixmap(64, 64).toImage();
    request.title = NotificationText(title);
    request.body = CutText(NotificationText(body), kMaxBody);
    request.actions = {{kOpenAction, LoadQString(str::kNotificationOpen)},
                       {kCloseAction, LoadQString(str::kNotificationClose)}};
    request.timeoutMs = kTimeoutMs;
    return request;
}

void MessageAnnouncer::Announce(const QString& title, const QString& body) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, title, body] { AnnounceHere(title, body); }, Qt::QueuedConnection);
        return;
    }
    AnnounceHere(title, body);
}

void MessageAnnouncer::AnnounceHere(const QString& title, const QString& body) {
    if (isActive_()) {
        sounds_.Play(QString::fromLatin1(kAlarmSound));
        emit announced(false);
        return;
    }
    QPointer<MessageAnnouncer> self(this);
    notifier_.Show(Request(title, body), [self](const NotificationResult& result) {
        if (self == nullptr) return;
        if (result.ok) {
            self->lastId_ = result.id;
            emit self->announced(true);
        } else {
            // No service, or it refused: the sound alerts instead.
            self->sounds_.Play(QString::fromLatin1(kAlarmSound));
            emit self->announced(false);
        }
    });
}

void MessageAnnouncer::OnAction(uint id, const QString& key) {
    const QString token = notifier_.takeActivationToken(id);
    if (!onCommand_) return;
    // "default" is what services send when the notification itself is clicked.
    if (key == kOpenAction || key == QStringLiteral("default")) {
        if (!token.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
        onCommand_(cmd::kShowContacts);
    } else if (key == kCloseAction) {
        onCommand_(cmd::kOk);
    }
}

}  // namespace pellox::ui
