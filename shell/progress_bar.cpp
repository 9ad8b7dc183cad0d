#include "shell/progress_bar.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>

namespace velkin {

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ProgressBar::setRange(int minimum, int maximum) {
    if (minimum == minimum_ && maximum == maximum_) return;
    minimum_ = minimum;
    maximum_ = std::max(minimum, maximum);
    if (int64_t{value_} < int64_t{minimum_} - 1 || value_ > maximum_) value_ = minimum_ - 1;
    paintedWidth_ = -1;
    update();
}

int ProgressBar::filledWidth() const {
    if (value_ < minimum_) return 0;
    const int64_t span = int64_t{maximum_} - minimum_;
    if (span <= 0) return width();
    return static_cast<int>((int64_t{value_} - minimum_) * width() / span);
}

void ProgressBar::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionProgressBar option;
    option.initFrom(this);
    option.minimum = minimum_;
    option.maximum = maximum_;
    option.progress = value_;
    option.textVisible = false;
    option.state |= QStyle::State_Horizontal;
    painter.drawControl(QStyle::CE_ProgressBar, option);
    paintedWidth_ = filledWidth();
}

void ProgressBar::resizeEvent(QResizeEvent* event) {
    paintedWidth_ = -1;
    QWidget::resizeEvent(event);
}

}  // namespace velkin
