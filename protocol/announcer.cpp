#include "protocol/announcer.h"

#include "net/text_encoding.h"
#include "protocol/file_transfer.h"
#include "resources/strings.h"

namespace pellox {

std::u16string AnnouncementTitle(std::u16string_view displayName, std::u16string_view uin) {
    if (displayName == uin) return u"ICQ: " + std::u16string(uin);
    if (displayName.size() > kMaxAnnouncedName) {
        std::size_t end = kMaxAnnouncedName;
        if (IsHighSurrogate(displayName[end - 1])) --end;
        displayName = displayName.substr(0, end);
    }
    std::u16string title;
    title.reserve(displayName.size() + uin.size() + 8);
    title += u"ICQ: ";
    title += displayName;
    title += u" (";
    title += uin;
    title += u")";
    return title;
}

bool Announcer::ShowFileOffer(const std::u16string& title, const std::u16string& fileName,
                              std::uint64_t size) {
    return ShowNotification(title, FormatString(str::kFileProposed, {fileName, FileSizeText(size)}));
}

bool Announcer::ShowStringNotification(const NotificationTitle& title, int stringId,
                                       const std::vector<std::u16string>& args) {
    const std::vector<std::u16string_view> views(args.begin(), args.end());
    const auto* titleId = std::get_if<int>(&title);
    return ShowNotification(titleId != nullptr ? LoadString(*titleId) : std::get<std::u16string>(title),
                            FormatText(StringView(stringId), views));
}

void AnnounceMessage(Announcer& announcer, const std::u16string& title,
                     const std::u16string& body) {
    if (!announcer.MainWindowActive() && announcer.ShowNotification(title, body)) return;
    announcer.PlaySound(kIncomingMessageSound);
}

}  // namespace pellox
