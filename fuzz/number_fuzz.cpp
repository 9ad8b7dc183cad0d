// The NUMBER conversion never crashes, refuses only with its two error
// numbers, and every literal it gives is plain decimal that SQLite takes as a
// number and that converts to itself again.

#include "db/error.h"
#include "fuzz_support.h"
#include "writeback/number_literal.h"

#include <QByteArray>
#include <sqlite3.h>

#include <cstdint>

using namespace velkin;
using velkin::fuzz::Check;
using velkin::fuzz::Visible;

namespace {

// -?digits(.digits)? with no leading zeros, at most four decimals and no
// trailing zero after the point; "0" for zero and never "-0".
bool IsPlainDecimal(const QString& s) {
    qsizetype i = 0;
    if (s.startsWith(u'-')) ++i;
    const qsizetype intStart = i;
    while (i < s.size() && s[i].isDigit() && s[i].unicode() < 0x80) ++i;
    const qsizetype intDigits = i - intStart;
    if (intDigits == 0 || (intDigits > 1 && s[intStart] == u'0')) return false;
    if (i == s.size()) return s != u"-0";
    if (s[i] != u'.') return false;
    const qsizetype fracStart = ++i;
    while (i < s.size() && s[i].isDigit() && s[i].unicode() < 0x80) ++i;
    const qsizetype fracDigits = i - fracStart;
    return i == s.size() && fracDigits >= 1 && fracDigits <= 4 && s.back() != u'0';
}

sqlite3* Memory() {
    static sqlite3* db = [] {
        sqlite3* d = nullptr;
        if (sqlite3_open(":memory:", &d) != SQLITE_OK) velkin::fuzz::Fail("in-memory database opens");
        return d;
    }();
    return db;
}

// SELECT <literal> is one statement whose single value is a number.
void CheckSqliteTakesIt(const QString& literal) {
    const QByteArray sql = "SELECT " + literal.toUtf8();
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(Memory(), sql.constData(), static_cast<int>(sql.size()), &stmt, &tail);
    Check(rc == SQLITE_OK && stmt, "SQLite prepares the literal", literal);
    Check(tail == sql.constData() + sql.size(), "the literal is the whole statement", literal);
    Check(sqlite3_step(stmt) == SQLITE_ROW, "SQLite evaluates the literal", literal);
    const int type = sqlite3_column_type(stmt, 0);
    Check(type == SQLITE_INTEGER || type == SQLITE_FLOAT, "SQLite reads a number", literal);
    Check(sqlite3_column_count(stmt) == 1, "one value", literal);
    sqlite3_finalize(stmt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Two readings of the bytes: UTF-8 (full-width digits and signs) and UTF-16.
    const QString texts[] = {
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)),
        QString(reinterpret_cast<const QChar*>(data), static_cast<qsizetype>(size / 2)),
    };
    for (const QString& text : texts) {
        QString literal;
        try {
            literal = NumberLiteral(text);
        } catch (const Error& e) {
            Check(e.Number() == Error::kTypeMismatch || e.Number() == Error::kOverflow, "refused with 13 or 6",
                  Visible(text));
            continue;
        }
        Check(IsPlainDecimal(literal), "literal is plain decimal", Visible(text) + " -> " + literal);
        CheckSqliteTakesIt(literal);
        QString again;
        try {
            again = NumberLiteral(literal);
        } catch (const Error&) {
            velkin::fuzz::Fail("a literal converts again", literal);
        }
        Check(again == literal, "a literal converts to itself", literal + " -> " + again);
    }
    return 0;
}
