<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ru">
<context>
    <name>Menus</name>
    <message>
        <source>В сети</source>
        <translation>Online</translation>
    </message>
    <message>
        <source>Видим только для своих</source>
        <translation>Visible to my list only</translation>
    </message>
    <message>
        <source>Выход</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>Готов болтать</source>
        <translation>Free for chat</translation>
    </message>
    <message>
        <source>Добавить</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>Добавить контакт</source>
        <translation>Add contact</translation>
    </message>
    <message>
        <source>Загрузить с сервера</source>
        <translation>Load from server</translation>
    </message>
    <message>
        <source>Закрыть</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Закрыть переписку</source>
        <translation>Close conversation</translation>
    </message>
    <message>
        <source>Занят</source>
        <translation>Occupied</translation>
    </message>
    <message>
        <source>Запросы авторизации</source>
        <translation>Authorization requests</translation>
    </message>
    <message>
        <source>Информация о контакте</source>
        <translation>Contact information</translation>
    </message>
    <message>
        <source>Контакты</source>
        <translation>Contacts</translation>
    </message>
    <message>
        <source>Меню</source>
        <translation>Menu</translation>
    </message>
    <message>
        <source>Написать</source>
        <translation>Write</translation>
    </message>
    <message>
        <source>Настройки</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>Не беспокоить</source>
        <translation>Do not disturb</translation>
    </message>
    <message>
        <source>Невидим</source>
        <translation>Invisible</translation>
    </message>
    <message>
        <source>Нет на месте</source>
        <translation>Not available</translation>
    </message>
    <message>
        <source>Отключить</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>Открыть</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Отменить</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Отображать кто в сети</source>
        <translation>Show only who is online</translation>
    </message>
    <message>
        <source>Отсутствую</source>
        <translation>Away</translation>
    </message>
    <message>
        <source>Подключить</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>Сохранить</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>Статус</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>Удалить контакт</source>
        <translation>Delete contact</translation>
    </message>
    <message>
        <source>Удалить переписку</source>
        <translation>Delete conversation</translation>
    </message>
    <message>
        <source>Найти в переписке</source>
        <translation>Find in conversation</translation>
    </message>
    <message>
        <source>Поиск по истории</source>
        <translation>Search history</translation>
    </message>
    <message>
        <source>Экспорт переписки…</source>
        <translation>Export conversation…</translation>
    </message>
    <message>
        <source>Взять ник</source>
        <translation>Use nickname</translation>
    </message>
    <message>
        <source>Всегда видим для</source>
        <translation>Always visible to</translation>
    </message>
    <message>
        <source>Всегда невидим для</source>
        <translation>Always invisible to</translation>
    </message>
    <message>
        <source>Игнорировать</source>
        <translation>Ignore</translation>
    </message>
    <message>
        <source>Игнорируемые</source>
        <translation>Ignored</translation>
    </message>
    <message>
        <source>Информация</source>
        <translation>User details</translation>
    </message>
    <message>
        <source>Мои данные</source>
        <translation>My details</translation>
    </message>
    <message>
        <source>Найти</source>
        <translation>Find</translation>
    </message>
    <message>
        <source>Сообщения только от контактов из списка</source>
        <translation>Messages from my list only</translation>
    </message>
    <message>
        <source>Удалить из списка</source>
        <translation>Remove from list</translation>
    </message>
    <message>
        <source>Отклонить файл</source>
        <translation>Decline file</translation>
    </message>
    <message>
        <source>Отменить передачу</source>
        <translation>Cancel transfer</translation>
    </message>
    <message>
        <source>Отправить файл…</source>
        <translation>Send file…</translation>
    </message>
    <message>
        <source>Принять файл</source>
        <translation>Accept file</translation>
    </message>
