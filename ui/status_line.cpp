#include "ui/status_line.h"

#include "resources/strings.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {

StatusLine::StatusLine(std::function<int()> connectionState, std::function<void()> changed,
                       std::function<int()> loginRefusal)
    : connectionState_(std::move(connectionState)),
      changed_(std::move(changed)),
      loginRefusal_(std::move(loginRefusal)) {}

void StatusLine::OnAppStateChange(ChangeCode code, const ContactPtr&) {
    if (code != ChangeCode::ConnectionStateChanged) return;
    const int id = ConnectionStateStringId(connectionState_ ? connectionState_() : 0,
                                           loginRefusal_ ? loginRefusal_() : 0);
    if (id == stringId_) return;
    stringId_ = id;
    text_ = id != 0 ? LoadQString(id) : QString();
    if (changed_) changed_();
}

}  // namespace pellox::ui
