// The main window and its commands. Starting opens the bridge in the
// window's thread and shows the two texts of the start's result; while the
// bridge runs, a 500 ms timer replaces each status text that changed.
// Closing a running bridge asks first, and stops it before the window goes.
#include "gui/CMainFrame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "bridge/QZVAppQ.h"
#include "gui/CLogView.h"
#include "gui/CMainView.h"
#include "gui/CqzrZUVEApp.h"

namespace {

constexpr int kMinWidth = 341;
constexpr int kMinHeight = 150;
constexpr int kPane0Width = 100;
constexpr int kShowNormal = 1;
constexpr int kShowMinimized = 2;
constexpr int kShowMaximized = 3;
constexpr int32_t kSecsSide = 0x80;  // output flag: SECS-side line

// The frame that receives the bridge's lines; touched in the window's
// thread only.
CMainFrame* the_frame = nullptr;

struct Toggle {
    int id;
    int32_t bit;
};
constexpr Toggle kDisplayToggles[] = {
    {CMainFrame::ID_LIST, QZVQ_DISP_LIST},           {CMainFrame::ID_HEXA, QZVQ_DISP_HEXA},
    {CMainFrame::ID_DETAIL, QZVQ_DISP_DETAIL},       {CMainFrame::ID_HANDSHAKE, QZVQ_DISP_HANDSHAKE},
    {CMainFrame::ID_REDUNDANT, QZVQ_DISP_REDUNDANT},
};

// One axis of a saved rectangle moved into the work area: one larger than
// the area fills it from its start, one that sticks out is shifted back.
void fit_axis(int& start, int& size, int area_start, int area_size)
{
    if (size > area_size) {
        start = area_start;
        size = area_size;
        return;
    }
    start = std::clamp(start, area_start, area_start + area_size - size);
}

}  // namespace

CMainFrame::CMainFrame(CqzrZUVEApp& app) : app_(app), view_(nullptr), pane_{new QLabel, new QLabel}
{
    setWindowTitle("Varnhold Pellmar");
    setWindowIcon(CqzrZUVEApp::icon());
    setMinimumSize(kMinWidth, kMinHeight);
    resize(kMinWidth, kMinHeight);
    save_ = app_.profile_int("MainFrm", "Save", 0);

    view_ = new CMainView(app_, save_, this);
    setCentralWidget(view_);
    connect(view_->left(), &CLogView::width_changed, this, &CMainFrame::left_width_changed);

    pane_[0]->setFixedWidth(kPane0Width);
    statusBar()->addWidget(pane_[0]);
    statusBar()->addWidget(pane_[1], 1);
    build_menus();

    timer_.setInterval(kTimerMs);
    connect(&timer_, &QTimer::timeout, this, &CMainFrame::refresh_status);
    apply_settings();
    update_commands();
    the_frame = this;
}

CMainFrame::~CMainFrame()
{
    the_frame = nullptr;
    if (running_ == kRunning)
        stop();
    // The view writes its splitter width while the Save setting it reads
    // is still there.
    delete takeCentralWidget();
}

void CMainFrame::show_initial()
{
    if (maximized_)
        showMaximized();
    else
        show();
}

QAction* CMainFrame::add_command(QMenu* menu, int id, const char* text, bool checkable)
{
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setData(id);
    action->setCheckable(checkable);
    connect(action, &QAction::triggered, this, [this, id] { run_command(id); });
    commands_[id] = action;
    return action;
}