</context>
<context>
    <name>SettingsForm</name>
    <message>
        <source>Номер ICQ</source>
        <translation>ICQ number</translation>
    </message>
    <message>
        <source>только цифры</source>
        <translation>digits only</translation>
    </message>
    <message>
        <source>Пароль</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>пароль</source>
        <translation>password</translation>
    </message>
    <message>
        <source>Сервер</source>
        <translation>Server</translation>
    </message>
    <message>
        <source>Автосоединение</source>
        <translation>Connect at start</translation>
    </message>
    <message>
        <source>Закрывать при отправке</source>
        <translation>Close after sending</translation>
    </message>
    <message>
        <source>Переподключаться при обрыве</source>
        <translation>Reconnect when cut off</translation>
    </message>
    <message>
        <source>Сообщать о наборе текста</source>
        <translation>Tell when I am typing</translation>
    </message>
    <message>
        <source>Язык</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>Как в системе</source>
        <translation>System default</translation>
    </message>
    <message>
        <source>Удалить профиль</source>
        <translation>Delete profile</translation>
    </message>
    <message>
        <source>Язык сменится при следующем запуске.</source>
        <translation>The language changes at the next start.</translation>
    </message>
    <message>
        <source>Вход:</source>
        <translation>Login:</translation>
    </message>
    <message>
        <source>простой</source>
        <translation>plain</translation>
    </message>
    <message>
        <source>Шифровать соединение (TLS)</source>
        <translation>Encrypt connection (TLS)</translation>
    </message>
</context>
<context>
    <name>Strings</name>
    <message>
        <source> ZORBEL!</source>
        <extracomment>string 128</extracomment>
        <translation> ZORBEL!</translation>
    </message>
    <message>
        <source>Загружается переписка</source>
        <extracomment>string 129</extracomment>
        <translation>Loading the conversation</translation>
    </message>
    <message>
        <source>Переписки не найдено</source>
        <extracomment>string 130</extracomment>
        <translation>No conversation found</translation>
    </message>
    <message>
        <source>Открытие соединения</source>
        <extracomment>string 131</extracomment>
        <translation>Opening connection</translation>
    </message>
    <message>
        <source>Ошибка соединения</source>
        <extracomment>string 132</extracomment>
        <translation>Connection error</translation>
    </message>
    <message>
        <source>Соединение с сервером регистрации</source>
        <extracomment>string 133</extracomment>
        <translation>Connecting to the login server</translation>
    </message>
    <message>
        <source>Соединение с сервером ICQ</source>
        <extracomment>string 134</extracomment>
        <translation>Connecting to the ICQ server</translation>
    </message>
    <message>
        <source>Проверка имени и пароля</source>
        <extracomment>string 135</extracomment>
        <translation>Checking number and password</translation>
    </message>
    <message>
        <source>Загрузка контактов</source>
        <extracomment>string 136</extracomment>
        <translation>Loading contacts</translation>
    </message>
    <message>
        <source>Отключен</source>
        <extracomment>string 137</extracomment>
        <translation>Disconnected</translation>
    </message>
    <message>
        <source>Отключен другим клиентом</source>
        <extracomment>string 138</extracomment>
        <translation>Disconnected by another client</translation>
    </message>
    <message>
        <source>Загруза оффлайн сообщений</source>
        <extracomment>string 139</extracomment>
        <translation>Loading offline messages</translation>
    </message>
    <message>
        <source>Меню</source>
        <extracomment>string 301</extracomment>
        <translation>Menu</translation>
    </message>
    <message>
        <source>Написать</source>
        <extracomment>string 302
