// The floor of the whole-application figures: a Qt Widgets program that shows one
// empty top-level window of the main frame's default size and does nothing else.
// Whatever Pellox needs beyond this to start and to stay resident is its own.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.resize(480, 640);  // the main frame's default client size
    window.show();
    return QApplication::exec();
}
