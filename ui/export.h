// A conversation written to a file of the user's choice: UTF-8 plain text, or one
// self-contained HTML page (its style inside it, nothing fetched from elsewhere,
// every text escaped). Each entry comes with its date and time and the name of
// whoever wrote it; the page's title and heading name both sides. The history file
// is only read.
//
// User-interface thread only.
#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

#include "store/app_state.h"

namespace pellox::ui {

enum class ExportFormat { PlainText, Html };

struct ConversationExport {
    QString ownName;                    // the profile's number
    QString contactName;                // the contact as the conversation names it
    std::vector<MessageEntry> entries;  // oldest first
};

// The file's bytes. Line breaks are LF; the dates are local time, as the history
// file writes them ("%d.%m.%Y %H:%M:%S").
QByteArray ExportBytes(const ConversationExport& conversation, ExportFormat format);

// The format for a chosen path: its suffix decides (".html", ".htm", ".txt"), and
// where it says nothing the filter chosen in the file dialog.
ExportFormat ExportFormatFor(const QString& path, bool htmlChosen);

// Exports the contact's conversation (its history loaded first when needed) to
// `path`, whole or not at all: the new file replaces an old one only once it is
// written completely. A file made new gets mode 0600, as the conversation's own.
// Refused for a path inside the data directory, where the file could replace
// the history itself or another stored file. False with `error` telling the user
// why.
bool ExportConversation(AppState& state, const ContactPtr& contact, const QString& path,
                        ExportFormat format, QString& error);

}  // namespace pellox::ui
