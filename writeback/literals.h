#pragma once
// SQL literals for the cells of the grid, by the column's type name as the
// column catalogue holds it, and quoted column names for the INSERT statement.

#include "db/dialect.h"

#include <QString>

namespace velkin {

// The literal for one cell. `columnType` is "CHAR", "VARCHAR2", "NUMBER",
// "DATE" or "ETC", compared exactly; any other name is written as "ETC".
// Cell texts are used untrimmed; a text of blanks is not empty.
//   CHAR      empty -> ' '    otherwise 'text'
//   VARCHAR2  empty -> ''     otherwise 'text'
//   ETC       empty -> ''     otherwise 'text'
//   NUMBER    empty -> 0      otherwise NumberLiteral(text) (errors 13 and 6)
//   DATE      empty -> NULL   otherwise TO_DATE('text','yyyymmdd') (or the form
//             `dateForm` names); text that is not eight digits naming a real
//             date throws error 13
// Every apostrophe inside a quoted text is doubled, so the literal always
// denotes the cell's text and no cell can change the statement around it; a
// date is quoted for the same reason.
QString CellLiteral(const QString& columnType, const QString& cellText,
                    DateLiteralForm dateForm = DateLiteralForm::ToDate);
// The same literal, appended to `out` (on a failure `out` may hold part of it).
void AppendCellLiteral(QString& out, const QString& columnType, const QString& cellText,
                       DateLiteralForm dateForm = DateLiteralForm::ToDate);

// `name` between double quotes, with inner double quotes doubled, so the
// database sees exactly the reported name, case included.
QString QuotedIdentifier(const QString& name);

}  // namespace velkin
