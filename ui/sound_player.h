// SoundPlayer: plays the application's short sounds asynchronously.
//
// A sound is asked for by name: "alarm2.wav" (a new message while the window is in
// front) or "default" (a message was sent). A name without an extension stands for
// "<name>.wav". The file is looked for in the folders given at construction, in
// order; by default "sounds" beside the executable, then "../share/pellox/sounds"
// from it (where an installed Pellox has them), then the build tree's sound
// folder. Each file is loaded once into its own QSoundEffect and kept.
//
// Play returns at once; a missing file or a machine without an audio device only
// means that nothing is heard. The player lives on the user-interface thread; Play
// may be called from any thread (it is then carried out on the player's thread).
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class QSoundEffect;

namespace pellox::ui {

inline constexpr char kAlarmSound[] = "alarm2.wav";
inline constexpr char kSendSound[] = "default";

class SoundPlayer : public QObject {
    Q_OBJECT

public:
    // The folders searched when none are given.
    static QStringList DefaultSoundFolders();

    explicit SoundPlayer(QStringList folders = DefaultSoundFolders(), QObject* parent = nullptr);
    ~SoundPlayer() override;

    // Starts the sound; see above.
    void Play(const QString& name);

    // The file a name stands for, or an empty string when no folder holds it.
    QString FilePath(const QString& name) const;
    // The effect of a name, loading it when needed; null when there is no file.
    QSoundEffect* Effect(const QString& name);

    // The last name Play was asked for (on the player's thread), and how many times.
    QString lastRequested() const { return lastRequested_; }
    int requestCount() const { return requestCount_; }

signals:
    // Emitted on the player's thread for every Play.
    void playRequested(const QString& name);

private:
    void PlayHere(const QString& name);

    QStringList folders_;
    QHash<QString, QSoundEffect*> effects_;  // by file path
    QString lastRequested_;
    int requestCount_ = 0;
};

}  // namespace pellox::ui
