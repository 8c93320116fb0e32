// Pellox: the desktop application. Everything it keeps lives in "History/" beside
// this executable; it takes no options.

#include <QApplication>

#include "store/app_state.h"
#include "ui/application.h"
#include "ui/drawing_kit.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pellox"));
    QApplication::setDesktopFileName(QStringLiteral("pellox"));
    QApplication::setFont(pellox::ui::ApplicationFont());

    pellox::ui::Application application(pellox::AppState::Instance());
    application.Start();
    return QApplication::exec();
}
