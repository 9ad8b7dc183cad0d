#include "db/odbc/odbc_text.h"

#include "db/session.h"

#include <sql.h>
#include <sqlext.h>

#include <limits>

namespace velkin::odbc {

namespace {

constexpr int32_t kDateSize = 7;
// Precision of a NUMBER whose driver knows none (Oracle's NUMBER maximum).
constexpr int32_t kMaxPrecision = 38;

int32_t ClampSize(uint64_t size) {
    // Long types report huge or "no total" sizes; the read shows a 32-bit size.
    return size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? 0 : static_cast<int32_t>(size);
}

QString BaseName(const QString& typeName) {
    const qsizetype open = typeName.indexOf(QLatin1Char('('));
    return (open < 0 ? typeName : typeName.left(open)).trimmed().toUpper();
}

ColumnKind KindOfOracleName(const QString& baseName) {
    if (baseName == QLatin1String("VARCHAR2")) return ColumnKind::Text;
    if (baseName == QLatin1String("CHAR")) return ColumnKind::FixedChar;
    if (baseName == QLatin1String("NUMBER")) return ColumnKind::Number;
    if (baseName == QLatin1String("DATE")) return ColumnKind::Date;
    return ColumnKind::Other;
}

bool IsExactNumeric(int sqlType) {
    switch (sqlType) {
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_BIGINT:
    case SQL_TINYINT: return true;
    default: return false;
    }
}

bool IsApproximateNumeric(int sqlType) {
    return sqlType == SQL_FLOAT || sqlType == SQL_REAL || sqlType == SQL_DOUBLE;
}

ColumnType Number(int32_t precision, int32_t scale) { return {ColumnKind::Number, precision + 1, scale}; }

// Key of one "KEY=VALUE" part of a connection string, upper case.
QString PartKey(const QString& part) { return part.left(part.indexOf(QLatin1Char('='))).trimmed().toUpper(); }

}  // namespace

QString ConnectionValue(const QString& value) {
    const bool needsBraces = value.contains(QLatin1Char(';')) || value.contains(QLatin1Char('{')) ||
                             value.contains(QLatin1Char('}')) || value != value.trimmed();
    if (!needsBraces) return value;
    QString escaped = value;
    escaped.replace(QLatin1Char('}'), QLatin1String("}}"));
    return QLatin1Char('{') + escaped + QLatin1Char('}');
}

bool HoldsSecondStatement(const QString& sql) {
    const qsizetype n = sql.size();
    bool ended = false;  // a ";" has ended the first statement
    qsizetype i = 0;
    while (i < n) {
        const QChar c = sql[i];
        if (c == u'-' && i + 1 < n && sql[i + 1] == u'-') {
            while (i < n && sql[i] != u'\n') ++i;
            continue;
        }
        if (c == u'/' && i + 1 < n && sql[i + 1] == u'*') {
            const qsizetype close = sql.indexOf(QStringLiteral("*/"), i + 2);
            i = close < 0 ? n : close + 2;
            continue;
        }
        if (c.isSpace()) {
            ++i;
            continue;
        }
        if (c == u';') {
            ended = true;
            ++i;
            continue;
        }
        if (ended) return true;
        if (c == u'\'' || c == u'"' || c == u'`') {
            // A doubled quote stays inside; a quote that never closes runs to the end.
            qsizetype j = sql.indexOf(c, i + 1);
            while (j >= 0 && j + 1 < n && sql[j + 1] == c) j = sql.indexOf(c, j + 2);
            i = j < 0 ? n : j + 1;
            continue;
        }
        if (c == u'$') {
            // A dollar quote: $$ or $tag$, up to the same delimiter.
            qsizetype j = i + 1;
            while (j < n && (sql[j].isLetterOrNumber() || sql[j] == u'_')) ++j;
            if (j < n && sql[j] == u'$' && !(j > i + 1 && sql[i + 1].isDigit())) {
                const QString tag = sql.mid(i, j - i + 1);
                const qsizetype close = sql.indexOf(tag, j + 1);
                i = close < 0 ? n : close + tag.size();
                continue;
            }
        }
        ++i;
    }
    return false;
}

QStringList ConnectionStringParts(const QString& connectionString) {
    // Split at the semicolons outside braces.
    QStringList parts;
    QString current;
    bool braced = false;
    for (qsizetype i = 0; i < connectionString.size(); ++i) {
        const QChar c = connectionString.at(i);
        if (braced) {
            current += c;
            if (c == QLatin1Char('}')) {
                if (i + 1 < connectionString.size() && connectionString.at(i + 1) == QLatin1Char('}'))
                    current += connectionString.at(++i);
                else
                    braced = false;
            }
        } else if (c == QLatin1Char(';')) {
            parts << current;
            current.clear();
        } else {
            if (c == QLatin1Char('{') && current.trimmed().endsWith(QLatin1Char('='))) braced = true;
            current += c;
        }
    }
    parts << current;
    parts.removeIf([](const QString& part) { return part.trimmed().isEmpty(); });
    return parts;
}

std::optional<QString> ConnectionStringValue(const QString& connectionString, const QString& key) {
    const QString wanted = key.toUpper();
    for (const QString& part : ConnectionStringParts(connectionString)) {
        if (PartKey(part) != wanted) continue;
        QString value = part.mid(part.indexOf(QLatin1Char('=')) + 1).trimmed();
        if (value.startsWith(QLatin1Char('{')) && value.endsWith(QLatin1Char('}')) && value.size() >= 2)
            value = value.mid(1, value.size() - 2).replace(QLatin1String("}}"), QLatin1String("}"));
        return value;
    }
    return std::nullopt;
}

bool IsPsqlOdbcDriver(const QString& driverLibrary) {
    const QString file = driverLibrary.mid(driverLibrary.lastIndexOf(QLatin1Char('/')) + 1);
    return file.contains(QLatin1String("psqlodbc"), Qt::CaseInsensitive);
}

QString WithCursorFetch(const QString& connectionString) {
    // psqlODBC also reads its settings under short names (B6, A7).
    auto given = [&connectionString](const char* name, const char* shortName) {
        return ConnectionStringValue(connectionString, QLatin1String(name)) ||
               ConnectionStringValue(connectionString, QLatin1String(shortName));
    };
    QStringList parts = ConnectionStringParts(connectionString);
    if (!given("UseDeclareFetch", "B6")) parts << QStringLiteral("UseDeclareFetch=1");
    if (!given("Fetch", "A7")) parts << QStringLiteral("Fetch=%1").arg(kCursorFetchRows);
    return parts.join(QLatin1Char(';'));
}

QString WithLogin(const QString& connectionString, const Login& login) {
    const QStringList parts = ConnectionStringParts(connectionString);

    QStringList kept;
    for (const QString& part : parts) {
        const QString key = PartKey(part);
        if (key == QLatin1String("UID") && !login.user.isEmpty()) continue;
        if (key == QLatin1String("PWD") && !login.password.isEmpty()) continue;
        kept << part;
    }
    if (!login.user.isEmpty()) kept << QStringLiteral("UID=") + ConnectionValue(login.user);
    if (!login.password.isEmpty()) kept << QStringLiteral("PWD=") + ConnectionValue(login.password);
    return kept.join(QLatin1Char(';'));
}

QString OracleServiceConnectionString(const QString& driver, const QString& service, const Login& login) {
    // The driver manager itself reads DRIVER and takes it braced, as is customary.
    return WithLogin(QStringLiteral("DRIVER={") + driver + QStringLiteral("};DBQ=") + ConnectionValue(service), login);
}

ColumnType MapColumn(const ColumnDescription& column) {
    const QString name = BaseName(column.typeName);
    const ColumnKind code = KindOfOracleName(name);
    const int32_t size = ClampSize(column.columnSize);

    if (code != ColumnKind::Other) {
        // SQLite's driver reports the declaration's arguments only through the
        // catalogue ("NUMBER(9,2)"); Oracle's reports them as size and digits.
        for (const QString& declaration : {column.declaredType, column.typeName}) {
            if (declaration.contains(QLatin1Char('(')) && BaseName(declaration) == name) {
                const ColumnType declared = MapDeclaredType(declaration.toStdString());
                if (declared.kind == code) return declared;
            }
        }
        switch (code) {
        case ColumnKind::Number:
            if (IsExactNumeric(column.sqlType) && size > 0) return Number(size, column.decimalDigits);
            return Number(kMaxPrecision, 0);
        case ColumnKind::Date: return {ColumnKind::Date, kDateSize, 0};
        default: return {code, size, 0};
        }
    }

    switch (column.sqlType) {
    case SQL_VARCHAR:
    case SQL_WVARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR: return {ColumnKind::Text, size, 0};
    case SQL_CHAR:
    case SQL_WCHAR: return {ColumnKind::FixedChar, size, 0};
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATE:
    case SQL_TIMESTAMP: return {ColumnKind::Date, kDateSize, 0};
    default: break;
    }
    if (IsExactNumeric(column.sqlType)) return Number(size > 0 ? size : kMaxPrecision, column.decimalDigits);
    if (IsApproximateNumeric(column.sqlType)) return Number(size > 0 ? size : kMaxPrecision, 0);
    return {ColumnKind::Other, 0, 0};
}

QString EscapePattern(const QString& text, const QString& escape) {
    if (escape.isEmpty()) return text;
    QString escaped;
    for (const QChar c : text) {
        if (c == QLatin1Char('_') || c == QLatin1Char('%') || c == escape.front()) escaped += escape;
        escaped += c;
    }
    return escaped;
}

}  // namespace velkin::odbc
