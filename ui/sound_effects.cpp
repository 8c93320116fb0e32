// The sound backend on Qt Multimedia (the module pellox_sound): one QSoundEffect
// per file, loaded on first use and kept.
#include <QHash>
#include <QSoundEffect>
#include <QUrl>

#include "ui/sound_backend.h"

namespace pellox::ui {
namespace {

class SoundEffects final : public SoundBackend {
public:
    SoundEffects() = default;
    SoundEffects(const SoundEffects&) = delete;
    SoundEffects& operator=(const SoundEffects&) = delete;
    ~SoundEffects() override { qDeleteAll(effects_); }

    void Play(const QString& path) override {
        QSoundEffect*& effect = effects_[path];
        if (effect == nullptr) {
            effect = new QSoundEffect;
            // A plain path would be taken as a URL and fail to load.
            effect->setSource(QUrl::fromLocalFile(path));
        }
        // A sound still loading starts once it is ready; one already playing starts
        // over.
        effect->stop();
        effect->play();
    }

    bool Ready(const QString& path) const override {
        const QSoundEffect* effect = effects_.value(path);
        return effect != nullptr && effect->status() == QSoundEffect::Ready;
    }

private:
    QHash<QString, QSoundEffect*> effects_;  // by file path
};

}  // namespace
}  // namespace pellox::ui

extern "C" Q_DECL_EXPORT pellox::ui::SoundBackend* pellox_create_sound_backend() {
    return new pellox::ui::SoundEffects;
}
