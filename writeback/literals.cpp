#include "writeback/literals.h"

#include "db/date_text.h"
#include "db/decimal_text.h"
#include "db/error.h"
#include "db/utf8_text.h"
#include "grid/exact_form.h"
#include "writeback/number_literal.h"

#include <QDate>

namespace velkin {

namespace {

// 'text' with every character the dialect's string rules name doubled,
// appended to `out`.
void AppendQuoted(QString& out, QStringView text, const Dialect& dialect) {
    const QLatin1StringView doubled(dialect.description().strings.doubled);
    out += QLatin1Char('\'');
    // Most cells hold none of them: one scan each, and the text as it is.
    bool plain = true;
    for (const char special : doubled) plain = plain && !text.contains(QLatin1Char(special));
    if (plain) {
        out += text;
    } else {
        for (QChar ch : text) {
            if (doubled.contains(ch)) out += ch;
            out += ch;
        }
    }
    out += QLatin1Char('\'');
}

bool AllDigits(QStringView text) {
    for (QChar ch : text)
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9')) return false;
    return true;
}

int Digits(QStringView text, qsizetype from, qsizetype count) {
    int value = 0;
    for (qsizetype i = from; i < from + count; ++i) value = value * 10 + (text.at(i).unicode() - u'0');
    return value;
}

// Eight digits, year, month and day, naming a real calendar date.
bool IsDateText(QStringView text) {
    if (text.size() != 8 || !AllDigits(text)) return false;
    const int year = Digits(text, 0, 4);
    return year > 0 && QDate::isValid(year, Digits(text, 4, 2), Digits(text, 6, 2));
}

// "yyyymmdd hh:mm:ss" with an optional fraction ".f" of 1 to 12 digits,
// naming a real day and time.
bool IsDateTimeText(QStringView text) {
    if (text.size() < 17 || !IsDateText(text.left(8)) || text[8] != u' ' || text[11] != u':' || text[14] != u':')
        return false;
    const QStringView h = text.mid(9, 2), m = text.mid(12, 2), s = text.mid(15, 2);
    if (!AllDigits(h) || !AllDigits(m) || !AllDigits(s)) return false;
    if (Digits(h, 0, 2) > 23 || Digits(m, 0, 2) > 59 || Digits(s, 0, 2) > 59) return false;
    if (text.size() == 17) return true;
    const QStringView fraction = text.mid(18);
    return text[17] == u'.' && !fraction.isEmpty() && fraction.size() <= 12 && AllDigits(fraction);
}

// "yyyy-mm-dd" from the first eight digits, and the rest as it is.
void AppendIsoDate(QString& out, QStringView text) {
    out += text.left(4);
    out += QLatin1Char('-');
    out += text.mid(4, 2);
    out += QLatin1Char('-');
    out += text.mid(6);
}

// A date, or a date with a time of day, in the given form of the dialect.
void AppendQuotedDate(QString& out, QStringView text, const QuotedDateForm& form, const Dialect& dialect) {
    out += QLatin1String(form.prefix);
    if (form.isoDate) {
        QString iso;
        AppendIsoDate(iso, text);
        AppendQuoted(out, iso, dialect);
    } else {
        AppendQuoted(out, text, dialect);
    }
    out += QLatin1String(form.suffix);
}

void AppendDateLiteral(QString& out, QStringView text, const Dialect& dialect) {
    AppendQuotedDate(out, text, dialect.dateQuoting(), dialect);
}

void AppendDateTimeLiteral(QString& out, QStringView text, const Dialect& dialect) {
    AppendQuotedDate(out, text, dialect.dateTimeQuoting(text.size() > 17), dialect);
}

bool IsHexText(QStringView text) {
    if (text.size() % 2 != 0) return false;
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'))) return false;
    }
    return true;
}

// The bits of bytes given as hexadecimal digits, b'101', without leading zeros.
void AppendBitLiteral(QString& out, QStringView hex) {
    out += QLatin1String("b'");
    QString bits;
    for (QChar ch : hex) {
        const int nibble = QStringView(&ch, 1).toInt(nullptr, 16);
        for (int bit = 3; bit >= 0; --bit) bits += QLatin1Char((nibble >> bit) & 1 ? '1' : '0');
    }
    const qsizetype firstOne = bits.indexOf(QLatin1Char('1'));
    out += firstOne < 0 ? QStringLiteral("0") : bits.mid(firstOne);
    out += QLatin1Char('\'');
}

// Bytes given as hexadecimal digits, in the dialect's binary literal.
void AppendBinaryLiteral(QString& out, QStringView hex, const ColumnOrigin& origin, const Dialect& dialect) {
    if (!IsHexText(hex)) throw Error::TypeMismatch();
    const BinaryLiteralForm& form = dialect.description().binary;
    if (form.bitsForBitColumns && origin.shape == ValueShape::Bit) {
        AppendBitLiteral(out, hex);
        return;
    }
    out += QLatin1String(form.prefix);
    out += hex;
    out += QLatin1String(form.suffix);
    if (!form.defaultCast) return;
    out += QLatin1String("::");
    out += origin.castType.isEmpty() ? QString::fromLatin1(form.defaultCast) : origin.castType;
}

// Decimal text that SQL reads as a number without quotes: sign, digits, an
// optional point and fraction, an optional exponent (db/decimal_text.h).
bool IsNumericLiteralText(QStringView text) {
    std::string ascii;
    ascii.reserve(static_cast<size_t>(text.size()));
    for (const QChar c : text) {
        if (c.unicode() >= 0x80) return false;
        ascii += static_cast<char>(c.unicode());
    }
    return ScanDecimal(ascii).has_value();
}

// 'text', with the column's cast where the engine's literals carry one.
void AppendTypedText(QString& out, const QString& text, const ColumnOrigin& origin, const Dialect& dialect) {
    AppendQuoted(out, text, dialect);
    if (origin.castType.isEmpty()) return;
    out += QLatin1String("::");
    out += origin.castType;
}

// A value with a time zone as the server wrote it ("2024-01-31 10:11:12+09"),
// as a snapshot file holds it: taken back with a cast to the column's type,
// whose input is unambiguous for an ISO date, where the engine casts.
bool IsZonedServerText(const QString& text, const ColumnOrigin& origin) {
    if (origin.castType.isEmpty() || text.size() < 11 || DateCellText(text) != text) return false;
    const QStringView date(text.constData(), 10);
    return date[4] == u'-' && date[7] == u'-' && IsDateText(date.left(4).toString() + date.mid(5, 2).toString() + date.mid(8, 2).toString());
}

}  // namespace

