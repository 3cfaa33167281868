// The main window: menus to start and stop the bridge and to choose what
// it displays, the two log panes, and a status bar with the PLC text and
// the SECS text, refreshed every 500 ms while the bridge runs. Window
// position, splitter width, display flags and automatic start are kept in
// section "MainFrm" of the settings file.
//
// The bridge hands its lines to output() from any of its threads; they are
// copied and queued to the window's thread, so no bridge thread ever waits
// for the window.
#pragma once
#include <QMainWindow>
#include <QTimer>
#include <cstdint>
#include <map>

class CqzrZUVEApp;
class CMainView;
class QAction;
class QLabel;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Menu commands.
    static constexpr int ID_APP_EXIT = 57665;
    static constexpr int ID_START = 32771;
    static constexpr int ID_STOP = 32772;
    static constexpr int ID_CLEAR = 32781;
    static constexpr int ID_VIEW_LAST = 32782;
    static constexpr int ID_LIST = 32783;
    static constexpr int ID_HEXA = 32784;
    static constexpr int ID_DETAIL = 32785;
    static constexpr int ID_HANDSHAKE = 32786;
    static constexpr int ID_REDUNDANT = 32787;
    static constexpr int ID_AUTOSTART = 32791;
    static constexpr int ID_SAVE = 32792;
    static constexpr int ID_NOCHECK = 32793;
    static constexpr int ID_APP_ABOUT = 57664;

    static constexpr int kStopped = 0;
    static constexpr int kRunning = 10;
    static constexpr int32_t kCondNoCheck = 0x8000;  // "Do not check connection method"
    static constexpr int kTextSize = 128;            // status texts
    static constexpr int kTimerMs = 500;

    explicit CMainFrame(CqzrZUVEApp& app);
    ~CMainFrame() override;

    // Show the window as the settings say (maximised when saved so).
    void show_initial();

    QAction* command(int id) const;
    CMainView* view() const { return view_; }
    int running() const { return running_; }
    int32_t cond() const { return cond_; }
    int save() const { return save_; }
    int autostart() const { return autostart_; }
    QString pane_text(int pane) const;
    int pane_width(int pane) const;

    // The bridge's output callback: bit 0x80 of flags selects the SECS log.
    static void output(int32_t flags, const char* line);

public slots:
    void start();
    void stop();
    void about();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void build_menus();
    QAction* add_command(QMenu* menu, int id, const char* text, bool checkable);
    void run_command(int id);
    void apply_settings();
    void save_settings();
    void update_commands();
    void toggle_display(int32_t bit);
    void set_panes(const char* plc, const char* secs);
    void refresh_status();
    void left_width_changed(int width);
    void append_line(bool secs, const QByteArray& line);
    bool confirm_exit();

    CqzrZUVEApp& app_;
    CMainView* view_;
    QLabel* pane_[2];
    std::map<int, QAction*> commands_;
    QTimer timer_;
    int running_ = kStopped;
    int save_ = 0;
    int autostart_ = 0;
    int32_t cond_ = 0;
    bool maximized_ = false;
    int32_t status_[2] = {0, 0};
};
