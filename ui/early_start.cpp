#include "ui/early_start.h"

#include <fontconfig/fontconfig.h>

#include <QDBusConnection>

#include "ui/drawing_kit.h"

namespace pellox::ui {

EarlyWork::EarlyWork(void (*work)()) : thread_(work) {}

EarlyWork::~EarlyWork() {
    Wait();
}

void EarlyWork::Wait() {
    if (thread_.joinable()) thread_.join();
}

void LoadFontConfiguration() {
    // Once for the process: the font database's own call then finds it loaded.
    // Fontconfig may be called from any thread.
    if (FcInit() == FcFalse) return;
    // The family the text font asks for by name, found as the font database would
    // find it (the configuration's substitutes, then the best match), here rather
    // than through the database's fallbacks on the main thread.
    FcPattern* pattern = FcPatternCreate();
    if (pattern == nullptr) return;
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("Arial"));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcChar8* family = nullptr;
    if (match != nullptr && FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch) {
        SetArialStandIn(QString::fromUtf8(reinterpret_cast<const char*>(family)));
    }
    if (match != nullptr) FcPatternDestroy(match);
    FcPatternDestroy(pattern);
}

void ConnectSessionBus() {
    (void)QDBusConnection::sessionBus();
}

}  // namespace pellox::ui
