// Cell literals of every column type: a quoted literal denotes exactly the
// cell's text and never lets the text end it; a DATE cell is refused unless
// it is a real date, and its literal is the one value of one statement.
// Checked by running "SELECT <literal>" on an in-memory SQLite database that
// has the program's TO_DATE.

#include "db/error.h"
#include "db/sqlite/to_date.h"
#include "fuzz_support.h"
#include "writeback/literals.h"

#include <QByteArray>
#include <sqlite3.h>

#include <cstdint>

using namespace velkin;
using velkin::fuzz::Check;
using velkin::fuzz::Visible;

namespace {

sqlite3* Memory() {
    static sqlite3* db = [] {
        sqlite3* d = nullptr;
        if (sqlite3_open(":memory:", &d) != SQLITE_OK || RegisterToDate(d) != SQLITE_OK)
            velkin::fuzz::Fail("in-memory database with TO_DATE opens");
        return d;
    }();
    return db;
}

struct Outcome {
    bool prepared = false;
    bool wholeStatement = false;
    bool row = false;
    int type = SQLITE_NULL;
    QByteArray text;
    int columns = 0;
};

Outcome Select(const QString& literal) {
    Outcome out;
    const QByteArray sql = "SELECT " + literal.toUtf8();
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    out.prepared =
        sqlite3_prepare_v2(Memory(), sql.constData(), static_cast<int>(sql.size()), &stmt, &tail) == SQLITE_OK &&
        stmt;
    if (!out.prepared) {
        sqlite3_finalize(stmt);
        return out;
    }
    out.wholeStatement = tail == sql.constData() + sql.size();
    out.columns = sqlite3_column_count(stmt);
    out.row = sqlite3_step(stmt) == SQLITE_ROW;
    if (out.row) {
        out.type = sqlite3_column_type(stmt, 0);
        out.text = QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), sqlite3_column_bytes(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const bool hasNul = text.contains(QChar(0));

    for (const char* type : {"CHAR", "VARCHAR2", "ETC"}) {
        const QString literal = CellLiteral(QString::fromLatin1(type), text);
        const Outcome got = Select(literal);
        if (hasNul) {
            // SQL text ends at a NUL: SQLite must refuse the literal, never cut it short.
            Check(!got.prepared, "a text with NUL is refused", Visible(literal));
            continue;
        }
        Check(got.prepared && got.wholeStatement && got.columns == 1 && got.row, "quoted literal is one value",
              Visible(literal));
        const QByteArray expected = text.isEmpty() && QByteArray(type) == "CHAR" ? QByteArray(" ") : text.toUtf8();
        Check(got.type == SQLITE_TEXT && got.text == expected, "quoted literal denotes the text", Visible(literal));
    }

    // A DATE cell is a real yyyymmdd date (TO_DATE gives it back as ISO
    // text), empty (NULL), or refused with 13 before it reaches any statement.
    QString date;
    try {
        date = CellLiteral(QStringLiteral("DATE"), text);
    } catch (const Error& e) {
        Check(e.Number() == Error::kTypeMismatch, "a date is refused with 13", Visible(text));
        Check(!IsoDateFromYyyymmdd(text.toStdString()), "a real date is not refused", Visible(text));
        return 0;
    }
    const Outcome got = Select(date);
    Check(got.prepared && got.wholeStatement && got.columns == 1 && got.row, "a date literal is one value",
          Visible(date));
    if (text.isEmpty()) {
        Check(got.type == SQLITE_NULL, "an empty date is NULL");
    } else {
        const auto iso = IsoDateFromYyyymmdd(text.toStdString());
        Check(iso && got.text == QByteArray::fromStdString(*iso), "a date literal names the cell's date",
              Visible(date));
    }
    return 0;
}
