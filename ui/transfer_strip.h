// The band of file transfers in a conversation, between the input area and the
// history: one row per transfer of the shown contact that has not ended (or
// ended within the last minute), with what it is doing and its progress (bytes,
// rate, time left), and on the right the buttons that fit: "Принять" and
// "Отклонить" for a proposal waiting for the user, "Отменить" while a transfer
// runs. The same commands are in the conversation menu ("Принять файл",
// "Отклонить файл", "Отменить передачу"), for the keyboard.
//
// User-interface thread only; it reads the transfers' snapshots and never
// waits for a transfer thread.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/file_transfer.h"

class QPainter;

namespace pellox::ui {

// A size with its unit in the interface's language.
std::u16string SizeText(std::uint64_t size);
// The notification of a file offered: its name and size in the interface's language.
QString FileOfferText(const std::u16string& fileName, std::uint64_t size);

class TransferStrip {
public:
    void SetTransfers(FileTransfers* transfers) { transfers_ = transfers; }
    FileTransfers* transfers() const { return transfers_; }

    // Reads the contact's transfers; true when the rows changed in number (the
    // layout then changes).
    bool Refresh(const std::u16string& uin);
    bool empty() const { return rows_.empty(); }
    const std::vector<TransferInfo>& rows() const { return rows_; }
    // Any row whose state may still change.
    bool active() const;
    int Height(int lineHeight) const;
    void Paint(QPainter& painter, const QRect& rect, const QFont& font);
    // A press at `point` on a button: carries it out and returns true.
    bool Click(const QPoint& point);

    // The text of one row (the state, or the progress of a running transfer).
    static QString RowText(const TransferInfo& info);

private:
    struct Button {
        QRect rect;
        std::uint64_t id = 0;
        int action = 0;  // the string id of its label
    };
    FileTransfers* transfers_ = nullptr;
    std::vector<TransferInfo> rows_;
    std::vector<Button> buttons_;
};

}  // namespace pellox::ui
