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

QString MatchedFamily(const QString& family) {
    FcPattern* pattern = FcPatternCreate();
    if (pattern == nullptr) return {};
    const QByteArray name = family.toUtf8();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.constData()));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    QString matched;
    FcChar8* value = nullptr;
    if (match != nullptr && FcPatternGetString(match, FC_FAMILY, 0, &value) == FcResultMatch) {
        matched = QString::fromUtf8(reinterpret_cast<const char*>(value));
    }
    if (match != nullptr) FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return matched;
}

void LoadFontConfiguration() {
    // Once for the process: the font database's own call then finds it loaded.
    // Fontconfig may be called from any thread.
    if (FcInit() == FcFalse) return;
    // The family the text font asks for by name, here rather than through the font
    // database's fallbacks on the main thread.
    if (const QString family = MatchedFamily(QStringLiteral("Arial")); !family.isEmpty()) {
        SetArialStandIn(family);
    }
}

void ConnectSessionBus() {
    (void)QDBusConnection::sessionBus();
}

}  // namespace pellox::ui