// The replace writes a literal for every cell of every row; appending in place
// spares it the temporary strings of each literal.
void AppendCellLiteral(QString& out, const QString& columnType, const QString& cellText, const Dialect& dialect,
                       const ColumnOrigin& origin) {
    const bool empty = cellText.isEmpty();
    if (origin.shape != ValueShape::Plain) {
        AppendBinaryLiteral(out, cellText, origin, dialect);
        return;
    }
    if (columnType == QLatin1String("NUMBER")) {
        if (empty)
            out += QLatin1Char('0');
        else
            out += NumberLiteral(cellText);
        return;
    }
    if (columnType == QLatin1String("DATE")) {
        // An empty date cell means "no date"; 0 would be refused by a date column.
        if (empty) {
            out += QLatin1String("NULL");
            return;
        }
        // Some engines' TO_DATE reads "2024-01-31" or "2024013" as another date
        // without complaint; such a cell is refused here instead of stored wrong.
        if (IsDateText(cellText))
            AppendDateLiteral(out, cellText, dialect);
        else if (IsDateTimeText(cellText))
            AppendDateTimeLiteral(out, cellText, dialect);
        else if (IsZonedServerText(cellText, origin))
            AppendTypedText(out, cellText, origin, dialect);
        else
            throw Error::TypeMismatch();
        return;
    }
    if (columnType == QLatin1String("CHAR") && empty) {
        out += QLatin1String("' '");
        return;
    }
    // CHAR, VARCHAR2, ETC and any name the catalogue does not know.
    AppendQuoted(out, cellText, dialect);
}

