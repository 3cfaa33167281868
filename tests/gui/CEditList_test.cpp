// The log text: trimming at the line limit, no trimming while a scroll
// bar is held, following the end only when the view showed it, and the
// first focus.
#include <QFocusEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QtTest>

#include "gui/CEditList.h"
#include "tests/gui/GuiTest.h"

namespace {

QString numbered(int from, int to)
{
    QString text;
    for (int i = from; i < to; ++i)
        text += QString("line %1\n").arg(i);
    return text;
}

QString block_text(const CEditList& edit, int n)
{
    return edit.document()->findBlockByNumber(n).text();
}

}  // namespace

class EditListTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        edit_ = std::make_unique<CEditList>();
        edit_->resize(400, 200);
        edit_->show();
        QVERIFY(QTest::qWaitForWindowExposed(edit_.get()));
    }
    void cleanup() { edit_.reset(); }

    void tenThousandAndOneLinesLeaveNineThousandAndOne()
    {
        for (int i = 0; i < 10001; ++i)
            edit_->append_text(QString("line %1\r\n").arg(i));
        QCOMPARE(edit_->lines(), 9001);
        QCOMPARE(edit_->document()->blockCount(), 9002);  // and the empty line after the last newline
        QCOMPARE(block_text(*edit_, 0), QString("line 1000"));
        QCOMPARE(block_text(*edit_, 9000), QString("line 10000"));
        QScrollBar* bar = edit_->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
    }

    void oneTextOverTheLimitDropsWholeBlocks()
    {
        edit_->append_text(numbered(0, 12500));
        QCOMPARE(edit_->lines(), 9500);  // three blocks of 1000
        QCOMPARE(block_text(*edit_, 0), QString("line 3000"));
    }

    void heldScrollBarDefersTheTrimToTheNextAppend()
    {
        edit_->append_text(numbered(0, 10000));
        for (Qt::Orientation direction : {Qt::Vertical, Qt::Horizontal}) {
            QScrollBar* bar = direction == Qt::Vertical ? edit_->verticalScrollBar() : edit_->horizontalScrollBar();
            bar->setSliderDown(true);
            QCOMPARE(edit_->scroll_code(direction), CEditList::kThumbTrack);
            int before = edit_->lines();
            edit_->append_text("held\n");
            QCOMPARE(edit_->lines(), before + 1);
            bar->setSliderDown(false);
            QCOMPARE(edit_->scroll_code(direction), CEditList::kEndScroll);
            if (direction == Qt::Vertical) {
                QCOMPARE(block_text(*edit_, 0), QString("line 0"));
                edit_->append_text("released\n");
                QCOMPARE(edit_->lines(), 9002);
                QCOMPARE(block_text(*edit_, 0), QString("line 1000"));
                edit_->append_text(numbered(0, 998));  // back to 10000 for the other bar
            }
        }
    }

    void viewFollowsTheEndOnlyWhenItShowedIt()
    {
        edit_->append_text(numbered(0, 100));
        QScrollBar* bar = edit_->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
        edit_->append_text(numbered(100, 150));
        QVERIFY(bar->maximum() > 100);
        QCOMPARE(bar->value(), bar->maximum());

        bar->setValue(10);  // the operator scrolls up
        edit_->append_text(numbered(150, 200));
        QCOMPARE(bar->value(), 10);

        edit_->view_last_line();
        QCOMPARE(bar->value(), bar->maximum());
    }

    void clearEmptiesTheTextAndTheCount()
    {
        edit_->append_text("a\r\nb\r\nc");
        QCOMPARE(edit_->lines(), 2);
        QCOMPARE(edit_->toPlainText(), QString("a\nb\nc"));
        edit_->clear_text();
        QCOMPARE(edit_->lines(), 0);
        QVERIFY(edit_->toPlainText().isEmpty());
        edit_->append_text("d\n");
        QCOMPARE(edit_->lines(), 1);
    }

    void firstFocusOnlyRemovesTheSelection()
    {
        CEditList fresh;  // never shown, so never focused yet
        fresh.append_text(numbered(0, 5));
        fresh.selectAll();
        QFocusEvent in(QEvent::FocusIn, Qt::OtherFocusReason);
        QApplication::sendEvent(&fresh, &in);
        QVERIFY(!fresh.textCursor().hasSelection());
        QCOMPARE(fresh.textCursor().position(), fresh.document()->characterCount() - 1);

        fresh.selectAll();
        QApplication::sendEvent(&fresh, &in);
        QVERIFY(fresh.textCursor().hasSelection());
    }

private:
    std::unique_ptr<CEditList> edit_;
};
GUI_TEST(EditListTest);

#include "CEditList_test.moc"
