// One log pane of the main view: a CEditList filling the pane. The left
// pane reports its width so that the first status pane follows it.
#pragma once
#include <QWidget>

class CEditList;

class CLogView : public QWidget {
    Q_OBJECT
public:
    explicit CLogView(QWidget* parent = nullptr);

    CEditList* edit() const { return edit_; }
    // Whether this pane reports its width (the left one).
    void set_reports_width(bool reports) { reports_width_ = reports; }

    void append(const QString& text);
    void clear();
    void view_last_line();

signals:
    void width_changed(int width);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    CEditList* edit_;
    bool reports_width_ = false;
};
