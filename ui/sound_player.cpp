#include "ui/sound_player.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>

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

QSoundEffect* SoundPlayer::Effect(const QString& name) {
    const QString path = FilePath(name);
    if (path.isEmpty()) return nullptr;
    QSoundEffect*& effect = effects_[path];
    if (effect == nullptr) {
        effect = new QSoundEffect(this);
        // A plain path would be taken as a URL and fail to load.
        effect->setSource(QUrl::fromLocalFile(path));
    }
    return effect;
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
    if (QSoundEffect* effect = Effect(name)) {
        // A sound still loading starts once it is ready; one already playing starts
        // over.
        effect->stop();
        effect->play();
    }
}

}  // namespace pellox::ui
