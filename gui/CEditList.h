// The read-only text of a log pane: appends lines, follows the end while
// the operator has not scrolled away, and drops the oldest lines in blocks
// of 1000 once more than 10000 are kept, but never while a scroll bar is
// held.
#pragma once
#include <QPlainTextEdit>

class CEditList : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 10000;  // lines kept at most
    static constexpr int kTrimBlock = 1000;  // lines removed at a time
    static constexpr int kEndScroll = 8;     // scroll code: no scrolling in progress
    static constexpr int kThumbTrack = 5;    // scroll code: the thumb is being dragged

    explicit CEditList(QWidget* parent = nullptr);

    // Append text (lines end with "\n"; CR is dropped).
    void append_text(const QString& text);
    // Empty the text; the line count starts again at 0.
    void clear_text();
    // Scroll down by the line count, to the last line.
    void view_last_line();

    // Lines appended since the last clear, less the trimmed ones.
    int lines() const { return lines_; }
    // The last scroll code of a direction.
    int scroll_code(Qt::Orientation direction) const;

protected:
    void focusInEvent(QFocusEvent* event) override;

private:
    bool first_focus_ = true;
    int vcode_ = kEndScroll;
    int hcode_ = kEndScroll;
    int lines_ = 0;
};
