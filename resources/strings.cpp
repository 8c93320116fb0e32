#include "resources/strings.h"

#include <array>
#include <utility>

namespace pellox {

namespace {

struct StringEntry {
    int id;
    std::u16string_view text;
};

constexpr std::array kStrings{
    StringEntry{str::kTitle, u" ZORBEL!"},
    StringEntry{str::kHistoryLoading, u"Загружается переписка"},
    StringEntry{str::kHistoryEmpty, u"Переписки не найдено"},
    StringEntry{str::kOpeningConnection, u"Открытие соединения"},
    StringEntry{str::kConnectionError, u"Ошибка соединения"},
    StringEntry{str::kConnectingLoginServer, u"Соединение с сервером регистрации"},
    StringEntry{str::kConnectingMessagingServer, u"Соединение с сервером ICQ"},
    StringEntry{str::kCheckingPassword, u"Проверка имени и пароля"},
    StringEntry{str::kLoadingContacts, u"Загрузка контактов"},
    StringEntry{str::kDisconnected, u"Отключен"},
    StringEntry{str::kDisconnectedByOtherClient, u"Отключен другим клиентом"},
    StringEntry{str::kLoadingOfflineMessages, u"Загруза оффлайн сообщений"},
    StringEntry{str::kMenuButton, u"Меню"},
    StringEntry{str::kWriteButton, u"Написать"},
    StringEntry{str::kCopyEntry, u"Копировать"},
};

}  // namespace

std::u16string_view StringView(int id) {
    for (const StringEntry& entry : kStrings) {
        if (entry.id == id) return entry.text;
    }
    return {};
}

std::u16string LoadString(int id) {
    return std::u16string(StringView(id));
}

std::u16string_view FirstLine(std::u16string_view text) {
    return text.substr(0, text.find(u'\n'));
}

int ConnectionStateStringId(int state) {
    // Indexed by the connection state code 0..10; 0 = no text.
    constexpr std::array<int, 11> kByState{
        str::kDisconnected,               // 0 Disconnected
        str::kDisconnectedByOtherClient,  // 1 DisconnectedByOtherClient
        str::kConnectionError,            // 2 ConnectionError
        str::kOpeningConnection,          // 3 OpeningConnection
        str::kConnectingLoginServer,      // 4 ConnectingLoginServer
        str::kConnectingMessagingServer,  // 5 ConnectingMessagingServer
        str::kCheckingPassword,           // 6 CheckingPassword
        0,                                // 7 Online
        str::kLoadingOfflineMessages,     // 8 LoadingOfflineMessages
        str::kLoadingContacts,            // 9 LoadingContacts
        0,                                // 10 ContactsLoaded
    };
    if (state < 0 || std::cmp_greater_equal(state, kByState.size())) return 0;
    return kByState[static_cast<std::size_t>(state)];
}

}  // namespace pellox
