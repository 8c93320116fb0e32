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
    StringEntry{str::kLoginWrongPassword, u"Неверный номер или пароль"},
    StringEntry{str::kLoginTooOften, u"Слишком частые подключения, подождите"},
    StringEntry{str::kLoginAccountBlocked, u"Номер заблокирован"},
    StringEntry{str::kLoginClientTooOld, u"Версия клиента устарела"},
    StringEntry{str::kLoginRefused, u"Сервер отказал во входе"},
    StringEntry{str::kNoConnection, u"Нет соединения. Сообщение не отправлено."},
    StringEntry{str::kMessageNotSent, u"Сообщение для %1 не отправлено: %2."},
    StringEntry{str::kReasonNotWritten, u"соединение прервано"},
    StringEntry{str::kReasonRecipientAway, u"получатель недоступен"},
    StringEntry{str::kReasonTooMany, u"слишком много сообщений подряд"},
    StringEntry{str::kReasonRefused, u"получатель отказался его принять"},
    StringEntry{str::kReasonBadFormat, u"сервер не принял его формат"},
    StringEntry{str::kReasonOther, u"ошибка сервера %1"},
    StringEntry{str::kDeleteContactQuestion, u"Удалить контакт %1?"},
    StringEntry{str::kDeleteConversationQuestion, u"Удалить переписку с %1?"},
    StringEntry{str::kYes, u"Да"},
    StringEntry{str::kNo, u"Нет"},
    StringEntry{str::kFileNotRead,
                u"Не удалось прочитать файл «%1»: %2.\nФайл оставлен как есть и не будет "
                u"перезаписан, пока его не удастся прочитать."},
    StringEntry{str::kFileNotSaved, u"Не удалось сохранить файл «%1»: %2."},
    StringEntry{str::kAuthorizationTitle, u"Авторизация"},
    StringEntry{str::kAuthorizationQuestion, u"%1 просит авторизацию:\n%2"},
    StringEntry{str::kGrantAuthorization, u"Разрешить"},
    StringEntry{str::kRefuseAuthorization, u"Отказать"},
    StringEntry{str::kNotificationOpen, u"Открыть"},
    StringEntry{str::kNotificationClose, u"Закрыть"},
    StringEntry{str::kFieldControlCharacter,
                u"Поле «%1» содержит перевод строки или другой управляющий символ. "
                u"Исправьте его и сохраните снова."},
    StringEntry{str::kFieldDigitsOnly,
                u"В поле «%1» должен быть номер: от 1 до 10 цифр и ничего больше."},
    StringEntry{str::kTyping, u" печатает…"},
    StringEntry{str::kFolderUnusable, u"Папку данных %1 нельзя использовать: %2."},
    StringEntry{str::kFolderNotCreated, u"папку не удалось создать"},
    StringEntry{str::kFolderIsLink, u"это символическая ссылка"},
    StringEntry{str::kFolderNotAFolder, u"это не папка"},
    StringEntry{str::kFolderOtherOwner, u"папка принадлежит другому пользователю"},
    StringEntry{str::kFolderWritableByOthers,
                u"в папку могут писать другие пользователи (chmod 700 исправит)"},
    StringEntry{str::kFolderUnreadable, u"папку не удалось открыть"},
    StringEntry{str::kAlreadyRunning, u"Pellox уже запущен с папкой данных %1."},
    StringEntry{str::kFolderNotLocked, u"Папку данных %1 не удалось заблокировать."},
    StringEntry{str::kAnswerLater, u"Позже"},
    StringEntry{str::kMenuButton, u"Меню"},
    StringEntry{str::kWriteButton, u"Написать"},
    StringEntry{str::kCopyEntry, u"Копировать"},
    StringEntry{str::kA11yOffline, u"не в сети"},
    StringEntry{str::kA11yUnreadOne, u"%1 непрочитанное"},
    StringEntry{str::kA11yUnreadMany, u"%1 непрочитанных"},
    StringEntry{str::kA11yConversationOpen, u"переписка открыта"},
    StringEntry{str::kA11yTyping, u"печатает"},
    StringEntry{str::kA11yContactList, u"Список контактов"},
    StringEntry{str::kA11yConversation, u"Переписка"},
    StringEntry{str::kA11yOwnEntry, u"Я"},
    StringEntry{str::kA11yTraffic, u"получено %1 КБ, отправлено %2 КБ"},
    StringEntry{str::kA11yPreviousColumn, u"Предыдущий столбец"},
    StringEntry{str::kA11yNextColumn, u"Следующий столбец"},
    StringEntry{str::kA11ySend, u"Отправить"},
    StringEntry{str::kAuthRequestText, u"Пожалуйста, добавьте меня в список контактов."},
    StringEntry{str::kAuthGranted, u"Авторизация получена."},
    StringEntry{str::kAuthRefused, u"В авторизации отказано."},
    StringEntry{str::kYouWereAdded, u"Вас добавили в список контактов."},
    StringEntry{str::kAuthRequestedNotice, u"Просит авторизацию: %1"},
    StringEntry{str::kServerAddFailed,
                u"Контакт %1 не добавлен в список на сервере (ошибка %2): он останется только в этом списке."},
    StringEntry{str::kNewGroupName, u"Общие"},
    StringEntry{str::kSearchLine, u"Поиск в переписке"},
    StringEntry{str::kSearchCount, u"%1 из %2"},
    StringEntry{str::kSearchNothing, u"Не найдено"},
    StringEntry{str::kHistorySearchTitle, u"Поиск по истории"},
    StringEntry{str::kHistorySearchRunning, u"Поиск…"},
    StringEntry{str::kHistorySearchFound, u"Найдено: %1"},
    StringEntry{str::kHistorySearchFoundMore, u"Найдено: %1, показаны последние %2"},
    StringEntry{str::kHistorySearchNothing, u"Ничего не найдено"},
    StringEntry{str::kHistorySearchHits, u"Найденные сообщения"},
    StringEntry{str::kExportTitle, u"Экспорт переписки"},
    StringEntry{str::kExportTextFilter, u"Текст (*.txt)"},
    StringEntry{str::kExportHtmlFilter, u"HTML (*.html)"},
    StringEntry{str::kExportFileName, u"Переписка %1"},
    StringEntry{str::kExportHeading, u"Переписка между %1 и %2"},
    StringEntry{str::kExportSystem, u"Система"},
    StringEntry{str::kExportIntoDataFolder,
                u"В папку данных Pellox переписку сохранить нельзя: выберите другую папку."},
    StringEntry{str::kLoginCertificateUntrusted, u"Сертификат сервера не подтверждён"},
    StringEntry{str::kLoginCertificateChanged, u"Сертификат сервера изменился"},
    StringEntry{str::kLoginTlsFailed, u"Не удалось установить защищённое соединение"},
    StringEntry{str::kCertificateTitle, u"Сертификат сервера"},
    StringEntry{str::kCertificateQuestion,
                u"Система не может подтвердить сертификат сервера %1.\nОтпечаток SHA-256:\n%2\n\n"
                u"Доверять этому сертификату?"},
    StringEntry{str::kCertificateChanged,
                u"Сертификат сервера %1 изменился, соединение не установлено.\n"
                u"Доверенный сертификат (SHA-256):\n%2\nПредъявленный сертификат (SHA-256):\n%3"},
    StringEntry{str::kCertificateNotTrusted,
                u"Сертификат сервера сообщений не подтверждён, соединение не установлено.\n"
                u"Отпечаток SHA-256:\n%1"},
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

