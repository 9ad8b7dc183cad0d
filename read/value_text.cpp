#include "read/value_text.h"

#include <limits>
#include <optional>

namespace velkin {

QString ColumnKindName(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Text: return QStringLiteral("VARCHAR2");
        case ColumnKind::FixedChar: return QStringLiteral("CHAR");
        case ColumnKind::Number: return QStringLiteral("NUMBER");
        case ColumnKind::Date: return QStringLiteral("DATE");
        case ColumnKind::Other: break;
    }
    return QStringLiteral("ETC");
}

QString ColumnTypeText(const QString& type, int32_t size, int32_t scale) {
    QString text = type + QLatin1Char('(') + QString::number(size);
    if (scale > 0) text += QLatin1Char('.') + QString::number(scale);
    return text + QLatin1Char(')');
}

QString ColumnTypeText(const ColumnInfo& info) { return ColumnTypeText(ColumnKindName(info.kind), info.size, info.scale); }

ColumnInfo CatalogueEntry(ColumnKind kind, int32_t fieldSize, int32_t scale) {
    switch (kind) {
        case ColumnKind::Text:
        case ColumnKind::FixedChar: return {kind, fieldSize, 0};
        case ColumnKind::Number: {
            // Stays defined for the smallest size a component could report.
            const int32_t size =
                fieldSize == std::numeric_limits<int32_t>::min() ? fieldSize : fieldSize - 1;
            return {kind, size, scale};
        }
        case ColumnKind::Date: return {kind, 8, 0};
        case ColumnKind::Other: break;
    }
    return {ColumnKind::Other, 0, 0};
}

}  // namespace velkin
