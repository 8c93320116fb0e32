// Pellox: the desktop application. It keeps its data in "History/" beside this
// executable when that folder exists, otherwise in the user's data folder
// (~/.local/share/pellox/History); it takes no options.

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "platform/files.h"
#include "store/app_state.h"
#include "store/file_access.h"
#include "store/section_file.h"
#include "ui/application.h"
#include "ui/drawing_kit.h"

namespace {

// Why the data folder cannot be used, for the user; empty when it can.
QString FolderProblem(pellox::platform::DirectoryTrust trust) {
    using pellox::platform::DirectoryTrust;
    switch (trust) {
        case DirectoryTrust::Private: return {};
        case DirectoryTrust::Missing: return QStringLiteral("папку не удалось создать");
        case DirectoryTrust::Link: return QStringLiteral("это символическая ссылка");
        case DirectoryTrust::NotADirectory: return QStringLiteral("это не папка");
        case DirectoryTrust::OtherOwner:
            return QStringLiteral("папка принадлежит другому пользователю");
        case DirectoryTrust::WritableByOthers:
            return QStringLiteral("в папку могут писать другие пользователи (chmod 700 исправит)");
        case DirectoryTrust::Unreadable: return QStringLiteral("папку не удалось открыть");
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
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pellox"));
    QApplication::setDesktopFileName(QStringLiteral("pellox"));
    QApplication::setFont(pellox::ui::ApplicationFont());

    // The data folder must be private to this user (nothing is read from or written
    // to another) and used by one Pellox at a time; the lock lasts until exit.
    const std::string directory = pellox::DataDirectory();
    QString folder = QString::fromLocal8Bit(directory.c_str());
    if (folder.size() > 1 && folder.endsWith(QLatin1Char('/'))) folder.chop(1);
    if (const QString problem = FolderProblem(pellox::DataDirectoryTrust()); !problem.isEmpty()) {
        return Refuse(QStringLiteral("Папку данных %1 нельзя использовать: %2.").arg(folder, problem));
    }
    pellox::platform::File lock;
    switch (pellox::LockDataDirectory(directory, lock)) {
        case pellox::InstanceLock::Taken: break;
        case pellox::InstanceLock::InUse:
            return Refuse(QStringLiteral("Pellox уже запущен с папкой данных %1.").arg(folder));
        case pellox::InstanceLock::Failed:
            return Refuse(QStringLiteral("Папку данных %1 не удалось заблокировать.").arg(folder));
    }

    // Never destroyed: threads that are not joined at exit may still be using it.
    static pellox::AppState* const model = new pellox::AppState();
    pellox::ui::Application application(*model);
    application.Start();
    return QApplication::exec();
}