----------
string 2398</extracomment>
        <translation>Write</translation>
    </message>
    <message>
        <source>Копировать</source>
        <extracomment>string 320</extracomment>
        <translation>Copy</translation>
    </message>
    <message>
        <source>Неверный номер или пароль</source>
        <extracomment>string 2001</extracomment>
        <translation>Wrong number or password</translation>
    </message>
    <message>
        <source>Слишком частые подключения, подождите</source>
        <extracomment>string 2002</extracomment>
        <translation>Connecting too often, please wait</translation>
    </message>
    <message>
        <source>Номер заблокирован</source>
        <extracomment>string 2003</extracomment>
        <translation>The number is blocked</translation>
    </message>
    <message>
        <source>Версия клиента устарела</source>
        <extracomment>string 2004</extracomment>
        <translation>The client version is too old</translation>
    </message>
    <message>
        <source>Сервер отказал во входе</source>
        <extracomment>string 2005</extracomment>
        <translation>The server refused the sign-on</translation>
    </message>
    <message>
        <source>Нет соединения. Сообщение не отправлено.</source>
        <extracomment>string 2010</extracomment>
        <translation>No connection. The message was not sent.</translation>
    </message>
    <message>
        <source>Сообщение для %1 не отправлено: %2.</source>
        <extracomment>string 2011</extracomment>
        <translation>The message to %1 was not sent: %2.</translation>
    </message>
    <message>
        <source>соединение прервано</source>
        <extracomment>string 2012</extracomment>
        <translation>the connection was cut off</translation>
    </message>
    <message>
        <source>получатель недоступен</source>
        <extracomment>string 2013</extracomment>
        <translation>the recipient is unavailable</translation>
    </message>
    <message>
        <source>слишком много сообщений подряд</source>
        <extracomment>string 2014</extracomment>
        <translation>too many messages in a row</translation>
    </message>
    <message>
        <source>получатель отказался его принять</source>
        <extracomment>string 2015</extracomment>
        <translation>the recipient refused it</translation>
    </message>
    <message>
        <source>сервер не принял его формат</source>
        <extracomment>string 2016</extracomment>
        <translation>the server did not accept its format</translation>
    </message>
    <message>
        <source>ошибка сервера %1</source>
        <extracomment>string 2017</extracomment>
        <translation>server error %1</translation>
    </message>
    <message>
        <source>Удалить контакт %1?</source>
        <extracomment>string 2020</extracomment>
        <translation>Delete the contact %1?</translation>
    </message>
    <message>
        <source>Удалить переписку с %1?</source>
        <extracomment>string 2021</extracomment>
        <translation>Delete the conversation with %1?</translation>
    </message>
    <message>
        <source>Да</source>
        <extracomment>string 2022</extracomment>
        <translation>Yes</translation>
    </message>
    <message>
        <source>Нет</source>
        <extracomment>string 2023</extracomment>
        <translation>No</translation>
    </message>
    <message>
        <source>Не удалось прочитать файл «%1»: %2.
Файл оставлен как есть и не будет перезаписан, пока его не удастся прочитать.</source>
        <extracomment>string 2030</extracomment>
        <translation>Could not read the file “%1”: %2.
The file is left as it is and will not be overwritten until it can be read.</translation>
    </message>
    <message>
        <source>Не удалось сохранить файл «%1»: %2.</source>
        <extracomment>string 2031</extracomment>
        <translation>Could not save the file “%1”: %2.</translation>
    </message>
    <message>
        <source>Авторизация</source>
        <extracomment>string 2032</extracomment>
        <translation>Authorization</translation>
    </message>
    <message>
        <source>%1 просит авторизацию:
%2</source>
        <extracomment>string 2033</extracomment>
        <translation>%1 asks for authorization:
%2</translation>
    </message>
    <message>
        <source>Разрешить</source>
        <extracomment>string 2034</extracomment>
        <translation>Allow</translation>
    </message>
    <message>
        <source>Отказать</source>
        <extracomment>string 2035</extracomment>
        <translation>Refuse</translation>
    </message>
    <message>
        <source>Открыть</source>
        <extracomment>string 2036</extracomment>
        <translation>Open</translation>
    </message>
    <message>
        <source>Закрыть</source>
        <extracomment>string 2037</extracomment>
        <translation>Close</translation>
    </message>
    <message>
        <source>Поле «%1» содержит перевод строки или другой управляющий символ. Исправьте его и сохраните снова.</source>
        <extracomment>string 2038</extracomment>
        <translation>The field “%1” contains a line break or another control character. Correct it and save again.</translation>
    </message>
    <message>
        <source>В поле «%1» должен быть номер: от 1 до 10 цифр и ничего больше.</source>
        <extracomment>string 2039</extracomment>
        <translation>The field “%1” must hold a number: 1 to 10 digits and nothing else.</translation>
    </message>
    <message>
        <source> печатает…</source>
        <extracomment>string 2040</extracomment>
        <translation> is typing…</translation>
    </message>
    <message>
        <source>Папку данных %1 нельзя использовать: %2.</source>
        <extracomment>string 2041</extracomment>
        <translation>The data folder %1 cannot be used: %2.</translation>
    </message>
    <message>
        <source>папку не удалось создать</source>
        <extracomment>string 2042</extracomment>
        <translation>the folder could not be created</translation>
    </message>
    <message>
        <source>это символическая ссылка</source>
        <extracomment>string 2043</extracomment>
        <translation>it is a symbolic link</translation>
    </message>
    <message>
        <source>это не папка</source>
        <extracomment>string 2044</extracomment>
        <translation>it is not a folder</translation>
    </message>
    <message>
        <source>папка принадлежит другому пользователю</source>
        <extracomment>string 2045</extracomment>
        <translation>the folder belongs to another user</translation>
    </message>
    <message>
        <source>в папку могут писать другие пользователи (chmod 700 исправит)</source>
        <extracomment>string 2046</extracomment>
        <translation>other users can write to the folder (chmod 700 fixes that)</translation>
    </message>
    <message>
        <source>папку не удалось открыть</source>
        <extracomment>string 2047</extracomment>
        <translation>the folder could not be opened</translation>
    </message>
    <message>
        <source>Pellox уже запущен с папкой данных %1.</source>
        <extracomment>string 2048</extracomment>
        <translation>Pellox is already running with the data folder %1.</translation>
    </message>
    <message>
        <source>Папку данных %1 не удалось заблокировать.</source>
        <extracomment>string 2049</extracomment>
        <translation>The data folder %1 could not be locked.</translation>
    </message>
    <message>
        <source>Позже</source>
        <extracomment>string 2050</extracomment>
        <translation>Later</translation>
    </message>
    <message>
        <source>не в сети</source>
        <extracomment>string 2200
