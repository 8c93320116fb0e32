// Pellox: the desktop application. It keeps its data in "History/" beside this
// executable when that folder exists, otherwise in the user's data folder
// (~/.local/share/pellox/History); it takes no options.

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "platform/files.h"
#include "resources/strings.h"
#include "store/app_state.h"
#include "store/file_access.h"
#include "store/section_file.h"
#include "ui/application.h"
#include "ui/drawing_kit.h"
#include "ui/early_start.h"
#include "ui/language.h"

namespace {

// Why the data folder cannot be used, for the user; empty when it can.
QString FolderProblem(pellox::platform::DirectoryTrust trust) {
    using pellox::platform::DirectoryTrust;
    namespace str = pellox::str;
    switch (trust) {
        case DirectoryTrust::Private: return {};
        case DirectoryTrust::Missing: return pellox::ui::LoadQString(str::kFolderNotCreated);
        case DirectoryTrust::Link: return pellox::ui::LoadQString(str::kFolderIsLink);
        case DirectoryTrust::NotADirectory: return pellox::ui::LoadQString(str::kFolderNotAFolder);
        case DirectoryTrust::OtherOwner: return pellox::ui::LoadQString(str::kFolderOtherOwner);
        case DirectoryTrust::WritableByOthers:
            return pellox::ui::LoadQString(str::kFolderWritableByOthers);
        case DirectoryTrust::Unreadable: return pellox::ui::LoadQString(str::kFolderUnreadable);
    }
    return {};
}

// Tells the user why Pellox stops, on the standard error stream and in a window.
int Refuse(const QString& text) {
    std::fprintf(stderr, "pellox: %s\n", text.toLocal8Bit().constData());
    QMessageBox::critical(nullptr, QStringLiteral("Pellox"), text);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // The font configuration loads while the display connects.
    pellox::ui::EarlyWork fontConfiguration(&pellox::ui::LoadFontConfiguration);
    QApplication app(argc, argv);
    // The session bus connects while the window is built.
    const pellox::ui::EarlyWork sessionBus(&pellox::ui::ConnectSessionBus);
    QApplication::setApplicationName(QStringLiteral("Pellox"));
    QApplication::setDesktopFileName(QStringLiteral("pellox"));
    fontConfiguration.Wait();
    QApplication::setFont(pellox::ui::ApplicationFont());
    // The system's language until the settings are read (Start takes the setting's):
    // what is said about an unusable data folder is said in it.
    (void)pellox::ui::UseLanguage(pellox::ui::SystemLanguage());

    // The data folder must be private to this user (nothing is read from or written
    // to another) and used by one Pellox at a time; the lock lasts until exit.
    const std::string directory = pellox::DataDirectory();
    QString folder = QString::fromLocal8Bit(directory.c_str());
    if (folder.size() > 1 && folder.endsWith(QLatin1Char('/'))) folder.chop(1);
    if (const QString problem = FolderProblem(pellox::DataDirectoryTrust()); !problem.isEmpty()) {
        return Refuse(pellox::ui::LoadQString(pellox::str::kFolderUnusable).arg(folder, problem));
    }
    pellox::platform::File lock;
    switch (pellox::LockDataDirectory(directory, lock)) {
        case pellox::InstanceLock::Taken: break;
        case pellox::InstanceLock::InUse:
            return Refuse(pellox::ui::LoadQString(pellox::str::kAlreadyRunning).arg(folder));
        case pellox::InstanceLock::Failed:
            return Refuse(pellox::ui::LoadQString(pellox::str::kFolderNotLocked).arg(folder));
    }

    // Never destroyed: threads that are not joined at exit may still be using it.
    static pellox::AppState* const model = new pellox::AppState();
    pellox::ui::Application application(*model);
    application.Start();
    return QApplication::exec();
}
