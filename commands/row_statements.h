#pragma once
// The statements an Update sends for rows of the sheet: INSERTs of whole
// rows, and an Update by key's UPDATEs and DELETEs, which name a row of the
// read by its key. Each value is written by writeback/literals.h: a cell
// still as read goes back exactly as read, one the user changed as typed. A
// statement holding exact values that need a form of their own
// (NeedsStatement) is written in it; each form is asked of the database once.

#include "db/session.h"
#include "grid/sheet_data.h"
#include "read/column_catalogue.h"

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace velkin {

class RowStatements {
public:
    // `table` as the table box names it; the key is the catalogue's (its source).
    RowStatements(const SheetData& sheet, const ColumnCatalogue& catalogue, const QString& table,
                  Connection& database);

    // Each writes one statement into `out`, replacing what it held. A cell
    // that cannot be written throws, with failedColumn() naming it.
    // INSERT of sheet row `row`: every column the database does not compute.
    void insert(QString& out, int32_t row);
    // UPDATE of `columns` of sheet row `row`, the row of the read's `record`.
    void update(QString& out, int32_t row, int32_t record, const std::vector<int32_t>& columns);
    // DELETE of the read's `record`.
    void remove(QString& out, int32_t record);
    // SELECT * of the rows of the read's `records` (which share their
    // statement form), with the row lock's words around it.
    void lockingRead(QString& out, const std::vector<int32_t>& records, const RowLock& lock);

    // The ExactNeed bits of the values of `record`'s key.
    uint8_t keyNeeds(int32_t record) const;
    // The column of the last cell that could not be written; 0 for none.
    int32_t failedColumn() const { return failedColumn_; }

private:
    // One value for a statement: a cell of the sheet, or of a record of the read.
    struct Cell {
        QString text;
        bool asRead = false;  // as the read gave it: written exactly
        bool null = false;
        std::string_view exact;
    };
    Cell sheetCell(int32_t row, int32_t column) const;
    Cell readCell(int32_t record, int32_t column) const;
    uint8_t needsOf(const Cell& cell) const;
    void begin(QString& out, uint8_t needs);
    void appendValue(QString& out, int32_t column, const Cell& cell);
    void appendKeyCondition(QString& out, int32_t record);

    const SheetData& sheet_;
    const ColumnCatalogue& catalogue_;
    const QString table_;
    Connection& database_;
    const Dialect dialect_;
    QString insertHead_;  // "INSERT INTO T (...) VALUES ("
    std::array<std::optional<NeedsStatement>, 8> forms_;
    const NeedsStatement* form_ = nullptr;  // the statement being written's
    int32_t failedColumn_ = 0;
};

}  // namespace velkin
