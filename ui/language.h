// The language of the interface: Russian (the texts as the string table, the menus
// and the forms hold them) or English (their translation, compiled into the
// program). Every fixed text the user sees is looked up through Qt's translation
// system under its context (resources/text_contexts.h; the forms' own), so
// installing a translation switches them all; with none installed the Russian
// source shows.
//
// The system's locale picks the language at start-up, and the setting "language"
// overrides it (see ChosenLanguage). Only what is shown changes: stored files and
// what is sent keep their fixed texts whatever the language.
//
// Everything here runs on the user-interface thread, but for TranslatedText (and
// so LoadQString and FormatQString), which any thread may call: Qt's lookup in the
// installed translations is thread-safe, and the language is chosen at start-up,
// before any network thread runs.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <string_view>

namespace pellox::ui {

enum class Language { Russian, English };

// The values of the setting "language"; empty (or anything else) means the system's.
inline constexpr char16_t kLanguageRussian[] = u"ru";
inline constexpr char16_t kLanguageEnglish[] = u"en";

// The system's language from the locale variables, by their precedence: the first
// of LC_ALL, LC_MESSAGES and LANG that is set and not empty. English when it
// starts with "en", Russian otherwise (and when none is set).
Language SystemLanguage();

// The language of the setting's value: "ru" Russian, "en" English, anything else
// (empty above all) the system's.
Language ChosenLanguage(std::u16string_view setting);

// Switches the interface to `language` for the windows made from now on: installs
// Pellox's English translation, or removes it for Russian, and loads Qt's own
// texts (the standard buttons, the input boxes' context menus) in the same
// language. Replaces what an earlier call installed. False when a translation the
// language needs could not be loaded (Qt's Russian one may be missing: its texts
// then stay English).
bool UseLanguage(Language language);
// The language of the last UseLanguage; Russian before any.
Language CurrentLanguage();

// Qt's own texts in Russian: installs Qt's translation of them from Qt's
// translations folder. False, and they stay English, when it is not installed.
bool InstallQtTranslations(QCoreApplication& app);

// A fixed Russian text as the interface shows it, translated under `context`.
QString TranslatedText(const char* context, std::u16string_view source);
// A menu item's text as the menus show it.
QString MenuQString(std::u16string_view text);

}  // namespace pellox::ui
