// The main frame against a running bridge (its PLC a shared-memory image,
// its host a library session): start-up names, menus and their states,
// start failures, display toggles, status panes, the splitter, settings
// saved and restored, the close confirmation and the About box.
#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <fstream>
#include <sstream>

#include "bridge/QZVAppQ.h"
#include "gui/CEditList.h"
#include "gui/CLogView.h"
#include "gui/CMainFrame.h"
#include "gui/CMainView.h"
#include "runtime/XKWIni.h"
#include "runtime/XKWPath.h"
#include "tests/gui/GuiTest.h"
#include "tests/support/BridgeRig.h"

namespace {

using F = CMainFrame;

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string ini_value(const std::string& file, const char* section, const char* key)
{
    char value[256] = "";
    return XKWIniGetEx(file.c_str(), section, key, value, sizeof value, 0) == 0 ? value : "<none>";
}

// Run while a modal box is up: hand it to check() once it shows.
template <class Box, class Check>
void when_modal(Check check)
{
    QTimer::singleShot(0, [check] {
        QTRY_VERIFY(qobject_cast<Box*>(QApplication::activeModalWidget()) != nullptr);
        check(qobject_cast<Box*>(QApplication::activeModalWidget()));
    });
}

}  // namespace

class FrameTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        plc_ = std::make_unique<ImagePlc>();
        rig_ = std::make_unique<BridgeRig>(
            *plc_, RigSetup{.sml = "S1F1 H W\nS1F2 E\n<L[0]\n", .plc_keys = "PLCINTER=100,20\nPLCTO=0,1000\n"});
        QVERIFY(rig_->write_files());
    }
    void cleanup()
    {
        program_.reset();
        rig_.reset();
        plc_.reset();
    }

    void namesComeFromTheProgramNameAndTheOptions()
    {
        char self[XKW_PATH_MAX] = "";
        XKWPathProgram(self, sizeof self);
        const std::string exe_dir = XKWPathDir(self);
        struct Case {
            std::vector<std::string> args;
            bool english;
            const char *ini, *plc, *secs;
            std::string settings;
        } cases[] = {
            {{"qzrZUVE"}, false, "qzrZUVE.ini", "", "", exe_dir + "/qzrZUVEWin.ini"},
            {{"/opt/x/QZRsplce.exe"}, true, "qzrSPLCE.ini", "", "", exe_dir + "/qzrSPLCEWin.ini"},
            {{"qzrZUVE", "+i", "/d/other.ini", "+p", "P2"}, false, "/d/other.ini", "P2", "", "/d/otherWin.ini"},
            {{"qzrZUVE", "-x", "+s", "S9", "+i", "/d/b.ini", "+S", "mine.ini", "+p"}, false, "/d/b.ini", "", "S9",
             "/d/mine.ini"},
        };
        for (const Case& c : cases) {
            GuiProgram p(c.args);
            QCOMPARE(p->english(), c.english);
            QCOMPARE(p->bridge_ini(), c.ini);
            QCOMPARE(p->plc_section(), c.plc);
            QCOMPARE(p->secs_section(), c.secs);
            QCOMPARE(std::string(p->settings_file()), c.settings);
        }
    }

    void menusHaveTheirIdsTextsAndOrder()
    {
        F* f = open({"+i", rig_->ini()});
        QStringList popups;
        for (QAction* a : f->menuBar()->actions())
            popups << a->text();
        QCOMPARE(popups, QStringList({"File(&F)", "Execute(&E)", "Display(&V)", "Setting(&S)", "Help(&H)"}));
        const std::pair<int, const char*> texts[] = {
            {F::ID_APP_EXIT, "End of application (&X)"},
            {F::ID_START, "Start (&S)"},
            {F::ID_STOP, "Stop (&P)"},
            {F::ID_CLEAR, "Clear communication trace (&C)"},
            {F::ID_VIEW_LAST, "View last line of communication trace (&B)"},
            {F::ID_LIST, "SECS List format (&L)"},
            {F::ID_HEXA, "SECS Hexa format (&H)"},
            {F::ID_DETAIL, "PLC Detail (&P)"},
            {F::ID_HANDSHAKE, "PLC Handshake (&S)"},
            {F::ID_REDUNDANT, "PLC Redundant display (&V)"},
            {F::ID_AUTOSTART, "Automatic start (&A)"},
            {F::ID_SAVE, "Save window position and size (&S)"},
            {F::ID_NOCHECK, "Do not check connection method (&C)"},
            {F::ID_APP_ABOUT, "Version information of qzrZUVE (&A)..."},
        };
        for (auto [id, text] : texts) {
            QVERIFY(f->command(id) != nullptr);
            QCOMPARE(f->command(id)->text(), QString(text));
            QCOMPARE(f->command(id)->data().toInt(), id);
        }
        QCOMPARE(f->windowTitle(), QString("Varnhold Pellmar"));
        QCOMPARE(f->minimumSize(), QSize(341, 150));
    }

    void commandsFollowTheRunningState()
    {
        F* f = open({"+i", rig_->ini()});
        expect_stopped(f);
        f->command(F::ID_START)->trigger();
        QCOMPARE(f->running(), F::kRunning);
        QVERIFY(!f->command(F::ID_APP_EXIT)->isEnabled());
        QVERIFY(!f->command(F::ID_START)->isEnabled());
        QVERIFY(f->command(F::ID_STOP)->isEnabled());
        QVERIFY(f->command(F::ID_CLEAR)->isEnabled());
        QVERIFY(!f->command(F::ID_NOCHECK)->isEnabled());
        QVERIFY(f->pane_text(0).startsWith("PLC:"));
        QVERIFY(f->pane_text(1).startsWith("HSMS-SS:Equip,Passive("));

        f->command(F::ID_STOP)->trigger();
        expect_stopped(f);
        QVERIFY(f->pane_text(0).isEmpty());
        QVERIFY(f->pane_text(1).isEmpty());
    }

    void failedStartShowsTheStepsTextAndStaysStopped()
    {
        F* f = open({"+i", rig_->dir() + "/missing.ini"});
        f->start();
        QCOMPARE(f->pane_text(1), QString("SECS Initialize error (-2)"));
        QVERIFY(f->pane_text(0).isEmpty());
        expect_stopped(f);
    }

    void optionsChooseTheFileAndSectionsTheBridgeStartsWith()
    {
        std::string text = slurp(rig_->ini());
        text.replace(text.find("[PLC]"), 5, "[P2]");
        const std::string other = rig_->dir() + "/other.ini";
        std::ofstream(other) << text;
        F* f = open({"+i", other, "+p", "P2"});
        f->start();
        QCOMPARE(f->running(), F::kRunning);
        const QZVQContext* ctx = QZVQGetContext();
        QCOMPARE(ctx->plcini, other.c_str());
        QCOMPARE(ctx->secsini, other.c_str());
        QCOMPARE(ctx->plcsect, "P2");
        QCOMPARE(ctx->secssect, "SECS");
        QCOMPARE(ctx->cfg.plctype, QZVQ_PLC_MEMORY);  // read from [P2]
        f->stop();
    }

    void displayTogglesReachTheRunningBridge()
    {
        F* f = open({"+i", rig_->ini()});
        f->command(F::ID_HEXA)->trigger();  // while stopped: only the flags
        QCOMPARE(f->cond(), QZVQ_DISP_HEXA);
        QVERIFY(f->command(F::ID_HEXA)->isChecked());
        f->start();
        QCOMPARE(QZVQGetContext()->display & 0x1F00, QZVQ_DISP_HEXA);
        const std::pair<int, int32_t> toggles[] = {{F::ID_LIST, QZVQ_DISP_LIST},
                                                   {F::ID_DETAIL, QZVQ_DISP_DETAIL},
                                                   {F::ID_HANDSHAKE, QZVQ_DISP_HANDSHAKE},
                                                   {F::ID_REDUNDANT, QZVQ_DISP_REDUNDANT},
                                                   {F::ID_HEXA, QZVQ_DISP_HEXA}};
        for (auto [id, bit] : toggles) {
            bool was = (f->cond() & bit) != 0;
            f->command(id)->trigger();
            QCOMPARE((f->cond() & bit) != 0, !was);
            QCOMPARE(f->command(id)->isChecked(), !was);
            QCOMPARE(QZVQGetContext()->display & bit, was ? 0 : bit);
        }
        f->stop();
    }

    void timerReplacesTheStatusTextsThatChanged()
    {
        F* f = open({"+i", rig_->ini()});
        f->start();
        QTRY_VERIFY_WITH_TIMEOUT(f->pane_text(0).contains(":Online("), 3000);
        QVERIFY(f->pane_text(0).endsWith(":Not ready"));
        plc_->set_plc_status(1);
        QTRY_VERIFY_WITH_TIMEOUT(f->pane_text(0).endsWith(":Ready") && !f->pane_text(0).endsWith("Not ready"), 3000);
        QVERIFY(f->pane_text(1).endsWith(":Not connected"));
        QVERIFY(rig_->open_host());
        QTRY_VERIFY_WITH_TIMEOUT(f->pane_text(1).endsWith(":Selected"), 3000);
        f->stop();
    }

    void splitterWidthDrivesTheFirstPaneAndKeepsItsShare()
    {
        F* f = open({"+i", rig_->ini()});
        QTRY_COMPARE(f->view()->left_width(), CMainView::kDefaultWidth);
        QTRY_COMPARE(f->pane_width(0), CMainView::kDefaultWidth + 8);
        QCOMPARE(f->view()->ratio(), double(CMainView::kDefaultWidth) / (f->view()->width() - 16));

        // the operator drags the splitter
        QSplitter* s = f->view()->splitter();
        int room = s->width() - s->handleWidth();
        s->setSizes({250, room - 250});
        QTRY_COMPARE(f->pane_width(0), 250 + 8);
        double ratio = f->view()->ratio();
        QCOMPARE(ratio, 250.0 / (f->view()->width() - 16));

        // a wider window keeps the left pane's share
        f->resize(1000, 300);
        QTRY_COMPARE(f->view()->width(), f->centralWidget()->width());
        QTRY_COMPARE(f->view()->left_width(), int(std::lround((f->view()->width() - 20) * ratio)));
        QCOMPARE(f->view()->ratio(), ratio);
    }

    void settingsAreSavedAndRestored()
    {
        const std::string settings = rig_->dir() + "/rigWin.ini";
        {
            F* f = open({"+i", rig_->ini()});
            f->command(F::ID_SAVE)->trigger();
            f->command(F::ID_DETAIL)->trigger();
            f->command(F::ID_AUTOSTART)->trigger();
            f->setGeometry(30, 40, 400, 300);
            QSplitter* s = f->view()->splitter();
            QTRY_COMPARE(s->width(), f->view()->width() - 4);
            s->setSizes({120, s->width() - s->handleWidth() - 120});
            QTRY_COMPARE(f->view()->left_width(), 120);
            QVERIFY(f->close());
            program_.reset();  // the view writes the splitter width as it goes
        }
        QCOMPARE(ini_value(settings, "MainFrm", "Save"), std::string("1"));
        QCOMPARE(ini_value(settings, "MainFrm", "Show"), std::string("1"));
        QCOMPARE(ini_value(settings, "MainFrm", "Pos"), std::string("30, 430, 40, 340"));
        QCOMPARE(ini_value(settings, "MainFrm", "Cond"), std::to_string(QZVQ_DISP_DETAIL));
        QCOMPARE(ini_value(settings, "MainFrm", "AutoStart"), std::string("1"));
        QCOMPARE(ini_value(settings, "MainView", "SplitW"), std::string("120"));

        // and back: the placement, the width, the flags, and the start
        F* f = open({"+i", rig_->ini()});
        QCOMPARE(f->geometry(), QRect(30, 40, 400, 300));
        QTRY_COMPARE(f->view()->left_width(), 120);
        QCOMPARE(f->cond(), QZVQ_DISP_DETAIL);
        QVERIFY(f->command(F::ID_DETAIL)->isChecked());
        QVERIFY(f->command(F::ID_SAVE)->isChecked());
        QVERIFY(f->command(F::ID_AUTOSTART)->isChecked());
        QTRY_COMPARE(f->running(), F::kRunning);
        f->stop();
    }

    void savedPlacementIsPulledIntoTheScreen()
    {
        const std::string settings = rig_->dir() + "/rigWin.ini";
        QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        auto pos = [](int l, int r, int t, int b) {
            return std::to_string(l) + ", " + std::to_string(r) + ", " + std::to_string(t) + ", " + std::to_string(b);
        };
        struct Case {
            std::string pos, show;
            QRect expected;
            bool maximized;
        } cases[] = {
            // sticks out right and below: shifted back by what sticks out
            {pos(area.right() - 100, area.right() + 300, area.bottom() - 50, area.bottom() + 150), "1",
             QRect(area.x() + area.width() - 400, area.y() + area.height() - 200, 400, 200), false},
            // before the left edge, and higher than the screen
            {pos(area.x() - 80, area.x() + 320, 10, 10 + area.height() + 50), "5",
             QRect(area.x(), area.y(), 400, area.height()), false},
            {" 20 , 420 ,30,  330 ", "3", QRect(20, 30, 400, 300), true},
            {pos(20, 420, 30, 330), "0", QRect(20, 30, 400, 300), false},
        };
        for (const Case& c : cases) {
            XKWIniPut(settings.c_str(), "MainFrm", "Save", "1");
            XKWIniPut(settings.c_str(), "MainFrm", "Pos", c.pos.c_str());
            XKWIniPut(settings.c_str(), "MainFrm", "Show", c.show.c_str());
            // the placement asked for, before the platform adds its frame
            GuiProgram p({"qzrZUVE", "+i", rig_->ini()});
            F f(*p);
            QCOMPARE(f.geometry(), c.expected);
            f.show_initial();
            QCOMPARE(f.isMaximized(), c.maximized);
        }
    }

    void closingARunningBridgeAsksFirst()
    {
        F* f = open({"+s", "SECS", "+i", rig_->ini()});
        f->start();
        QCOMPARE(f->running(), F::kRunning);
        when_modal<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->windowTitle(), QString("Confirm"));
            QCOMPARE(box->text(), QString::fromUtf8("実行中です。\n終了しますか？\t"));
            QCOMPARE(box->icon(), QMessageBox::Question);
            QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
            box->button(QMessageBox::No)->click();
        });
        QVERIFY(!f->close());
        QCOMPARE(f->running(), F::kRunning);
        QVERIFY(f->isVisible());

        when_modal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        QVERIFY(f->close());
        QCOMPARE(f->running(), F::kStopped);
        QCOMPARE(QZVQGetContext()->closing, 2);  // the bridge was stopped
        QCOMPARE(ini_value(rig_->dir() + "/rigWin.ini", "MainFrm", "Save"), std::string("0"));
    }

    void englishEditionAsksWithItsOwnButtons()
    {
        program_ = std::make_unique<GuiProgram>(std::vector<std::string>{"qzrSPLCE", "+i", rig_->ini()});
        QVERIFY((*program_)->InitInstance());
        F* f = (*program_)->frame();
        f->start();
        when_modal<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->text(), QString("Executing now.\nDo you want to exit?\t"));
            QCOMPARE(box->button(QMessageBox::Yes)->text(), QString("YES(&Y)"));
            QCOMPARE(box->button(QMessageBox::No)->text(), QString("NO(&N)"));
            box->button(QMessageBox::Yes)->click();
        });
        QVERIFY(f->close());
        QCOMPARE(f->running(), F::kStopped);
    }

    void aboutBoxShowsTheVersion()
    {
        F* f = open({"+i", rig_->ini()});
        when_modal<QDialog>([](QDialog* box) {
            QCOMPARE(box->windowTitle(), QString("Version information qzrZUVE"));
            QStringList texts;
            bool icon = false;
            for (QLabel* label : box->findChildren<QLabel*>()) {
                texts << label->text();
                icon = icon || !label->pixmap().isNull();
            }
            QVERIFY(texts.contains("qzrZUVE Version 20.040  2020.04.17"));
            QVERIFY(icon);
            box->accept();
        });
        f->command(F::ID_APP_ABOUT)->trigger();
    }

    void clearAndViewLastLineReachBothPanes()
    {
        F* f = open({"+i", rig_->ini()});
        CEditList* edits[] = {f->view()->left()->edit(), f->view()->right()->edit()};
        F::output(0, "plc line\r\n");
        F::output(0x80, "secs line\r\n");
        QTRY_COMPARE(edits[0]->toPlainText(), QString("plc line\n"));
        QTRY_COMPARE(edits[1]->toPlainText(), QString("secs line\n"));
        for (int i = 0; i < 200; ++i)
            F::output(i % 2 == 0 ? 0 : 0x80, "more\r\n");
        QTRY_COMPARE(edits[1]->lines(), 101);
        for (CEditList* e : edits)
            e->verticalScrollBar()->setValue(0);
        f->command(F::ID_VIEW_LAST)->trigger();
        for (CEditList* e : edits)
            QCOMPARE(e->verticalScrollBar()->value(), e->verticalScrollBar()->maximum());
        f->command(F::ID_CLEAR)->trigger();
        for (CEditList* e : edits) {
            QVERIFY(e->toPlainText().isEmpty());
            QCOMPARE(e->lines(), 0);
        }
    }

private:
    F* open(std::vector<std::string> args)
    {
        args.insert(args.begin(), "qzrZUVE");
        program_ = std::make_unique<GuiProgram>(std::move(args));
        if (!(*program_)->InitInstance())
            return nullptr;
        F* f = (*program_)->frame();
        if (!QTest::qWaitForWindowExposed(f))
            return nullptr;
        return f;
    }
    static void expect_stopped(F* f)
    {
        QCOMPARE(f->running(), F::kStopped);
        QVERIFY(f->command(F::ID_APP_EXIT)->isEnabled());
        QVERIFY(f->command(F::ID_START)->isEnabled());
        QVERIFY(!f->command(F::ID_STOP)->isEnabled());
        QVERIFY(!f->command(F::ID_NOCHECK)->isEnabled());
    }

    std::unique_ptr<ImagePlc> plc_;
    std::unique_ptr<BridgeRig> rig_;
    std::unique_ptr<GuiProgram> program_;
};
GUI_TEST(FrameTest);

#include "CMainFrame_test.moc"
