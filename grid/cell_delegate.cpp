#include "grid/cell_delegate.h"

#include "grid/grid.h"
#include "grid/grid_prepare.h"

#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>

namespace velkin {

namespace {
// Light enough that white, yellow and red stay recognisable beneath it.
constexpr int kSelectionTintAlpha = 56;
}  // namespace

CellDelegate::CellDelegate(SpreadGrid& grid) : QStyledItemDelegate(&grid), grid_(grid) {}

void CellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    // The cell as it is when not selected: its own fill and its text.
    QStyleOptionViewItem plain(option);
    plain.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
    QStyledItemDelegate::paint(painter, plain, index);

    const QColor accent = option.palette.color(QPalette::Active, QPalette::Highlight);
    painter->save();
    if (option.state & QStyle::State_Selected) {
        QColor tint = accent;
        tint.setAlpha(kSelectionTintAlpha);
        painter->fillRect(option.rect, tint);
        // The outline runs round the block: only edges whose neighbour is not selected.
        const QItemSelectionModel* selection = grid_.selectionModel();
        const QAbstractItemModel* model = index.model();
        auto selected = [&](int row, int column) {
            const QModelIndex neighbour = model->index(row, column);
            return neighbour.isValid() && selection->isSelected(neighbour);
        };
        const QRect r = option.rect.adjusted(0, 0, -1, -1);
        painter->setPen(QPen(accent, 1));
        if (!selected(index.row() - 1, index.column())) painter->drawLine(r.topLeft(), r.topRight());
        if (!selected(index.row() + 1, index.column())) painter->drawLine(r.bottomLeft(), r.bottomRight());
        if (!selected(index.row(), index.column() - 1)) painter->drawLine(r.topLeft(), r.bottomLeft());
        if (!selected(index.row(), index.column() + 1)) painter->drawLine(r.topRight(), r.bottomRight());
    }
    if (index == grid_.currentIndex()) {
        painter->setPen(QPen(accent, 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option.rect.adjusted(1, 1, -1, -1));
    }
    painter->restore();
    // On top of the tint and the frames, so it shows whole on any cell.
    // Asked of the cell alone, so painting costs the same on any sheet size.
    if (index.row() + 1 >= kFirstDataRow && grid_.sheet().changedSinceRead(index.row() + 1, index.column() + 1)) {
        // Polygons fill the pixels whose centres lie inside: the corner's
        // edges run along the far sides of the cell's last pixels.
        const QRect r = option.rect;
        const int right = r.right() + 1;
        const QPoint corner[] = {{right - kChangedMarkSize, r.top()}, {right, r.top()}, {right, r.top() + kChangedMarkSize}};
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor::fromRgb(kChangedMark));
        painter->drawPolygon(corner, 3);
        painter->restore();
    }
}

void CellDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
    auto* line = qobject_cast<QLineEdit*>(editor);
    if (!line) return QStyledItemDelegate::setModelData(editor, model, index);
    grid_.editCell(index.row() + 1, index.column() + 1, line->text());
}

bool CellDelegate::eventFilter(QObject* object, QEvent* event) {
    auto* editor = qobject_cast<QWidget*>(object);
    if (editor && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        const bool enter = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
                           (modifiers == Qt::NoModifier || modifiers == Qt::ShiftModifier);
        const bool leave = (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
                           (modifiers & Qt::ControlModifier);
        const int arrowRows = key->key() == Qt::Key_Up ? -1 : key->key() == Qt::Key_Down ? 1 : 0;
        const int arrowColumns = key->key() == Qt::Key_Left ? -1 : key->key() == Qt::Key_Right ? 1 : 0;
        const bool finishEntry = grid_.typingEntry() && modifiers == Qt::NoModifier && (arrowRows || arrowColumns);
        if (enter || leave || finishEntry) {
            emit commitData(editor);
            emit closeEditor(editor, QAbstractItemDelegate::NoHint);
            if (enter) grid_.moveAfterEnter(modifiers == Qt::ShiftModifier);
            else if (leave) grid_.leaveGrid(key->key() == Qt::Key_Backtab || (modifiers & Qt::ShiftModifier));
            else grid_.moveBy(arrowRows, arrowColumns);
            return true;
        }
        if (key->key() == Qt::Key_F2 && modifiers == Qt::NoModifier && grid_.typingEntry()) {
            grid_.setTypingEntry(false);
            return true;
        }
    }
    return QStyledItemDelegate::eventFilter(object, event);
}

}  // namespace velkin
