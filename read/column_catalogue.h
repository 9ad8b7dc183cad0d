#pragma once
// The column catalogue a table read learns and the replace relies on: one
// record per column, element j describing sheet column j + 1, and where the
// read came from. Its columns are read through COL_Name, COL_Type, COL_Size
// and COL_Scale; the kind inside decides how a value is written back.

#include "read/read_origin.h"
#include "read/value_text.h"

#include <QString>
#include <cstdint>
#include <vector>

namespace velkin {

struct CatalogueColumn {
    QString name;
    ColumnKind kind = ColumnKind::Other;
    int32_t size = 0;
    int32_t scale = 0;
    ColumnOrigin origin;  // what the read learnt beyond them, for writing the value back exactly
};

class ColumnCatalogue {
public:
    // Forgets every column and where they were read from.
    void clear() { *this = ColumnCatalogue(); }
    void add(CatalogueColumn column) { columns_.push_back(std::move(column)); }
    size_t size() const { return columns_.size(); }
    bool has(size_t j) const { return j < columns_.size(); }
    // Column j; beyond the columns read, error 9.
    const CatalogueColumn& column(size_t j) const;

    const QString& COL_Name(size_t j) const { return column(j).name; }
    // "VARCHAR2", "CHAR", "NUMBER", "DATE" or "ETC".
    QString COL_Type(size_t j) const { return ColumnKindName(column(j).kind); }
    int32_t COL_Size(size_t j) const { return column(j).size; }
    int32_t COL_Scale(size_t j) const { return column(j).scale; }
    // Column j's text in row 2 after a read in table mode: "NUMBER(9.2)".
    QString typeText(size_t j) const { return ColumnTypeText({column(j).kind, column(j).size, column(j).scale}); }
    // Column j's origin; a plain one beyond the columns read.
    const ColumnOrigin& origin(size_t j) const;

    ReadOrigin source;  // the table and host read

private:
    std::vector<CatalogueColumn> columns_;
};

}  // namespace velkin
