#include "ui/contact_picture.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QPixmapCache>

#include "store/app_state.h"
#include "store/icon_cache.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {

bool DecodesAsPicture(std::span<const std::uint8_t> bytes) {
    QImage image;
    return image.loadFromData(bytes.data(), static_cast<int>(bytes.size())) && !image.isNull();
}

QPixmap ContactPicture(const AppState& state, const std::string& iconHash) {
    if (iconHash.empty()) return {};
    const QString key = QStringLiteral("pellox-icon-") + QString::fromStdString(iconHash);
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap)) return pixmap;
    QImage image;
    if (!image.load(QString::fromStdString(CachedIconPath(state.Directory(), iconHash)))) return {};
    pixmap = QPixmap::fromImage(
        image.scaled(kPictureSide, kPictureSide, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    QPixmapCache::insert(key, pixmap);
    return pixmap;
}

std::optional<QByteArray> MakeOwnPicture(const QString& imagePath, std::string& extension) {
    QImage image;
    if (!image.load(imagePath) || image.isNull()) return std::nullopt;
    // The middle square, then 48x48.
    const int side = std::min(image.width(), image.height());
    image =
        image.copy((image.width() - side) / 2, (image.height() - side) / 2, side, side)
            .scaled(kPictureSide, kPictureSide, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const auto encode = [&image](const char* format, int quality) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format, quality);
        return bytes;
    };
    QByteArray png = encode("PNG", -1);
    if (!png.isEmpty() && static_cast<std::size_t>(png.size()) <= kMaxIconBytes) {
        extension = "png";
        return png;
    }
    image = image.convertToFormat(QImage::Format_RGB32);  // JPEG has no transparency
    for (int quality = 90; quality >= 10; quality -= 10) {
        QByteArray jpeg = encode("JPEG", quality);
        if (!jpeg.isEmpty() && static_cast<std::size_t>(jpeg.size()) <= kMaxIconBytes) {
            extension = "jpg";
            return jpeg;
        }
    }
    return std::nullopt;
}

QPixmap OwnPicture(const AppState& state) {
    // The profile is copied out so the file is read without the model's lock.
    const std::optional<Profile> profile = state.ReadSettings([](const Settings& settings) {
        const auto it = settings.profiles.find(settings.profile);
        return it != settings.profiles.end() ? std::optional<Profile>(it->second) : std::nullopt;
    });
    const std::optional<std::vector<std::uint8_t>> bytes =
        profile ? ReadOwnPicture(state.Directory(), *profile) : std::nullopt;
    QImage image;
    if (!bytes || !image.loadFromData(bytes->data(), static_cast<int>(bytes->size()))) return {};
    return QPixmap::fromImage(
        image.scaled(kPictureSide, kPictureSide, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

bool HasOwnPicture(const AppState& state) {
    return state.ReadSettings([](const Settings& settings) {
        const auto it = settings.profiles.find(settings.profile);
        return it != settings.profiles.end() && it->second.values.count(kPictureKey) > 0;
    });
}

void DrawFramedPicture(QPainter& painter, const QRect& target, const QPixmap& pixmap) {
    if (!pixmap.isNull()) painter.drawPixmap(target, pixmap);
    painter.setPen(ThemeColors::kWhite);
    painter.drawRect(target.adjusted(-1, -1, 0, 0));
}

}  // namespace pellox::ui
