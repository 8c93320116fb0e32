#include "ui/language.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QTranslator>
#include <cstdlib>

#include "resources/text_contexts.h"

// The translations are compiled into this static library; their initialiser is
// only linked in when library code names it, so it is registered here.
static void InitTranslationResources() {
    Q_INIT_RESOURCE(pellox_translations);
}

namespace pellox::ui {

namespace {

// What UseLanguage installed; the application owns the translators, so they go
// with it.
struct Installed {
    QPointer<QTranslator> pellox;
    QPointer<QTranslator> qt;
    Language language = Language::Russian;
};

Installed& Current() {
    static Installed installed;
    return installed;
}

void Remove(QPointer<QTranslator>& translator) {
    if (translator.isNull()) return;
    QCoreApplication::removeTranslator(translator);
    delete translator.data();
    translator = nullptr;
}

// Loads `file` from `folder` (for the locale, when one is given) and installs it;
// false when it cannot be loaded.
bool Install(QPointer<QTranslator>& slot, const QString& file, const QString& folder,
             const QLocale* locale) {
    Remove(slot);
    auto* translator = new QTranslator(QCoreApplication::instance());
    const bool loaded = locale != nullptr
                            ? translator->load(*locale, file, QStringLiteral("_"), folder)
                            : translator->load(file, folder);
    if (!loaded || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    slot = translator;
    return true;
}

bool InstallQtRussian() {
    const QLocale russian(QLocale::Russian);
    return Install(Current().qt, QStringLiteral("qtbase"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath), &russian);
}

}  // namespace

Language SystemLanguage() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        return value[0] == 'e' && value[1] == 'n' ? Language::English : Language::Russian;
    }
    return Language::Russian;
}

Language ChosenLanguage(std::u16string_view setting) {
    if (setting == kLanguageRussian) return Language::Russian;
    if (setting == kLanguageEnglish) return Language::English;
    return SystemLanguage();
}

bool UseLanguage(Language language) {
    static const bool registered = (InitTranslationResources(), true);
    (void)registered;
    Installed& installed = Current();
    // Already in use (start-up asks for the system's language and then for the
    // setting's, mostly the same): the translators stay as they are.
    if (installed.language == language &&
        (language == Language::Russian ? !installed.qt.isNull() && installed.pellox.isNull()
                                       : !installed.pellox.isNull() && installed.qt.isNull())) {
        return true;
    }
    installed.language = language;
    if (language == Language::Russian) {
        Remove(installed.pellox);
        return InstallQtRussian();
    }
    // Qt's texts are English without a translation.
    Remove(installed.qt);
    return Install(installed.pellox, QStringLiteral("pellox_en.qm"), QStringLiteral(":/i18n"),
                   nullptr);
}

Language CurrentLanguage() {
    return Current().language;
}

bool InstallQtTranslations(QCoreApplication&) {
    return InstallQtRussian();
}

QString TranslatedText(const char* context, std::u16string_view source) {
    if (source.empty()) return QString();
    const QByteArray utf8 =
        QString::fromUtf16(source.data(), static_cast<qsizetype>(source.size())).toUtf8();
    return QCoreApplication::translate(context, utf8.constData());
}

QString MenuQString(std::u16string_view text) {
    return TranslatedText(kMenusContext, text);
}

}  // namespace pellox::ui
