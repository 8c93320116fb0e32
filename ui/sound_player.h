// SoundPlayer: plays the application's short sounds asynchronously.
//
// A sound is asked for by name: "alarm2.wav" (a new message while the window is in
// front) or "default" (a message was sent). A name without an extension stands for
// "<name>.wav". The file is looked for in the folders given at construction, in
// order; by default "sounds" beside the executable, then "../share/pellox/sounds"
// from it (where an installed Pellox has them), then the build tree's sound
// folder.
//
// The sounds are played by the sound backend (sound_backend.h), a module the player
// loads when the first sound is to be played, not before: beside the executable
// (the build tree, a portable copy), where the install rules put it, then from the
// build tree. Loading it and the first file takes a few milliseconds; the backend
// loads each file once and keeps it.
//
// Play returns at once; a missing file, a missing module or a machine without an
// audio device only means that nothing is heard. The player lives on the
// user-interface thread; Play may be called from any thread (it is then carried
// out on the player's thread).
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

namespace pellox::ui {

class SoundBackend;

inline constexpr char kAlarmSound[] = "alarm2.wav";
inline constexpr char kSendSound[] = "default";

class SoundPlayer : public QObject {
    Q_OBJECT

public:
    // The folders searched when none are given.
    static QStringList DefaultSoundFolders();
    // The places the backend module is looked for, in order.
    static QStringList DefaultBackendPaths();

    explicit SoundPlayer(QStringList folders = DefaultSoundFolders(), QObject* parent = nullptr);
    ~SoundPlayer() override;

    // Starts the sound; see above.
    void Play(const QString& name);

    // The file a name stands for, or an empty string when no folder holds it.
    QString FilePath(const QString& name) const;
    // Whether the backend has been loaded: only a sound to be played loads it.
    bool backendLoaded() const { return backend_ != nullptr; }
    // Whether the sound of a name is loaded and ready to play (false before it was
    // first played).
    bool Ready(const QString& name) const;

    // The last name Play was asked for (on the player's thread), and how many times.
    QString lastRequested() const { return lastRequested_; }
    int requestCount() const { return requestCount_; }

signals:
    // Emitted on the player's thread for every Play.
    void playRequested(const QString& name);

private:
    void PlayHere(const QString& name);
    // The backend, loaded on the first call; null when no module could be loaded
    // (then it is not tried again).
    SoundBackend* Backend();

    QStringList folders_;
    std::unique_ptr<SoundBackend> backend_;
    bool backendTried_ = false;
    QString lastRequested_;
    int requestCount_ = 0;
};

}  // namespace pellox::ui
