// ImageButton: the owner-drawn push button of the dark screens. A grey face with a
// one-pixel frame and either a bitmap (centred, black transparent) or the caption
// (white, centred, word-wrapped). It sends its command id when clicked.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <QString>

namespace pellox::ui {

class ImageButton : public QPushButton {
    Q_OBJECT

public:
    explicit ImageButton(const QString& caption = QString(), int commandId = 0,
                         QWidget* parent = nullptr);

    int commandId() const { return commandId_; }
    void setCommandId(int id) { commandId_ = id; }

    // Sets the picture; its black pixels become transparent. A null image removes
    // it, and the caption is shown instead.
    void setBitmap(const QImage& bitmap);
    // Loads bitmap `id` of the resources (the caption stays as the fallback when
    // the bitmap is missing).
    void setBitmapId(int id);
    bool hasBitmap() const { return !bitmap_.isNull(); }

    // When set, the parent widget takes the focus back after the button is released,
    // so that the parent's keyboard handling keeps working.
    void setReturnFocus(bool on) { returnFocus_ = on; }
    bool returnFocus() const { return returnFocus_; }

    // Whether the button was pressed when it was last drawn.
    bool drawnPressed() const { return drawnPressed_; }
    bool penOver() const { return penOver_; }

    // Soft keys show their disabled state with a grey caption; the views' buttons
    // look the same whether enabled or not.
    void setDimWhenDisabled(bool on);

    QSize sizeHint() const override;

signals:
    void commandTriggered(int commandId);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    int commandId_ = 0;
    QPixmap bitmap_;
    bool returnFocus_ = false;
    bool penOver_ = false;
    bool drawnPressed_ = false;
    bool dimWhenDisabled_ = false;
};

// Paints the button look into `rect`: used by ImageButton and by anything else
// that wants the same face (the frame's header and soft-key bar).
void PaintButtonFace(QPainter& painter, const QRect& rect, bool pressed);

}  // namespace pellox::ui
