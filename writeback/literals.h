#pragma once
// SQL literals for the cells of the grid, by the column's type name as the
// column catalogue holds it, and quoted column names for the INSERT statement.
//
// Two kinds of cell:
//  - a cell the user changed (or a row the user added) follows the type rules
//    below, which is what the user typed asks for;
//  - a cell whose text is still what the read put there goes back as the value
//    read (ReadLiteral): NULL stays NULL, and times of day, every digit of a
//    number, binary bytes and bit strings survive.

#include "db/dialect.h"
#include "db/session.h"

#include <QString>

#include <string_view>

namespace velkin {

// The literal for one changed cell. `columnType` is "CHAR", "VARCHAR2",
// "NUMBER", "DATE" or "ETC", compared exactly; any other name is written as
// "ETC". Cell texts are used untrimmed; a text of blanks is not empty.
//   CHAR      empty -> ' '    otherwise 'text'
//   VARCHAR2  empty -> ''     otherwise 'text'
//   ETC       empty -> ''     otherwise 'text'
//   NUMBER    empty -> 0      otherwise NumberLiteral(text) (errors 13 and 6)
//   DATE      empty -> NULL   otherwise TO_DATE('text','yyyymmdd') (or the
//             dialect's date form); "yyyymmdd hh:mm:ss[.fraction]" as the
//             dialect's date-and-time literal; where the engine casts
//             (`origin` has a cast type), an ISO date followed by a time
//             and zone as the server writes it, as 'text'::type. Any other
//             text, or one that names no real day or time, throws error 13
// A column whose values are bytes (`origin.shape` Binary or Bit) takes the
// hexadecimal digits it is shown in, as the dialect's binary literal; text that
// is not an even number of hexadecimal digits throws error 13.
// Every apostrophe inside a quoted text is doubled, so the literal always
// denotes the cell's text and no cell can change the statement around it; a
// date is quoted for the same reason.
void AppendCellLiteral(QString& out, const QString& columnType, const QString& cellText, const Dialect& dialect,
                       const ColumnOrigin& origin = {});
QString CellLiteral(const QString& columnType, const QString& cellText, const Dialect& dialect,
                    const ColumnOrigin& origin = {});
// The same with only the date form known (Oracle's TO_DATE by default).
QString CellLiteral(const QString& columnType, const QString& cellText,
                    DateLiteralForm dateForm = DateLiteralForm::ToDate);

// What a changed cell of the column must hold for AppendCellLiteral to take
// it, as the user is told when a cell is refused with error 13; empty for a
// column that takes any text.
QString ExpectedCellText(const QString& columnType, const ColumnOrigin& origin = {});

// What the read gave one cell, besides its text.
struct ReadCell {
    bool null = false;
    std::string_view exact;  // its exact form (grid/exact_form.h), for a value its text cannot say
};

// The literal that writes back, unchanged, a cell whose text is `cellText` as
// the read showed it. Values that the type rules give back exactly keep the
// statement those rules write; the rest:
//   NULL                   -> NULL
//   a number the rules would round or refuse -> PostgreSQL 'text'::type,
//                             elsewhere the number as read ('text' when not numeric)
//   a date with a time     -> the dialect's date-and-time literal
//   a date text the rules do not take (a time zone) -> 'text'[::type]
//   bytes, bit strings     -> the dialect's binary literal
//   the engine's exact form, where it gave one -> its literal (the text with
//                             its trailing zeros, the text quoted without the
//                             blanks that padded it, or the engine's own)
void AppendReadLiteral(QString& out, const QString& columnType, const ColumnOrigin& origin, const QString& cellText,
                       const ReadCell& read, const Dialect& dialect);

// `name` between the dialect's identifier quotes (double quotes in every
// dialect, pinned by the session where the server's own differ), with inner
// quotes doubled, so the database sees exactly the reported name, case included.
QString QuotedIdentifier(const QString& name, const Dialect& dialect = Dialect());

}  // namespace velkin
