// The client area of the main frame: a splitter with the PLC log on the
// left and the SECS log on the right. The left pane keeps its share of the
// width when the window is resized; with saving on, its width is stored as
// SplitW in section "MainView" when the view goes.
#pragma once
#include <QWidget>

class CqzrZUVEApp;
class CLogView;
class QSplitter;

class CMainView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kDefaultWidth = 155;  // left pane without a saved width
    static constexpr int kMinWidth = 10;

    // save: the frame's Save setting, read when the view is built and when
    // it goes.
    CMainView(const CqzrZUVEApp& app, const int& save, QWidget* parent = nullptr);
    ~CMainView() override;

    CLogView* left() const { return left_; }
    CLogView* right() const { return right_; }
    QSplitter* splitter() const { return splitter_; }
    // Width of the left pane.
    int left_width() const;

    // Set while the view itself sizes the splitter.
    bool resizing() const { return resizing_; }
    // Share of the left pane, 0 until the pane first reports its width.
    double ratio() const { return ratio_; }
    void set_ratio(double ratio) { ratio_ = ratio; }

    void clear();
    void view_last_line();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void set_left_width(int width);

    const CqzrZUVEApp& app_;
    const int& save_;
    QSplitter* splitter_;
    CLogView* left_;
    CLogView* right_;
    int initial_width_;
    double ratio_ = 0;
    bool resizing_ = false;
};
