#include "grid/find_bar.h"

#include "grid/grid.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace velkin {

FindBar::FindBar(SpreadGrid& grid) : QFrame(&grid), grid_(grid) {
    setObjectName(QStringLiteral("FindBar"));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);

    text_ = new QLineEdit(this);
    text_->setObjectName(QStringLiteral("FindText"));
    text_->setMinimumWidth(180);
    auto* previous = new QPushButton(QStringLiteral("前へ"), this);
    auto* next = new QPushButton(QStringLiteral("次へ"), this);
    auto* close = new QPushButton(QStringLiteral("×"), this);
    for (QPushButton* button : {previous, next, close}) button->setAutoDefault(false);
    close->setFixedWidth(close->sizeHint().height());
    layout->addWidget(new QLabel(QStringLiteral("検索"), this), 0, 0);
    layout->addWidget(text_, 0, 1);
    layout->addWidget(previous, 0, 2);
    layout->addWidget(next, 0, 3);
    layout->addWidget(close, 0, 4);

    matchCase_ = new QCheckBox(QStringLiteral("大文字と小文字を区別"), this);
    wholeCell_ = new QCheckBox(QStringLiteral("セル全体が一致"), this);
    status_ = new QLabel(this);
    auto* options = new QHBoxLayout;
    options->addWidget(matchCase_);
    options->addWidget(wholeCell_);
    options->addStretch();
    options->addWidget(status_);
    layout->addLayout(options, 1, 1, 1, 4);

    replaceRow_ = new QWidget(this);
    auto* row = new QHBoxLayout(replaceRow_);
    row->setContentsMargins(0, 0, 0, 0);
    replacement_ = new QLineEdit(replaceRow_);
    replacement_->setObjectName(QStringLiteral("ReplaceText"));
    auto* replaceOne = new QPushButton(QStringLiteral("置換"), replaceRow_);
    auto* replaceEvery = new QPushButton(QStringLiteral("すべて置換"), replaceRow_);
    for (QPushButton* button : {replaceOne, replaceEvery}) button->setAutoDefault(false);
    row->addWidget(new QLabel(QStringLiteral("置換後"), replaceRow_));
    row->addWidget(replacement_, 1);
    row->addWidget(replaceOne);
    row->addWidget(replaceEvery);
    layout->addWidget(replaceRow_, 2, 0, 1, 5);

    tabOrder_ = {text_, previous, next, close, matchCase_, wholeCell_, replacement_, replaceOne, replaceEvery};
    for (QLineEdit* box : {text_, replacement_}) box->installEventFilter(this);
    connect(previous, &QPushButton::clicked, this, [this] { findNext(true); });
    connect(next, &QPushButton::clicked, this, [this] { findNext(false); });
    connect(close, &QPushButton::clicked, this, &FindBar::dismiss);
    connect(replaceOne, &QPushButton::clicked, this, &FindBar::replace);
    connect(replaceEvery, &QPushButton::clicked, this, &FindBar::replaceAll);
    connect(text_, &QLineEdit::textChanged, status_, &QLabel::clear);
    hide();
}

FindQuery FindBar::query() const { return {text_->text(), matchCase_->isChecked(), wholeCell_->isChecked()}; }

void FindBar::open(bool replace) {
    replaceRow_->setVisible(replace);
    status_->clear();
    show();
    raise();
    text_->setFocus();
    text_->selectAll();
}

void FindBar::dismiss() {
    // The keys go back first: hiding the bar with the focus in it would pass
    // the focus along the tab chain, and the grid would take it as a Tab.
    grid_.setFocus(Qt::ShortcutFocusReason);
    hide();
}

void FindBar::findNext(bool backward) {
    status_->setText(grid_.findNext(query(), backward) || text_->text().isEmpty() ? QString()
                                                                                 : QStringLiteral("見つかりません"));
}

void FindBar::replace() {
    grid_.replaceCurrent(query(), replacement_->text());
    status_->clear();
}

void FindBar::replaceAll() {
    const int64_t count = grid_.replaceAll(query(), replacement_->text());
    status_->setText(QStringLiteral("%1 件置換しました").arg(count));
}

bool FindBar::focusNextPrevChild(bool next) {
    const auto size = static_cast<std::ptrdiff_t>(tabOrder_.size());
    const auto at = std::find(tabOrder_.begin(), tabOrder_.end(), focusWidget()) - tabOrder_.begin();
    for (std::ptrdiff_t step = 1; step <= size; ++step) {
        QWidget* candidate = tabOrder_[static_cast<size_t>(((at + (next ? step : -step)) % size + size) % size)];
        if (candidate->isVisibleTo(this)) {
            candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return true;
        }
    }
    return false;
}

bool FindBar::handleKey(QObject* from, QKeyEvent* event) {
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
    case Qt::Key_Escape: dismiss(); return true;
    case Qt::Key_F3: findNext(shift); return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (from == replacement_) replace();
        else findNext(shift);
        return true;
    default: return false;
    }
}

bool FindBar::event(QEvent* event) {
    // Esc closes the bar before the window's own keys take it.
    if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        event->accept();
        return true;
    }
    return QFrame::event(event);
}

bool FindBar::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        event->accept();
        return true;
    }
    if (event->type() == QEvent::KeyPress && handleKey(watched, static_cast<QKeyEvent*>(event))) return true;
    return QFrame::eventFilter(watched, event);
}

void FindBar::keyPressEvent(QKeyEvent* event) {
    if (!handleKey(this, event)) QFrame::keyPressEvent(event);
}

}  // namespace velkin
