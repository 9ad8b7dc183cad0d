#include "shell/ini_file.h"

namespace velkin::ini {

namespace {

bool IsBlank(QChar c) { return c == u' ' || c == u'\t'; }

QStringView TrimBlanks(QStringView s) {
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && IsBlank(s[begin])) ++begin;
    while (end > begin && IsBlank(s[end - 1])) --end;
    return s.mid(begin, end - begin);
}

QChar AsciiUpper(QChar c) {
    return (c >= u'a' && c <= u'z') ? QChar(c.unicode() - (u'a' - u'A')) : c;
}

// Windows compares profile names without regard to case; only ASCII letters
// are folded, so names in other scripts must match exactly.
bool SameName(QStringView a, QStringView b) {
    if (a.size() != b.size()) return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    }
    return true;
}

// The section name if the line is a header.
bool HeaderName(QStringView line, QStringView* name) {
    const QStringView t = TrimBlanks(line);
    if (t.isEmpty() || t[0] != u'[') return false;
    const qsizetype close = t.lastIndexOf(u']');
    if (close < 1) return false;
    *name = TrimBlanks(t.mid(1, close - 1));
    return true;
}

bool IsComment(QStringView line) {
    const QStringView t = TrimBlanks(line);
    return !t.isEmpty() && t[0] == u';';
}

// Position of the '=' of a key line whose key is `key`, or -1.
qsizetype KeyEquals(QStringView line, QStringView key) {
    if (IsComment(line)) return -1;
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0) return -1;
    return SameName(TrimBlanks(line.left(eq)), key) ? eq : -1;
}

QString Unquote(QStringView value) {
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == u'"' || first == u'\'') && value.back() == first) {
            value = value.mid(1, value.size() - 2);
        }
    }
    return value.toString();
}

// Index of the first header naming `section`, or -1.
qsizetype FindSection(const std::vector<Line>& lines, QStringView section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        QStringView name;
        if (HeaderName(lines[i].text, &name) && SameName(name, section)) {
            return static_cast<qsizetype>(i);
        }
    }
    return -1;
}

// One past the last line of the section whose header is at `header`.
qsizetype SectionEnd(const std::vector<Line>& lines, qsizetype header) {
    qsizetype i = header + 1;
    QStringView ignored;
    while (i < static_cast<qsizetype>(lines.size()) && !HeaderName(lines[i].text, &ignored)) ++i;
    return i;
}

QString LineBreakOf(const std::vector<Line>& lines) {
    bool lf = false;
    bool cr = false;
    for (const Line& line : lines) {
        if (line.ending == u"\r\n") return QStringLiteral("\r\n");
        lf = lf || line.ending == u"\n";
        cr = cr || line.ending == u"\r";
    }
    if (lf) return QStringLiteral("\n");
    if (cr) return QStringLiteral("\r");
    return QStringLiteral("\r\n");
}

bool FitsOneLine(QStringView s) {
    for (QChar c : s) {
        if (c == u'\r' || c == u'\n' || c == QChar(0)) return false;
    }
    return true;
}

}  // namespace

std::vector<Line> SplitLines(const QString& text) {
    std::vector<Line> lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n') continue;
        const qsizetype breakLength = (c == u'\r' && i + 1 < n && text[i + 1] == u'\n') ? 2 : 1;
        lines.push_back({text.mid(start, i - start), text.mid(i, breakLength),
                         static_cast<qsizetype>(lines.size())});
        i += breakLength - 1;
        start = i + 1;
    }
    if (start < n) lines.push_back({text.mid(start), QString(), static_cast<qsizetype>(lines.size())});
    return lines;
}

QString JoinLines(const std::vector<Line>& lines) {
    QString text;
    for (const Line& line : lines) text += line.text + line.ending;
    return text;
}

QString ReadValue(const std::vector<Line>& lines, const QString& section, const QString& key) {
    const QStringView wantedKey = TrimBlanks(key);
    const qsizetype header = FindSection(lines, TrimBlanks(section));
    if (header < 0) return QString();
    const qsizetype end = SectionEnd(lines, header);
    for (qsizetype i = header + 1; i < end; ++i) {
        const QString& text = lines[i].text;
        const qsizetype eq = KeyEquals(text, wantedKey);
        if (eq >= 0) return Unquote(TrimBlanks(QStringView(text).mid(eq + 1)));
    }
    return QString();
}

QString ReadValue(const QString& text, const QString& section, const QString& key) {
    return ReadValue(SplitLines(text), section, key);
}

bool WriteValue(std::vector<Line>& lines, const QString& section, const QString& key,
                const QString& value) {
    const QStringView wantedSection = TrimBlanks(section);
    const QStringView wantedKey = TrimBlanks(key);
    if (!FitsOneLine(section) || !FitsOneLine(key) || !FitsOneLine(value)) return false;
    if (wantedKey.isEmpty() || wantedKey.contains(u'=') || wantedKey[0] == u';' ||
        wantedKey[0] == u'[') {
        return false;
    }
    const QString lineBreak = LineBreakOf(lines);
    const QString entry = wantedKey.toString() + u'=' + value;

    // Something is about to follow `index`: it needs a line break of its own.
    auto terminate = [&](qsizetype index) {
        Line& line = lines[index];
        if (line.ending.isEmpty()) line.ending = lineBreak;
    };

    const qsizetype header = FindSection(lines, wantedSection);
    if (header >= 0) {
        const qsizetype end = SectionEnd(lines, header);
        qsizetype last = header;
        for (qsizetype i = header + 1; i < end; ++i) {
            Line& line = lines[i];
            const qsizetype eq = KeyEquals(line.text, wantedKey);
            if (eq >= 0) {
                qsizetype keep = eq + 1;
                while (keep < line.text.size() && IsBlank(line.text[keep])) ++keep;
                line.text = line.text.left(keep) + value;
                line.origin = -1;
                return true;
            }
            if (!TrimBlanks(line.text).isEmpty() && !IsComment(line.text)) last = i;
        }
        terminate(last);
        lines.insert(lines.begin() + last + 1, Line{entry, lineBreak, -1});
        return true;
    }

    if (!lines.empty()) {
        terminate(static_cast<qsizetype>(lines.size()) - 1);
        if (!TrimBlanks(lines.back().text).isEmpty()) lines.push_back({QString(), lineBreak, -1});
    }
    lines.push_back({u'[' + wantedSection.toString() + u']', lineBreak, -1});
    lines.push_back({entry, lineBreak, -1});
    return true;
}

bool WriteValue(QString& text, const QString& section, const QString& key, const QString& value) {
    std::vector<Line> lines = SplitLines(text);
    if (!WriteValue(lines, section, key, value)) return false;
    text = JoinLines(lines);
    return true;
}

}  // namespace velkin::ini
