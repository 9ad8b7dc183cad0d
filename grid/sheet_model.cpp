#include "grid/sheet_model.h"

#include <QColor>

namespace velkin {

QString ColumnLetters(int column) {
    QString letters;
    for (int n = column; n > 0; n = (n - 1) / 26) letters.prepend(QChar('A' + (n - 1) % 26));
    return letters;
}

int SheetModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int SheetModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columns_; }

QVariant SheetModel::data(const QModelIndex& index, int role) const {
    const int32_t row = index.row() + 1, column = index.column() + 1;
    switch (role) {
    // The screen gets what a cell can show; the editor the whole text.
    case Qt::DisplayRole: return sheet_.shownText(row, column);
    case Qt::EditRole: return sheet_.text(row, column);
    case Qt::BackgroundRole: {
        const uint32_t c = sheet_.backColor(row, column);
        return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
    }
    default: return {};
    }
}

bool SheetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid()) return false;
    sheet_.setText(index.row() + 1, index.column() + 1, value.toString());
    emit dataChanged(index, index);
    return true;
}

QVariant SheetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Horizontal) {
        const QString text = sheet_.text(0, section + 1);
        return text.isEmpty() ? ColumnLetters(section + 1) : text;
    }
    // Row headers number the records by their place: the two rows above the
    // records hold the column names and types and carry no number. The
    // number a read wrote into a row's header cell moves with the row when
    // rows are inserted or deleted, so it is not what is shown.
    const int32_t row = section + 1;
    if (row >= 3) return QString::number(row - 2);
    return sheet_.text(row, 0);
}

Qt::ItemFlags SheetModel::flags(const QModelIndex& index) const {
    return QAbstractTableModel::flags(index) | Qt::ItemIsEditable;
}

void SheetModel::showSize() {
    const int rows = sheet_.rowCount(), columns = sheet_.columnCount();
    if (rows != rows_) {
        beginResetModel();
        rows_ = rows;
        columns_ = columns;
        endResetModel();
    } else if (columns > columns_) {
        beginInsertColumns(QModelIndex(), columns_, columns - 1);
        columns_ = columns;
        endInsertColumns();
    } else if (columns < columns_) {
        beginRemoveColumns(QModelIndex(), columns, columns_ - 1);
        columns_ = columns;
        endRemoveColumns();
    }
}

void SheetModel::contentsChanged() {
    if (rows_ > 0 && columns_ > 0) {
        emit headerDataChanged(Qt::Vertical, 0, rows_ - 1);
        emit headerDataChanged(Qt::Horizontal, 0, columns_ - 1);
    }
}

}  // namespace velkin
