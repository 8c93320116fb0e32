// The sound backend: what plays the application's sounds. It lives in a module of
// its own (pellox_sound, on Qt Multimedia) that SoundPlayer loads when the first
// sound plays, so that a start-up and an idle window never map the audio
// libraries: they are a tenth of the application's memory.
#pragma once

#include <QString>

namespace pellox::ui {

class SoundBackend {
public:
    virtual ~SoundBackend() = default;

    // Starts the sound of the file (a local path) from its beginning. The first
    // time, the file is loaded first and the sound starts once it is ready.
    virtual void Play(const QString& path) = 0;
    // Whether the file's sound is loaded and ready to play.
    virtual bool Ready(const QString& path) const = 0;
};

// The module's one entry point, a C function of this name: a new backend, owned by
// the caller and used on the thread that made it.
inline constexpr char kSoundBackendEntry[] = "pellox_create_sound_backend";
using SoundBackendFactory = SoundBackend* (*)();

}  // namespace pellox::ui
