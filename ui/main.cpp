// Starts the desktop application: the main frame with the contact list as its
// first view. Until the views are in place the contact list is an empty view that
// only paints the background.

#include <QApplication>
#include <QPaintEvent>

#include "resources/command_ids.h"
#include "ui/drawing_kit.h"
#include "ui/main_frame.h"

namespace {

class EmptyView : public pellox::ui::FrameView {
public:
    using FrameView::FrameView;

protected:
    void paintEvent(QPaintEvent*) override {
        pellox::ui::OffscreenPaint paint(this, rect());
        background_.Draw(paint.painter(), rect());
    }

private:
    pellox::ui::BackgroundCache background_{pellox::ui::BackgroundKind::View};
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setFont(pellox::ui::ApplicationFont());
    QApplication::setApplicationName(QStringLiteral("Pellox"));

    pellox::ui::CMainFrame frame;
    frame.RegisterView(pellox::ui::ViewKind::Contacts,
                       [](QWidget* parent) { return new EmptyView(parent); });
    frame.SwitchView(pellox::ui::ViewKind::Contacts, pellox::menubar::kMain);
    frame.show();
    return QApplication::exec();
}
