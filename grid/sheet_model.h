#pragma once
// The view's window on the sheet: view row i, column j is sheet row i + 1,
// column j + 1; the sheet's row 0 and column 0 feed the view's headers.
// The model keeps the size the view was last told of: a command changes the
// sheet as it goes, and the view catches up in one step (showSize) when the
// window shows the command's changes, not at every cell.

#include "grid/sheet_data.h"

#include <QAbstractTableModel>

namespace velkin {

class SheetModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit SheetModel(SheetData& sheet, QObject* parent = nullptr)
        : QAbstractTableModel(parent), sheet_(sheet), rows_(sheet.rowCount()), columns_(sheet.columnCount()) {}

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Tells the view the sheet's size now: a reset when the row count
    // changed; when only the column count did, columns inserted or removed,
    // so that the row header, up to a million sections, is left as it is
    // instead of being rebuilt.
    void showSize();
    void contentsChanged();

private:
    SheetData& sheet_;
    int rows_, columns_;  // the size the view knows
};

// "A", "B", ..., "Z", "AA", ...: the column letters spreadsheet users know.
QString ColumnLetters(int column);

}  // namespace velkin
