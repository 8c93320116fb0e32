#include "ui/early_start.h"

#include <fontconfig/fontconfig.h>

#include <QDBusConnection>

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
    (void)FcInit();
}

void ConnectSessionBus() {
    (void)QDBusConnection::sessionBus();
}

}  // namespace pellox::ui
