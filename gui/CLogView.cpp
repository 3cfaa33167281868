// A log pane: the text fills the pane; the left pane reports each new width.
#include "gui/CLogView.h"

#include <QResizeEvent>

#include "gui/CEditList.h"

CLogView::CLogView(QWidget* parent) : QWidget(parent), edit_(new CEditList(this))
{
    setMinimumWidth(1);  // the view sets the minimum its column needs
}

void CLogView::append(const QString& text)
{
    edit_->append_text(text);
}

void CLogView::clear()
{
    edit_->clear_text();
}

void CLogView::view_last_line()
{
    edit_->view_last_line();
}

void CLogView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (reports_width_)
        emit width_changed(event->size().width());
    if (!event->size().isEmpty())
        edit_->setGeometry(rect());
}
