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

}  // namespace pellox::cmd

namespace pellox::menubar {

inline constexpr int kNone = 0;
inline constexpr int kMain = 128;          // contact list
inline constexpr int kMessage = 130;       // conversation
inline constexpr int kSettings = 131;      // settings form
inline constexpr int kUserInfo = 138;      // contact form, information mode
inline constexpr int kUserAdd = 139;       // contact form, add mode
inline constexpr int kNotification = 141;  // soft keys of the new-message notification

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
