// Appending keeps the view where the operator left it: a view that showed
// the last line scrolls down by the lines added, any other view stays.
// Old lines go only while no scroll bar is held, so a dragged thumb never
// has the text pulled away under it; the next append after the drag trims.
#include "gui/CEditList.h"

#include <QFocusEvent>
#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

CEditList::CEditList(QWidget* parent) : QPlainTextEdit(parent)
{
    setObjectName("1000");
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setUndoRedoEnabled(false);
    connect(verticalScrollBar(), &QScrollBar::sliderPressed, this, [this] { vcode_ = kThumbTrack; });
    connect(verticalScrollBar(), &QScrollBar::sliderReleased, this, [this] { vcode_ = kEndScroll; });
    connect(horizontalScrollBar(), &QScrollBar::sliderPressed, this, [this] { hcode_ = kThumbTrack; });
    connect(horizontalScrollBar(), &QScrollBar::sliderReleased, this, [this] { hcode_ = kEndScroll; });
}

void CEditList::append_text(const QString& text)
{
    viewport()->setUpdatesEnabled(false);
    QScrollBar* bar = verticalScrollBar();
    bool at_end = bar->value() == bar->maximum();

    QString plain = text;
    plain.remove(QChar('\r'));
    int added = int(plain.count(QChar('\n')));
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(plain);

    lines_ += added;
    if (at_end)
        bar->setValue(bar->value() + added);

    if (vcode_ == kEndScroll && hcode_ == kEndScroll && lines_ > kMaxLines) {
        int blocks = (kTrimBlock + lines_ - kMaxLines - 1) / kTrimBlock;
        if (blocks > 0) {
            QTextCursor head(document());
            head.setPosition(document()->findBlockByNumber(kTrimBlock * blocks).position(),
                             QTextCursor::KeepAnchor);
            head.removeSelectedText();
            lines_ -= kTrimBlock * blocks;
        }
    }
    viewport()->setUpdatesEnabled(true);
}

void CEditList::clear_text()
{
    viewport()->setUpdatesEnabled(false);
    clear();
    viewport()->setUpdatesEnabled(true);
    lines_ = 0;
}

void CEditList::view_last_line()
{
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->value() + lines_);
}

int CEditList::scroll_code(Qt::Orientation direction) const
{
    return direction == Qt::Vertical ? vcode_ : hcode_;
}

void CEditList::focusInEvent(QFocusEvent* event)
{
    QPlainTextEdit::focusInEvent(event);
    if (!first_focus_)
        return;
    first_focus_ = false;
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);
}
