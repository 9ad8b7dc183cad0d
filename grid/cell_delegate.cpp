#include "grid/cell_delegate.h"

#include "grid/grid.h"

#include <QItemSelectionModel>
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
}

void CellDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
    auto* line = qobject_cast<QLineEdit*>(editor);
    if (!line) return QStyledItemDelegate::setModelData(editor, model, index);
    grid_.editCell(index.row() + 1, index.column() + 1, line->text());
}

}  // namespace velkin
