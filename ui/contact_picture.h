// Pictures on screen: a contact's cached icon as a pixmap, the check that fetched
// bytes decode, and one's own picture made from a chosen image.
#pragma once

#include <QByteArray>
#include <QPixmap>
#include <QString>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

class QPainter;
class QRect;

namespace pellox {
class AppState;
}

namespace pellox::ui {

// Any thread: the bytes decode as an image (the icon service's image check).
bool DecodesAsPicture(std::span<const std::uint8_t> bytes);

// GUI thread: the cached picture of the icon hash, scaled to kPictureSide; a null
// pixmap when the hash is empty or the cache has no picture that decodes. Kept in
// Qt's pixmap cache by hash.
QPixmap ContactPicture(const AppState& state, const std::string& iconHash);

// The own picture from an image file: scaled to kPictureSide square (the middle of
// a wider or taller image), as PNG when that fits kMaxIconBytes, else as JPEG of
// the best quality that fits. Sets `extension` ("png" or "jpg"); nullopt when the
// file is no image.
std::optional<QByteArray> MakeOwnPicture(const QString& imagePath, std::string& extension);

// GUI thread: the current profile's own picture (its "picture" key), scaled to
// kPictureSide; a null pixmap when it has none or the file does not decode.
QPixmap OwnPicture(const AppState& state);
// Whether the current profile names an own picture.
bool HasOwnPicture(const AppState& state);

// A picture as the forms show it: the pixmap (when not null) in `target` and a
// white frame just around it.
void DrawFramedPicture(QPainter& painter, const QRect& target, const QPixmap& pixmap);

}  // namespace pellox::ui