----------
string 2396</extracomment>
        <translation>offline</translation>
    </message>
    <message>
        <source>%1 непрочитанное</source>
        <extracomment>string 2201</extracomment>
        <translation>%1 unread</translation>
    </message>
    <message>
        <source>%1 непрочитанных</source>
        <extracomment>string 2202</extracomment>
        <translation>%1 unread</translation>
    </message>
    <message>
        <source>переписка открыта</source>
        <extracomment>string 2203</extracomment>
        <translation>conversation open</translation>
    </message>
    <message>
        <source>печатает</source>
        <extracomment>string 2204</extracomment>
        <translation>typing</translation>
    </message>
    <message>
        <source>Список контактов</source>
        <extracomment>string 2205</extracomment>
        <translation>Contact list</translation>
    </message>
    <message>
        <source>Переписка</source>
        <extracomment>string 2206</extracomment>
        <translation>Conversation</translation>
    </message>
    <message>
        <source>Я</source>
        <extracomment>string 2207</extracomment>
        <translation>Me</translation>
    </message>
    <message>
        <source>получено %1 КБ, отправлено %2 КБ</source>
        <extracomment>string 2208</extracomment>
        <translation>received %1 KB, sent %2 KB</translation>
    </message>
    <message>
        <source>Предыдущий столбец</source>
        <extracomment>string 2209</extracomment>
        <translation>Previous column</translation>
    </message>
    <message>
        <source>Следующий столбец</source>
        <extracomment>string 2210</extracomment>
        <translation>Next column</translation>
    </message>
    <message>
        <source>Отправить</source>
        <extracomment>string 2211</extracomment>
        <translation>Send</translation>
    </message>
    <message>
        <source>Пожалуйста, добавьте меня в список контактов.</source>
        <extracomment>string 2100</extracomment>
        <translation>Please add me to your contact list.</translation>
    </message>
    <message>
        <source>Авторизация получена.</source>
        <extracomment>string 2101</extracomment>
        <translation>Authorization granted.</translation>
    </message>
    <message>
        <source>В авторизации отказано.</source>
        <extracomment>string 2102</extracomment>
        <translation>Authorization refused.</translation>
    </message>
    <message>
        <source>Вас добавили в список контактов.</source>
        <extracomment>string 2103</extracomment>
        <translation>You were added to a contact list.</translation>
    </message>
    <message>
        <source>Просит авторизацию: %1</source>
        <extracomment>string 2104</extracomment>
        <translation>Asks for authorization: %1</translation>
    </message>
    <message>
        <source>Контакт %1 не добавлен в список на сервере (ошибка %2): он останется только в этом списке.</source>
        <extracomment>string 2105</extracomment>
        <translation>Contact %1 was not added to the server list (error %2): it stays in this list only.</translation>
    </message>
    <message>
        <source>Общие</source>
        <extracomment>string 2106</extracomment>
        <translation>General</translation>
    </message>
    <message>
        <source>Поиск в переписке</source>
        <extracomment>string 2250</extracomment>
        <translation>Search in conversation</translation>
    </message>
    <message>
        <source>%1 из %2</source>
        <extracomment>string 2251</extracomment>
        <translation>%1 of %2</translation>
    </message>
    <message>
        <source>Не найдено</source>
        <extracomment>string 2252</extracomment>
        <translation>Not found</translation>
    </message>
    <message>
        <source>Поиск по истории</source>
        <extracomment>string 2253</extracomment>
        <translation>Search history</translation>
    </message>
    <message>
        <source>Поиск…</source>
        <extracomment>string 2254</extracomment>
        <translation>Searching…</translation>
    </message>
    <message>
        <source>Найдено: %1</source>
        <extracomment>string 2255