void CMainFrame::build_menus()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName("128");
    QMenu* file = bar->addMenu("File(&F)");
    add_command(file, ID_APP_EXIT, "End of application (&X)", false);
    QMenu* execute = bar->addMenu("Execute(&E)");
    add_command(execute, ID_START, "Start (&S)", false);
    add_command(execute, ID_STOP, "Stop (&P)", false);
    QMenu* display = bar->addMenu("Display(&V)");
    add_command(display, ID_CLEAR, "Clear communication trace (&C)", false);
    add_command(display, ID_VIEW_LAST, "View last line of communication trace (&B)", false);
    display->addSeparator();
    add_command(display, ID_LIST, "SECS List format (&L)", true);
    add_command(display, ID_HEXA, "SECS Hexa format (&H)", true);
    display->addSeparator();
    add_command(display, ID_DETAIL, "PLC Detail (&P)", true);
    add_command(display, ID_HANDSHAKE, "PLC Handshake (&S)", true);
    add_command(display, ID_REDUNDANT, "PLC Redundant display (&V)", true);
    QMenu* setting = bar->addMenu("Setting(&S)");
    add_command(setting, ID_AUTOSTART, "Automatic start (&A)", true);
    add_command(setting, ID_SAVE, "Save window position and size (&S)", true);
    add_command(setting, ID_NOCHECK, "Do not check connection method (&C)", true);
    QMenu* help = bar->addMenu("Help(&H)");
    add_command(help, ID_APP_ABOUT, "Version information of qzrZUVE (&A)...", false);
}

QAction* CMainFrame::command(int id) const
{
    auto it = commands_.find(id);
    return it != commands_.end() ? it->second : nullptr;
}

void CMainFrame::run_command(int id)
{
    switch (id) {
    case ID_APP_EXIT: close(); return;
    case ID_START: start(); return;
    case ID_STOP: stop(); return;
    case ID_CLEAR: view_->clear(); return;
    case ID_VIEW_LAST: view_->view_last_line(); return;
    case ID_AUTOSTART: autostart_ = autostart_ == 1 ? 0 : 1; break;
    case ID_SAVE: save_ = save_ == 1 ? 0 : 1; break;
    case ID_APP_ABOUT: about(); return;
    default:
        for (const Toggle& t : kDisplayToggles)
            if (t.id == id)
                toggle_display(t.bit);
        break;
    }
    update_commands();
}

void CMainFrame::update_commands()
{
    bool stopped = running_ == kStopped;
    command(ID_APP_EXIT)->setEnabled(stopped);
    command(ID_START)->setEnabled(stopped);
    command(ID_STOP)->setEnabled(!stopped);
    for (const Toggle& t : kDisplayToggles)
        command(t.id)->setChecked((cond_ & t.bit) != 0);
    command(ID_AUTOSTART)->setChecked(autostart_ == 1);
    command(ID_SAVE)->setChecked(save_ == 1);
    command(ID_NOCHECK)->setChecked((cond_ & kCondNoCheck) != 0);
    command(ID_NOCHECK)->setEnabled(false);
}

void CMainFrame::toggle_display(int32_t bit)
{
    cond_ ^= bit;
    if (running_ == kRunning)
        QZVQSetDisplay(cond_);
}

void CMainFrame::apply_settings()
{
    if (save_ == 1) {
        int show = app_.profile_int("MainFrm", "Show", kShowNormal);
        if (show <= 0 || show > 10)
            show = kShowNormal;
        QByteArray pos = app_.profile_string("MainFrm", "Pos").toUtf8();
        pos.replace(" ", "");
        int left = 0, right = 0, top = 0, bottom = 0;
        if (std::sscanf(pos.constData(), "%d,%d,%d,%d", &left, &right, &top, &bottom) == 4) {
            QRect area = screen()->availableGeometry();
            int width = right - left, height = bottom - top;
            fit_axis(left, width, area.left(), area.width());
            fit_axis(top, height, area.top(), area.height());
            setGeometry(left, top, width, height);
            maximized_ = show == kShowMaximized;
        }
    }
    cond_ = app_.profile_int("MainFrm", "Cond", 0);
    autostart_ = app_.profile_int("MainFrm", "AutoStart", 0);
    if (autostart_ == 1)
        QMetaObject::invokeMethod(this, &CMainFrame::start, Qt::QueuedConnection);
}

void CMainFrame::save_settings()
{
    app_.write_profile_int("MainFrm", "Save", save_);
    if (save_ == 1) {
        int show = isMaximized() ? kShowMaximized : isMinimized() ? kShowMinimized : kShowNormal;
        QRect r = show == kShowNormal ? geometry() : normalGeometry();
        char pos[64];
        std::snprintf(pos, sizeof pos, "%d, %d, %d, %d", r.left(), r.left() + r.width(), r.top(),
                      r.top() + r.height());
        app_.write_profile_int("MainFrm", "Show", show);
        app_.write_profile_string("MainFrm", "Pos", pos);
    }
    app_.write_profile_int("MainFrm", "Cond", cond_);
    app_.write_profile_int("MainFrm", "AutoStart", autostart_);
}