namespace {

// The text of a login refusal by its error code (TLV 0x0008 of the login reply).
int LoginRefusalStringId(int code) {
    switch (code) {
        case 0x0001:  // unknown number or wrong password
        case 0x0004:
        case 0x0005:
            return str::kLoginWrongPassword;
        case 0x0016:  // too many connections from this address
        case 0x0017:
        case 0x0018:  // connecting too often
        case 0x001D:
            return str::kLoginTooOften;
        case 0x0007:  // invalid, deleted, expired or suspended account
        case 0x0008:
        case 0x0009:
        case 0x0011:
            return str::kLoginAccountBlocked;
        case 0x001B:  // the client's version is too old
        case 0x001C:
            return str::kLoginClientTooOld;
        // The client's own (net/session.h), beside the server's 16-bit codes.
        case 0x10001:  // kRefusalCertificateUntrusted
            return str::kLoginCertificateUntrusted;
        case 0x10002:  // kRefusalCertificateChanged
            return str::kLoginCertificateChanged;
        case 0x10003:  // kRefusalTlsFailed
            return str::kLoginTlsFailed;
        default:
            return str::kLoginRefused;
    }
}

}  // namespace

int MessageNotSentReasonId(int reason) {
    switch (reason) {
        case 0:
            return str::kReasonNotWritten;
        case 0x0004:  // the recipient is not signed on (and nothing can be stored)
        case 0x0013:  // the recipient is temporarily unavailable
            return str::kReasonRecipientAway;
        case 0x0002:  // rate limits of the server or of the client
        case 0x0003:
            return str::kReasonTooMany;
        case 0x0009:  // not supported or refused by the recipient, or blocked
        case 0x000A:
        case 0x000D:
        case 0x0010:
            return str::kReasonRefused;
        case 0x000E:  // the message's format was not accepted
            return str::kReasonBadFormat;
        default:
            return str::kReasonOther;
    }
}

int ConnectionStateStringId(int state, int loginRefusal) {
    constexpr int kConnectionError = 2;
    if (loginRefusal != 0 && state == kConnectionError) return LoginRefusalStringId(loginRefusal);
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

std::u16string FormatString(int id, std::initializer_list<std::u16string_view> args) {
    const std::u16string_view text = StringView(id);
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t next = i + 1 < text.size() ? text[i + 1] : u'\0';
        const std::size_t index = next >= u'1' && next <= u'9' ? static_cast<std::size_t>(next - u'1') : args.size();
        if (text[i] == u'%' && index < args.size()) {
            out += *(args.begin() + index);
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace pellox
