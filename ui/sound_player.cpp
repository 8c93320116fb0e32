#include "ui/sound_player.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QThread>
#include <cstdio>

#include "ui/sound_backend.h"

namespace pellox::ui {

QStringList SoundPlayer::DefaultSoundFolders() {
    QStringList folders;
    if (QCoreApplication::instance() != nullptr) {
        // Beside the executable (the build tree), then where the install rules put
        // them: <prefix>/share/pellox/sounds for <prefix>/bin/pellox.
        const QString dir = QCoreApplication::applicationDirPath();
        folders << dir + QStringLiteral("/sounds")
                << dir + QStringLiteral("/../share/pellox/sounds");
    }
#ifdef PELLOX_BUILD_SOUNDS_DIR
    folders << QStringLiteral(PELLOX_BUILD_SOUNDS_DIR);
#endif
    return folders;
}

QStringList SoundPlayer::DefaultBackendPaths() {
    QStringList paths;
    if (QCoreApplication::instance() != nullptr) {
        const QString dir = QCoreApplication::applicationDirPath();
        paths << dir + QStringLiteral("/" PELLOX_SOUND_MODULE_NAME);
#ifdef PELLOX_INSTALLED_SOUND_MODULE
        // Relative to the installed executable: <prefix>/lib/.../pellox/.
        paths << dir + QStringLiteral("/" PELLOX_INSTALLED_SOUND_MODULE);
#endif
    }
#ifdef PELLOX_BUILD_SOUND_MODULE
    paths << QStringLiteral(PELLOX_BUILD_SOUND_MODULE);
#endif
    return paths;
}

SoundPlayer::SoundPlayer(QStringList folders, QObject* parent)
    : QObject(parent), folders_(std::move(folders)) {}

SoundPlayer::~SoundPlayer() = default;

QString SoundPlayer::FilePath(const QString& name) const {
    if (name.isEmpty() || name.contains(QLatin1Char('/'))) return {};
    const QString file = name.contains(QLatin1Char('.')) ? name : name + QStringLiteral(".wav");
    for (const QString& folder : folders_) {
        const QFileInfo info(folder + QLatin1Char('/') + file);
        if (info.isFile()) return info.absoluteFilePath();
    }
    return {};
}

bool SoundPlayer::Ready(const QString& name) const {
    const QString path = FilePath(name);
    return backend_ != nullptr && !path.isEmpty() && backend_->Ready(path);
}

SoundBackend* SoundPlayer::Backend() {
    if (backend_ != nullptr || backendTried_) return backend_.get();
    backendTried_ = true;
    QString errors;
    for (const QString& path : DefaultBackendPaths()) {
        if (!QFileInfo(path).isFile()) continue;
        // Never unloaded: the backend's code must stay while the backend lives.
        QLibrary module(path);
        const auto create = reinterpret_cast<SoundBackendFactory>(module.resolve(kSoundBackendEntry));
        if (create != nullptr) {
            backend_.reset(create());
            return backend_.get();
        }
        errors += QLatin1Char(' ') + module.errorString();
    }
    std::fprintf(stderr, "pellox: no sound module could be loaded, sounds stay silent:%s\n",
                 errors.isEmpty() ? " none found" : errors.toLocal8Bit().constData());
    return nullptr;
}

void SoundPlayer::Play(const QString& name) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, name] { PlayHere(name); }, Qt::QueuedConnection);
        return;
    }
    PlayHere(name);
}

void SoundPlayer::PlayHere(const QString& name) {
    lastRequested_ = name;
    ++requestCount_;
    emit playRequested(name);
    const QString path = FilePath(name);
    if (path.isEmpty()) return;
    if (SoundBackend* backend = Backend()) backend->Play(path);
}

}  // namespace pellox::ui