----------
string 2393</extracomment>
        <translation>Found: %1</translation>
    </message>
    <message>
        <source>Найдено: %1, показаны последние %2</source>
        <extracomment>string 2256</extracomment>
        <translation>Found: %1, showing the latest %2</translation>
    </message>
    <message>
        <source>Ничего не найдено</source>
        <extracomment>string 2257</extracomment>
        <translation>Nothing found</translation>
    </message>
    <message>
        <source>Найденные сообщения</source>
        <extracomment>string 2258</extracomment>
        <translation>Messages found</translation>
    </message>
    <message>
        <source>Экспорт переписки</source>
        <extracomment>string 2259</extracomment>
        <translation>Export conversation</translation>
    </message>
    <message>
        <source>Текст (*.txt)</source>
        <extracomment>string 2260</extracomment>
        <translation>Text (*.txt)</translation>
    </message>
    <message>
        <source>HTML (*.html)</source>
        <extracomment>string 2261</extracomment>
        <translation>HTML (*.html)</translation>
    </message>
    <message>
        <source>Переписка %1</source>
        <extracomment>string 2262</extracomment>
        <translation>Conversation %1</translation>
    </message>
    <message>
        <source>Переписка между %1 и %2</source>
        <extracomment>string 2263</extracomment>
        <translation>Conversation between %1 and %2</translation>
    </message>
    <message>
        <source>Система</source>
        <extracomment>string 2264</extracomment>
        <translation>System</translation>
    </message>
    <message>
        <source>В папку данных Pellox переписку сохранить нельзя: выберите другую папку.</source>
        <extracomment>string 2265</extracomment>
        <translation>A conversation cannot be saved in the Pellox data folder: choose another folder.</translation>
    </message>
    <message>
        <source>Сертификат сервера не подтверждён</source>
        <extracomment>string 2300</extracomment>
        <translation>Server certificate not verified</translation>
    </message>
    <message>
        <source>Сертификат сервера изменился</source>
        <extracomment>string 2301</extracomment>
        <translation>Server certificate has changed</translation>
    </message>
    <message>
        <source>Не удалось установить защищённое соединение</source>
        <extracomment>string 2302</extracomment>
        <translation>Could not establish a secure connection</translation>
    </message>
    <message>
        <source>Сертификат сервера</source>
        <extracomment>string 2303</extracomment>
        <translation>Server certificate</translation>
    </message>
    <message>
        <source>Система не может подтвердить сертификат сервера %1.
Отпечаток SHA-256:
%2

Доверять этому сертификату?</source>
        <extracomment>string 2304</extracomment>
        <translation>The system cannot verify the certificate of the server %1.
SHA-256 fingerprint:
%2

Trust this certificate?</translation>
    </message>
    <message>
        <source>Сертификат сервера %1 изменился, соединение не установлено.
Доверенный сертификат (SHA-256):
%2
Предъявленный сертификат (SHA-256):
%3</source>
        <extracomment>string 2305</extracomment>
        <translation>The certificate of the server %1 has changed; no connection was made.
Trusted certificate (SHA-256):
%2
Presented certificate (SHA-256):
%3</translation>
    </message>
    <message>
        <source>Сертификат сервера сообщений не подтверждён, соединение не установлено.
Отпечаток SHA-256:
%1</source>
        <extracomment>string 2306</extracomment>
        <translation>The messaging server&apos;s certificate could not be verified; no connection was made.