void CMainFrame::set_panes(const char* plc, const char* secs)
{
    if (plc != nullptr)
        pane_[0]->setText(CqzrZUVEApp::process_text(plc));
    if (secs != nullptr)
        pane_[1]->setText(CqzrZUVEApp::process_text(secs));
}

QString CMainFrame::pane_text(int pane) const
{
    return pane_[pane & 1]->text();
}

int CMainFrame::pane_width(int pane) const
{
    return pane_[pane & 1]->width();
}

void CMainFrame::start()
{
    if (running_ != kStopped)
        return;
    int32_t step = 0;
    int32_t rc = QZVQProcOpen(cond_, &step, app_.bridge_ini(), app_.bridge_ini(), app_.plc_section(),
                              app_.secs_section(), status_, &CMainFrame::output);
    char plc[kTextSize], secs[kTextSize];
    QZVQProcResult(0, status_, plc, secs, kTextSize, rc, step);
    set_panes(plc, secs);
    if (rc == 0) {
        running_ = kRunning;
        timer_.start();
    }
    update_commands();
}

void CMainFrame::stop()
{
    if (running_ != kRunning)
        return;
    timer_.stop();
    QZVQProcClose(0, status_);
    set_panes("", "");
    running_ = kStopped;
    update_commands();
}

void CMainFrame::refresh_status()
{
    char plc[kTextSize] = "", secs[kTextSize] = "";
    int32_t rebuilt = QZVQProcStatus(0, status_, plc, secs, kTextSize);
    set_panes((rebuilt & 1) != 0 ? plc : nullptr, (rebuilt & 2) != 0 ? secs : nullptr);
}

void CMainFrame::left_width_changed(int width)
{
    pane_[0]->setFixedWidth(width + 8);
    int room = view_->width() - 16;
    if (!view_->resizing() && room > 0)
        view_->set_ratio(double(width) / room);
}

void CMainFrame::output(int32_t flags, const char* line)
{
    QCoreApplication* qt = QCoreApplication::instance();
    if (qt == nullptr || line == nullptr)
        return;
    QByteArray copy(line);
    bool secs = (flags & kSecsSide) != 0;
    QMetaObject::invokeMethod(
        qt,
        [secs, copy] {
            if (the_frame != nullptr)
                the_frame->append_line(secs, copy);
        },
        Qt::QueuedConnection);
}

void CMainFrame::append_line(bool secs, const QByteArray& line)
{
    CLogView* pane = secs ? view_->right() : view_->left();
    pane->append(CqzrZUVEApp::process_text(line.constData()));
}

bool CMainFrame::confirm_exit()
{
    bool english = app_.english();
    QMessageBox box(QMessageBox::Question, "Confirm",
                    QString::fromUtf8(english ? "Executing now.\nDo you want to exit?\t"
                                              : "実行中です。\n終了しますか？\t"),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.button(QMessageBox::Yes)->setText(QString::fromUtf8(english ? "YES(&Y)" : "はい(&Y)"));
    box.button(QMessageBox::No)->setText(QString::fromUtf8(english ? "NO(&N)" : "いいえ(&N)"));
    return box.exec() != QMessageBox::No;
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    if (running_ == kRunning && !confirm_exit()) {
        event->ignore();
        return;
    }
    save_settings();
    stop();
    event->accept();
}

void CMainFrame::about()
{
    QDialog box(this);
    box.setObjectName("100");
    box.setWindowTitle("Version information qzrZUVE");
    auto* icon = new QLabel(&box);
    icon->setPixmap(windowIcon().pixmap(32, 32));
    auto* text = new QLabel("qzrZUVE Version 20.040  2020.04.17", &box);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &box);
    connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(text, 1);
    auto* column = new QVBoxLayout(&box);
    column->addLayout(row);
    column->addWidget(buttons);
    box.exec();
}
