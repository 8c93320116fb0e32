// The one-line connection status at the bottom of the contact list: the text of
// the session's connection state, or nothing while online; after a refused login
// the refusal's reason instead of the connection error.
//
// It listens for ConnectionStateChanged only and reloads its text only when the
// state maps to another string than the one shown. User-interface thread only.
#pragma once

#include <QString>
#include <functional>

#include "store/app_state.h"

namespace pellox::ui {

class StatusLine : public AppStateListener {
public:
    // `connectionState` reads the session's state code, `loginRefusal` (optional)
    // the code of a refused login; `changed` runs after the text changed (the
    // owner re-lays out and repaints).
    StatusLine(std::function<int()> connectionState, std::function<void()> changed,
               std::function<int()> loginRefusal = {});

    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // The string id shown (0 for none) and its text (empty for none).
    int stringId() const { return stringId_; }
    const QString& text() const { return text_; }

private:
    std::function<int()> connectionState_;
    std::function<void()> changed_;
    std::function<int()> loginRefusal_;
    int stringId_ = 0;
    QString text_;
};

}  // namespace pellox::ui