SHA-256 fingerprint:
%1</translation>
    </message>
    <message>
        <source>Отсутствую</source>
        <extracomment>string 2350</extracomment>
        <translation>Away</translation>
    </message>
    <message>
        <source>Нет на месте</source>
        <extracomment>string 2351</extracomment>
        <translation>Not available</translation>
    </message>
    <message>
        <source>Занят</source>
        <extracomment>string 2352</extracomment>
        <translation>Occupied</translation>
    </message>
    <message>
        <source>Не беспокоить</source>
        <extracomment>string 2353</extracomment>
        <translation>Do not disturb</translation>
    </message>
    <message>
        <source>Статус «%1»: %2</source>
        <extracomment>string 2354</extracomment>
        <translation>Status “%1”: %2</translation>
    </message>
    <message>
        <source>Сообщения от незнакомых</source>
        <extracomment>string 2355</extracomment>
        <translation>Messages from strangers</translation>
    </message>
    <message>
        <source>Не показано сообщений и запросов от номеров не из списка: %1. Чтобы их видеть, снимите в меню «Контакты» отметку «Сообщения только от контактов из списка».</source>
        <extracomment>string 2356</extracomment>
        <translation>Messages and requests not shown from numbers outside your list: %1. To see them, clear “Messages from my list only” in the “Contacts” menu.</translation>
    </message>
    <message>
        <source>Номер</source>
        <extracomment>string 2360</extracomment>
        <translation>Number</translation>
    </message>
    <message>
        <source>E-mail</source>
        <extracomment>string 2361</extracomment>
        <translation>E-mail</translation>
    </message>
    <message>
        <source>Ник</source>
        <extracomment>string 2362</extracomment>
        <translation>Nickname</translation>
    </message>
    <message>
        <source>Имя</source>
        <extracomment>string 2363</extracomment>
        <translation>First name</translation>
    </message>
    <message>
        <source>Фамилия</source>
        <extracomment>string 2364</extracomment>
        <translation>Last name</translation>
    </message>
    <message>
        <source>Город</source>
        <extracomment>string 2365</extracomment>
        <translation>City</translation>
    </message>
    <message>
        <source>О себе</source>
        <extracomment>string 2366</extracomment>
        <translation>About me</translation>
    </message>
    <message>
        <source>Область</source>
        <extracomment>string 2367</extracomment>
        <translation>State</translation>
    </message>
    <message>
        <source>Телефон</source>
        <extracomment>string 2368</extracomment>
        <translation>Phone</translation>
    </message>
    <message>
        <source>Факс</source>
        <extracomment>string 2369</extracomment>
        <translation>Fax</translation>
    </message>
    <message>
        <source>Адрес</source>
        <extracomment>string 2370</extracomment>
        <translation>Address</translation>
    </message>
    <message>
        <source>Мобильный</source>
        <extracomment>string 2371</extracomment>
        <translation>Mobile</translation>
    </message>
    <message>
        <source>Индекс</source>
        <extracomment>string 2372</extracomment>
        <translation>ZIP code</translation>
    </message>
    <message>
        <source>Возраст</source>
        <extracomment>string 2373</extracomment>
        <translation>Age</translation>
    </message>
    <message>
        <source>Пол</source>
        <extracomment>string 2374</extracomment>
        <translation>Gender</translation>
    </message>
    <message>
        <source>Страница</source>
        <extracomment>string 2375</extracomment>
        <translation>Home page</translation>
    </message>
    <message>
        <source>Дата рождения</source>
        <extracomment>string 2376</extracomment>
        <translation>Birthday</translation>
    </message>
    <message>
        <source>Другие адреса</source>
        <extracomment>string 2377</extracomment>
        <translation>Other e-mails</translation>
    </message>
    <message>
        <source>Компания</source>
        <extracomment>string 2378</extracomment>
        <translation>Company</translation>
    </message>
    <message>
        <source>Отдел</source>
        <extracomment>string 2379</extracomment>
        <translation>Department</translation>
    </message>
    <message>
        <source>Должность</source>
        <extracomment>string 2380</extracomment>
        <translation>Position</translation>
    </message>
    <message>
        <source>Город работы</source>
        <extracomment>string 2381</extracomment>
        <translation>Work city</translation>
    </message>
    <message>
        <source>Интересы</source>
        <extracomment>string 2382</extracomment>
        <translation>Interests</translation>
    </message>
    <message>
        <source>женский</source>
        <extracomment>string 2383</extracomment>
        <translation>female</translation>
    </message>
    <message>
        <source>мужской</source>
        <extracomment>string 2384</extracomment>
        <translation>male</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <extracomment>string 2385</extracomment>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>%1.%2.%3</source>
        <extracomment>string 2386</extracomment>
        <translation>%3-%2-%1</translation>
    </message>
    <message>
        <source>Поиск доступен только при подключении.</source>
        <extracomment>string 2390</extracomment>
        <translation>Search is available only while connected.</translation>
    </message>
    <message>
        <source>Идёт поиск…</source>
        <extracomment>string 2391</extracomment>
        <translation>Searching…</translation>
    </message>
    <message>
        <source>Никого не нашлось.</source>
        <extracomment>string 2392</extracomment>
        <translation>Nobody found.</translation>
    </message>
    <message>
        <source>Найдено: %1, ещё %2 не показано.</source>
        <extracomment>string 2394</extracomment>
        <translation>Found: %1; %2 more not shown.</translation>
    </message>
    <message>
        <source>в сети</source>
        <extracomment>string 2395</extracomment>
        <translation>online</translation>
    </message>
    <message>
        <source>Добавить</source>
        <extracomment>string 2397</extracomment>
        <translation>Add</translation>
    </message>
    <message>
        <source>Номер, e-mail или имя</source>
        <extracomment>string 2399</extracomment>
        <translation>Number, e-mail or name</translation>
    </message>
    <message>
        <source>Загрузка сведений с сервера…</source>
        <extracomment>string 2400</extracomment>
        <translation>Loading details from the server…</translation>
    </message>
    <message>
        <source>Сервер не знает этот номер.</source>
        <extracomment>string 2401</extracomment>
        <translation>The server does not know this number.</translation>
    </message>
    <message>
        <source>Данные можно получить и изменить только при подключении.</source>
        <extracomment>string 2402</extracomment>
        <translation>Your details can be loaded and changed only while connected.</translation>
    </message>
    <message>
        <source>Сохранение…</source>
        <extracomment>string 2403</extracomment>
        <translation>Saving…</translation>
    </message>
    <message>
        <source>Данные сохранены на сервере.</source>
        <extracomment>string 2404</extracomment>
        <translation>Details saved on the server.</translation>
    </message>
    <message>
        <source>Сервер не сохранил данные.</source>
        <extracomment>string 2405</extracomment>
        <translation>The server did not save the details.</translation>
    </message>
    <message>
        <source>Информация</source>
        <extracomment>string 2406</extracomment>
        <translation>Details</translation>
    </message>
    <message>
        <source>Текст статуса</source>
        <extracomment>string 2410</extracomment>
        <translation>Status message</translation>
    </message>
    <message>
        <source>Текст статуса «%1» для тех, кто его спросит:</source>
        <extracomment>string 2411</extracomment>
        <translation>Your “%1” status message, shown to those who ask:</translation>
    </message>
    <message>
        <source>ОК</source>
        <extracomment>string 2412</extracomment>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <extracomment>string 2413</extracomment>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Игнорировать %1? Сообщения и запросы от этого номера больше не будут показаны.</source>
        <extracomment>string 2420</extracomment>
        <translation>Ignore %1? Messages and requests from this number will no longer be shown.</translation>
    </message>
    <message>
        <source>Игнорируемые номера</source>
        <extracomment>string 2421</extracomment>
        <translation>Ignored numbers</translation>
    </message>
    <message>
        <source>Список пуст.</source>
        <extracomment>string 2422</extracomment>
        <translation>The list is empty.</translation>
    </message>
    <message>
        <source>Моя картинка</source>
        <extracomment>string 2480</extracomment>
        <translation>My picture</translation>
    </message>
    <message>
        <source>Картинки (*.png *.jpg *.jpeg *.gif *.bmp)</source>
        <extracomment>string 2481</extracomment>
        <translation>Pictures (*.png *.jpg *.jpeg *.gif *.bmp)</translation>
    </message>
    <message>
        <source>Из файла «%1» не получается картинка.</source>
        <extracomment>string 2482</extracomment>
        <translation>“%1” does not hold a picture Pellox can read.</translation>
    </message>
    <message>
        <source>Предложен файл «%1» (%2)</source>
        <extracomment>string 2530</extracomment>
        <translation>File “%1” (%2) offered</translation>
    </message>
    <message>
        <source>Файл «%1» (%2) отправлен</source>
        <extracomment>string 2531</extracomment>
        <translation>File “%1” (%2) sent</translation>
    </message>
    <message>
        <source>Файл «%1» (%2) получен: %3</source>
        <extracomment>string 2532</extracomment>
        <translation>File “%1” (%2) received: %3</translation>
    </message>
    <message>
        <source>Файл «%1» (%2) отклонён</source>
        <extracomment>string 2533</extracomment>
        <translation>File “%1” (%2) declined</translation>
    </message>
    <message>
        <source>Передача файла «%1» (%2) отменена</source>
        <extracomment>string 2534</extracomment>
        <translation>Transfer of “%1” (%2) cancelled</translation>
    </message>
    <message>
        <source>Передача файла «%1» (%2) не удалась</source>
        <extracomment>string 2535</extracomment>
        <translation>Transfer of “%1” (%2) failed</translation>
    </message>
    <message>
        <source>Передача файла «%1» (%2) прервана, принятая часть: %3</source>
        <extracomment>string 2536</extracomment>
        <translation>Transfer of “%1” (%2) interrupted; the part received: %3</translation>
    </message>
    <message>
        <source>Файл можно отправить только при подключении.</source>
        <extracomment>string 2537</extracomment>
        <translation>A file can be sent only while connected.</translation>
    </message>
    <message>
        <source>Этот файл не прочитать.</source>
        <extracomment>string 2538</extracomment>
        <translation>This file cannot be read.</translation>
    </message>
    <message>
        <source>Файл больше 4 ГБ отправить нельзя.</source>
        <extracomment>string 2539</extracomment>
        <translation>A file over 4 GB cannot be sent.</translation>
    </message>
    <message>
        <source>Слишком много передач сразу: дождитесь окончания одной из них.</source>
        <extracomment>string 2540</extracomment>
        <translation>Too many transfers at once: wait until one of them ends.</translation>
    </message>
    <message>
        <source>Отправить файл</source>
        <extracomment>string 2541</extracomment>
        <translation>Send file</translation>
    </message>
    <message>
        <source>Входящий файл «%1» (%2)</source>
        <extracomment>string 2542</extracomment>
        <translation>Incoming file “%1” (%2)</translation>
    </message>
    <message>
        <source>«%1» (%2): ждём ответа</source>
        <extracomment>string 2543</extracomment>
        <translation>“%1” (%2): waiting for an answer</translation>
    </message>
    <message>
        <source>«%1» (%2): соединение…</source>
        <extracomment>string 2544</extracomment>
        <translation>“%1” (%2): connecting…</translation>
    </message>
    <message>
        <source>«%1»: %2 из %3, %4/с, осталось %5 с</source>
        <extracomment>string 2545</extracomment>
        <translation>“%1”: %2 of %3, %4/s, %5 s left</translation>
    </message>
    <message>
        <source>Принять</source>
        <extracomment>string 2546</extracomment>
        <translation>Accept</translation>
    </message>
    <message>
        <source>Отклонить</source>
        <extracomment>string 2547</extracomment>
        <translation>Decline</translation>
    </message>
    <message>
        <source>Отменить</source>
        <extracomment>string 2548</extracomment>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>%1 Б</source>
        <extracomment>string 2549</extracomment>
        <translation>%1 B</translation>
    </message>
    <message>
        <source>%1 КБ</source>
        <extracomment>string 2550</extracomment>
        <translation>%1 KB</translation>
    </message>
    <message>
        <source>%1 МБ</source>
        <extracomment>string 2551</extracomment>
        <translation>%1 MB</translation>
    </message>
    <message>
        <source>%1 ГБ</source>
        <extracomment>string 2552</extracomment>
        <translation>%1 GB</translation>
    </message>
    <message>
        <source>Выбрать…</source>
        <extracomment>string 2483</extracomment>
        <translation>Choose…</translation>
    </message>
    <message>
        <source>Убрать</source>
        <extracomment>string 2484</extracomment>
        <translation>Remove</translation>
    </message>
    <message>
        <source>Файл можно отправить только контакту в сети.</source>
        <extracomment>string 2554</extracomment>
        <translation>A file can be sent only to a contact who is online.</translation>
    </message>
</context>
<context>
    <name>UserForm</name>
    <message>
        <source>Имя контакта</source>
        <translation>Contact name</translation>
    </message>
    <message>
        <source>Номер UIN</source>
        <translation>UIN</translation>
    </message>
    <message>
        <source>Получить с сервера</source>
        <translation>Get from server</translation>
    </message>
</context>
</TS>