QString ExpectedCellText(const QString& columnType, const ColumnOrigin& origin) {
    if (origin.shape != ValueShape::Plain) return QStringLiteral("16 進数の文字列を入力してください。");
    if (columnType == QLatin1String("NUMBER")) return QStringLiteral("数値を入力してください。");
    if (columnType == QLatin1String("DATE"))
        return QStringLiteral("yyyymmdd または yyyymmdd hh:mm:ss の日付を入力してください。");
    return QString();
}

QString CellLiteral(const QString& columnType, const QString& cellText, const Dialect& dialect,
                    const ColumnOrigin& origin) {
    QString literal;
    AppendCellLiteral(literal, columnType, cellText, dialect, origin);
    return literal;
}

QString CellLiteral(const QString& columnType, const QString& cellText, DateLiteralForm dateForm) {
    // The dialect whose own form it is, so its dates with a time match.
    DialectKind kind = DialectKind::Oracle;
    if (dateForm == DateLiteralForm::IsoText) kind = DialectKind::SQLite;
    if (dateForm == DateLiteralForm::StandardDate) kind = DialectKind::Standard;
    if (dateForm == DateLiteralForm::CompactText) kind = DialectKind::SqlServer;
    return CellLiteral(columnType, cellText, Dialect(kind, dateForm));
}

void AppendReadLiteral(QString& out, const QString& columnType, const ColumnOrigin& origin, const QString& cellText,
                       const ReadCell& read, const Dialect& dialect) {
    if (read.null) {
        out += QLatin1String("NULL");
        return;
    }
    const ExactForm exact = DecodeExact(read.exact);
    if (exact.kind == ExactForm::Kind::Literal) {
        out += FromUtf8(exact.literal);
        return;
    }
    if (exact.kind == ExactForm::Kind::Unpadded) {
        qsizetype length = cellText.size();
        while (length > 0 && cellText[length - 1] == QLatin1Char(' ')) --length;
        out += Dialect::sqlStringLiteral(cellText.left(length));
        return;
    }
    if (exact.kind == ExactForm::Kind::TrailingZeros) {
        out += cellText;
        if (!cellText.contains(QLatin1Char('.'))) out += QLatin1Char('.');
        out += QString(static_cast<qsizetype>(exact.trailingZeros), QLatin1Char('0'));
        return;
    }
    if (origin.shape != ValueShape::Plain) {
        AppendBinaryLiteral(out, cellText, origin, dialect);
        return;
    }
    if (cellText.isEmpty()) {
        // An empty text, not a NULL: the rules would write 0, ' ' or NULL.
        out += QLatin1String("''");
        return;
    }
    if (columnType == QLatin1String("NUMBER")) {
        // The rules' own literal wherever it is exact, so these statements
        // stay as they always were.
        try {
            const QString literal = NumberLiteral(cellText);
            if (literal == cellText) {
                out += literal;
                return;
            }
        } catch (const Error&) {
            // Beyond the rules' range or form: written as read, below.
        }
        if (!origin.castType.isEmpty() || !IsNumericLiteralText(cellText) ||
            dialect.description().quotesNumbersAsRead)
            AppendTypedText(out, cellText, origin, dialect);
        else
            out += cellText;
        return;
    }
    if (columnType == QLatin1String("DATE")) {
        if (IsDateText(cellText))
            AppendDateLiteral(out, cellText, dialect);
        else if (IsDateTimeText(cellText))
            AppendDateTimeLiteral(out, cellText, dialect);
        else
            AppendTypedText(out, cellText, origin, dialect);
        return;
    }
    AppendQuoted(out, cellText, dialect);
}

QString QuotedIdentifier(const QString& name, const Dialect& dialect) {
    const QLatin1Char quote(dialect.description().identifierQuote);
    QString doubled = name;
    doubled.replace(quote, QString(2, quote));
    return quote + doubled + quote;
}

}  // namespace velkin
