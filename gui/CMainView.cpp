// The main view places its splitter itself, 2 pixels inside its edges,
// instead of through a layout: a layout would resize the panes before the
// view could mark the resize as its own, and the left pane's report would
// then overwrite the share the view is restoring.
#include "gui/CMainView.h"

#include <QResizeEvent>
#include <QSplitter>
#include <algorithm>
#include <cmath>

#include "gui/CLogView.h"
#include "gui/CqzrZUVEApp.h"

namespace {

constexpr int kInset = 2;

}  // namespace

CMainView::CMainView(const CqzrZUVEApp& app, const int& save, QWidget* parent)
    : QWidget(parent),
      app_(app),
      save_(save),
      splitter_(new QSplitter(Qt::Horizontal, this)),
      left_(new CLogView(splitter_)),
      right_(new CLogView(splitter_)),
      initial_width_(save == 1 ? app.profile_int("MainView", "SplitW", kDefaultWidth) : kDefaultWidth)
{
    splitter_->setObjectName("0xE900");
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(left_);
    splitter_->addWidget(right_);
    left_->setMinimumWidth(kMinWidth);
    right_->setMinimumWidth(kMinWidth);
    initial_width_ = std::max(initial_width_, kMinWidth);
    left_->set_reports_width(true);
}

CMainView::~CMainView()
{
    if (save_ == 1)
        app_.write_profile_int("MainView", "SplitW", left_width());
}

int CMainView::left_width() const
{
    return left_->width();
}

void CMainView::clear()
{
    left_->clear();
    right_->clear();
}

void CMainView::view_last_line()
{
    left_->view_last_line();
    right_->view_last_line();
}

void CMainView::set_left_width(int width)
{
    int room = splitter_->width() - splitter_->handleWidth();
    width = std::clamp(width, kMinWidth, std::max(kMinWidth, room - kMinWidth));
    splitter_->setSizes({width, std::max(0, room - width)});
}

void CMainView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    int cx = event->size().width(), cy = event->size().height();
    if (cx <= 0 || cy <= 0)
        return;
    if (ratio_ <= 0) {
        // First placement: the left pane keeps its initial width, and its
        // report of that width sets the share kept from now on.
        splitter_->setGeometry(kInset, kInset, cx - 2 * kInset, cy - 2 * kInset);
        set_left_width(initial_width_);
        return;
    }
    resizing_ = true;
    splitter_->setGeometry(kInset, kInset, cx - 2 * kInset, cy - 2 * kInset);
    set_left_width(int(std::lround((cx - 20) * ratio_)));
    resizing_ = false;
}
