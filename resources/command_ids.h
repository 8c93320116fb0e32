// Command ids and menu bar ids shared by the menus, the frame, the views and the
// application object. Values are fixed: they are the ids of the menu items.
#pragma once

namespace pellox::cmd {

inline constexpr int kOk = 1;                     // "Закрыть", the title OK button: minimise
inline constexpr int kDisconnect = 32772;         // "Отключить"
inline constexpr int kConnect = 32773;            // "Подключить" / "В сети"
// One's own status, submenu "Статус" (checked: the status chosen last).
inline constexpr int kStatusFreeForChat = 32774;   // "Готов болтать"
inline constexpr int kStatusAway = 32775;          // "Отсутствую"
inline constexpr int kStatusNotAvailable = 32776;  // "Нет на месте"
inline constexpr int kStatusOccupied = 32777;      // "Занят"
inline constexpr int kStatusDoNotDisturb = 32778;  // "Не беспокоить"
inline constexpr int kStatusInvisible = 32779;     // "Невидим"
// "В сети" of the submenu "Статус": a status like the others, so that its check
// mark and its enabling while connected do not carry over to "Подключить".
inline constexpr int kStatusOnline = 32780;
inline constexpr int kSettings = 32784;            // "Настройки"
inline constexpr int kWrite = 32785;               // "Написать"
inline constexpr int kMessageSent = 32790;         // posted by the conversation after a send
inline constexpr int kShowContacts = 32793;  // "Отмена" / "Отменить" / "Открыть"
inline constexpr int kSave = 32794;          // "Сохранить"
inline constexpr int kPreviousColumn = 32798;  // contact list button "<<"
inline constexpr int kNextColumn = 32799;      // contact list button ">>"
inline constexpr int kViewOk = 32800;          // the views' "OK" / send button
inline constexpr int kLoadContacts = 32801;    // "Загрузить с сервера"
inline constexpr int kAddContact = 32802;      // "Добавить контакт"
inline constexpr int kVisibleToListOnly = 32804;  // "Видим только для своих" (checkable)
inline constexpr int kShowOnlyOnline = 32805;  // "Отображать кто в сети" (checkable)
inline constexpr int kDeleteContact = 32807;       // "Удалить контакт"
inline constexpr int kContactInfo = 32810;         // "Информация о контакте"
inline constexpr int kAdd = 32811;                 // "Добавить"
inline constexpr int kCloseConversation = 32812;   // "Закрыть переписку"
inline constexpr int kDeleteConversation = 32814;  // "Удалить переписку"
// "Запросы авторизации": opens the windows of the authorization requests not yet
// answered.
inline constexpr int kAuthRequests = 32815;
inline constexpr int kExit = 57665;                // "Выход"
// People: the directory, details, privacy (32870-32899).
inline constexpr int kFindPeople = 32870;         // "Найти": the search form
inline constexpr int kOwnDetails = 32871;         // "Мои данные": one's own details form
inline constexpr int kContactDetails = 32872;     // "Информация": the contact's details
inline constexpr int kIgnoreContact = 32873;      // "Игнорировать"
inline constexpr int kAlwaysInvisibleTo = 32874;  // "Всегда невидим для" (checkable)
inline constexpr int kAlwaysVisibleTo = 32875;    // "Всегда видим для" (checkable)
inline constexpr int kIgnoredList = 32876;        // "Игнорируемые": the ignored numbers
inline constexpr int kSearchFind = 32877;         // the search form's "Найти"
inline constexpr int kTakeNickname = 32878;       // "Взять ник": the nickname as local name
inline constexpr int kUnignore = 32879;           // "Удалить из списка" of the ignored numbers
// "Сообщения только от контактов из списка" (checkable): the setting "onlylisted".
inline constexpr int kOnlyListed = 32880;

}  // namespace pellox::cmd

namespace pellox::menubar {

inline constexpr int kNone = 0;
inline constexpr int kMain = 128;          // contact list
inline constexpr int kMessage = 130;       // conversation
inline constexpr int kSettings = 131;      // settings form
inline constexpr int kUserInfo = 138;      // contact form, information mode
inline constexpr int kUserAdd = 139;       // contact form, add mode
inline constexpr int kNotification = 141;  // soft keys of the new-message notification
// The people forms (ids from the people commands' range, so that no other
// menu bar takes them).
inline constexpr int kPeopleSearch = 32896;  // the search form
inline constexpr int kPeopleDetails = 32897; // a contact's details
inline constexpr int kOwnDetails = 32898;    // one's own details
inline constexpr int kIgnoredList = 32899;   // the ignored numbers

}  // namespace pellox::menubar

// History search and export.
namespace pellox::cmd {

inline constexpr int kSearchHistory = 32850;       // "Поиск по истории": every conversation
inline constexpr int kFindInConversation = 32851;  // "Найти в переписке" (Ctrl+F)
inline constexpr int kExportConversation = 32852;  // "Экспорт переписки…"
inline constexpr int kOpenSearchHit = 32853;       // "Открыть": the hit chosen in the search

}  // namespace pellox::cmd

namespace pellox::menubar {

inline constexpr int kHistorySearch = 143;  // the search over every conversation

}  // namespace pellox::menubar

// One's own picture.
namespace pellox::cmd {

inline constexpr int kChoosePicture = 32920;  // "Выбрать…" of the picture on "Мои данные"
inline constexpr int kRemovePicture = 32921;  // "Убрать" of the picture on "Мои данные"

}  // namespace pellox::cmd

// Sending a file.
namespace pellox::cmd {

inline constexpr int kSendFile = 32940;    // "Отправить файл…"
inline constexpr int kAcceptFile = 32941;  // "Принять файл": the proposal waiting in the conversation
inline constexpr int kRefuseFile = 32942;  // "Отклонить файл"
inline constexpr int kCancelFile = 32943;  // "Отменить передачу": the newest one going on

}  // namespace pellox::cmd
