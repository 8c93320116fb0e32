// One's own picture: chosen with a file dialog, made 48x48 within the icon
// service's limit, kept in the data folder under the profile's "picture" key.
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

#include "resources/strings.h"
#include "store/icon_cache.h"
#include "ui/application.h"
#include "ui/contact_picture.h"
#include "ui/drawing_kit.h"
#include "ui/main_frame.h"
#include "ui/message_box.h"

namespace pellox::ui {

void Application::ChoosePicture() {
    auto* dialog = new QFileDialog(frame_.get(), LoadQString(str::kPictureTitle));
    dialog->setObjectName(QStringLiteral("pictureDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilter(LoadQString(str::kPictureFilter));
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    dialog->setDirectory(QDir(pictures).exists() ? pictures : QDir::homePath());
    connect(dialog, &QFileDialog::fileSelected, this, &Application::UsePictureFile);
    dialog->open();
}

void Application::UsePictureFile(const QString& path) {
    std::string extension;
    const std::optional<QByteArray> bytes = MakeOwnPicture(path, extension);
    std::optional<std::string> name;
    if (bytes) {
        name = WriteOwnPicture(state_.Directory(),
                               {reinterpret_cast<const std::uint8_t*>(bytes->constData()),
                                static_cast<std::size_t>(bytes->size())},
                               extension);
    }
    if (!name) {
        ShowNotice(frame_.get(),
                   LoadQString(str::kPictureUnusable).arg(QFileInfo(path).fileName()));
        return;
    }
    SetPictureName(*name);
}

void Application::SetPictureName(const std::string& name) {
    const std::u16string old = state_.UpdateSettings([&name](Settings& settings) {
        Profile& profile = settings.profiles[settings.profile];
        const auto it = profile.values.find(kPictureKey);
        std::u16string previous = it != profile.values.end() ? it->second : std::u16string();
        if (name.empty()) {
            profile.values.erase(kPictureKey);
        } else {
            profile.values[kPictureKey] = std::u16string(name.begin(), name.end());
        }
        // The file it replaces goes unless another profile shows it too.
        for (const auto& [other, values] : settings.profiles) {
            const auto kept = values.values.find(kPictureKey);
            if (kept != values.values.end() && kept->second == previous) previous.clear();
        }
        return previous;
    });
    (void)state_.SaveSettings();
    if (!old.empty()) RemoveOwnPicture(state_.Directory(), old);
    session_->EnqueueCommand(SetPictureCommand{});
    state_.Notify(ChangeCode::OwnPictureChanged);
}

bool Application::HasPicture() const {
    return HasOwnPicture(state_);
}

}  // namespace pellox::ui
