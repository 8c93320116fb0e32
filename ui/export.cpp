#include "ui/export.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include "resources/strings.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {

namespace {

// The page's look follows the conversation view: white and yellowish text on dark
// grey, entry headers on a grey band, system entries in sky blue.
constexpr char kHtmlStyle[] =
    "body{margin:0;padding:12px;background:#333;color:#fff;"
    "font:14px Arial,\"Liberation Sans\",sans-serif}\n"
    "h1{margin:0 0 12px;font-size:16px;font-weight:normal;color:#62c9ec}\n"
    ".head{padding:2px 6px;background:linear-gradient(#666,#333);color:#c8c8c8;"
    "font-size:12px}\n"
    ".text{margin:0;padding:4px 6px 10px;white-space:pre-wrap;overflow-wrap:anywhere}\n"
    ".out .text{color:#ffff96}\n"
    ".system .text{color:#62c9ec}\n";

QString LineFeeds(const std::u16string& text) {
    QString result = QString::fromStdU16String(text);
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return result;
}

QString Writer(const ConversationExport& conversation, MessageDirection direction) {
    switch (direction) {
        case MessageDirection::In:
            return conversation.contactName;
        case MessageDirection::Out:
            return conversation.ownName;
        case MessageDirection::System:
            break;
    }
    return LoadQString(str::kExportSystem);
}

const char* DirectionClass(MessageDirection direction) {
    switch (direction) {
        case MessageDirection::In:
            return "in";
        case MessageDirection::Out:
            return "out";
        case MessageDirection::System:
            break;
    }
    return "system";
}

QString PlainText(const ConversationExport& conversation, const QString& title) {
    QString out = title + QStringLiteral("\n");
    for (const MessageEntry& entry : conversation.entries) {
        out +=
            QStringLiteral("\n%1, %2\n%3\n")
                .arg(Writer(conversation, entry.direction),
                     QString::fromStdU16String(HistoryTimeText(entry.time)), LineFeeds(entry.text));
    }
    return out;
}

QString Html(const ConversationExport& conversation, const QString& title) {
    const QString heading = title.toHtmlEscaped();
    QString out = QStringLiteral(
                      "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<title>%1</title>\n<style>\n%2</style>\n</head>\n<body>\n<h1>%1</h1>\n")
                      .arg(heading, QLatin1String(kHtmlStyle));
    for (const MessageEntry& entry : conversation.entries) {
        out += QStringLiteral(
                   "<div class=\"%1\"><div class=\"head\">%2, %3</div>"
                   "<p class=\"text\">%4</p></div>\n")
                   .arg(QLatin1String(DirectionClass(entry.direction)),
                        Writer(conversation, entry.direction).toHtmlEscaped(),
                        QString::fromStdU16String(HistoryTimeText(entry.time)).toHtmlEscaped(),
                        LineFeeds(entry.text).toHtmlEscaped());
    }
    out += QStringLiteral("</body>\n</html>\n");
    return out;
}

// Whether `path` names a place in the data directory `directory`, also through
// links: the file itself when it exists, otherwise the folder it would go into.
bool InDataDirectory(const QString& path, const std::string& directory) {
    const QString data = QDir(QString::fromStdString(directory)).canonicalPath();
    if (data.isEmpty()) return false;
    const QFileInfo target(path);
    const QString folder = target.absoluteDir().canonicalPath();
    const QString existing =
        target.exists() ? QFileInfo(target.canonicalFilePath()).absolutePath() : QString();
    return folder == data || existing == data;
}

}  // namespace

QByteArray ExportBytes(const ConversationExport& conversation, ExportFormat format) {
    const QString title =
        LoadQString(str::kExportHeading).arg(conversation.ownName, conversation.contactName);
    return (format == ExportFormat::Html ? Html(conversation, title)
                                         : PlainText(conversation, title))
        .toUtf8();
}

ExportFormat ExportFormatFor(const QString& path, bool htmlChosen) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("html") || suffix == QLatin1String("htm"))
        return ExportFormat::Html;
    if (suffix == QLatin1String("txt")) return ExportFormat::PlainText;
    return htmlChosen ? ExportFormat::Html : ExportFormat::PlainText;
}

bool ExportConversation(AppState& state, const ContactPtr& contact, const QString& path,
                        ExportFormat format, QString& error) {
    if (InDataDirectory(path, state.Directory())) {
        error = LoadQString(str::kExportIntoDataFolder);
        return false;
    }
    const std::shared_ptr<MessageHistory> history = state.GetHistory(contact);
    if (history == nullptr) return false;
    const ContactInfo info = contact->Snapshot();
    ConversationExport conversation;
    conversation.ownName =
        QString::fromStdU16String(state.ReadSettings([](const Settings& s) { return s.profile; }));
    conversation.contactName = QString::fromStdU16String(info.DisplayName());
    if (!info.name.empty() && info.name != info.uin) {
        conversation.contactName +=
            QStringLiteral(" (%1)").arg(QString::fromStdU16String(info.uin));
    }
    conversation.entries = history->Entries();
    const QByteArray bytes = ExportBytes(conversation, format);

    QSaveFile file(path);
    const bool existed = QFileInfo::exists(path);
    if (!file.open(QIODevice::WriteOnly) ||
        (!existed && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        error = LoadQString(str::kFileNotSaved).arg(path, file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}

}  // namespace pellox::ui
