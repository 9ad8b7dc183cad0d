#include "db/utf8_text.h"

#include <cstring>

namespace velkin {

namespace {

bool IsSurrogateLead(unsigned char first, unsigned char second) {
    return first == 0xED && second >= 0xA0 && second <= 0xBF;
}

// Where the next lone surrogate's three bytes begin, or npos.
size_t FindSurrogate(std::string_view bytes, size_t from) {
    while (from + 2 < bytes.size()) {
        const void* hit = std::memchr(bytes.data() + from, 0xED, bytes.size() - from - 2);
        if (!hit) return std::string_view::npos;
        const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - bytes.data());
        const auto second = static_cast<unsigned char>(bytes[at + 1]);
        const auto third = static_cast<unsigned char>(bytes[at + 2]);
        if (IsSurrogateLead(0xED, second) && (third & 0xC0) == 0x80) return at;
        from = at + 1;
    }
    return std::string_view::npos;
}

}  // namespace

void AppendUtf8(QStringView text, std::string& out) {
    const size_t start = out.size();
    out.resize(start + 3 * static_cast<size_t>(text.size()));
    char* p = out.data() + start;
    const char16_t* in = text.utf16();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = in[i];
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00);
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {  // the rest of the basic plane, lone surrogates included
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(p - out.data()));
}

QString FromUtf8(std::string_view bytes) {
    size_t surrogate = FindSurrogate(bytes, 0);
    if (surrogate == std::string_view::npos)
        return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QString text;
    size_t from = 0;
    while (surrogate != std::string_view::npos) {
        text += QString::fromUtf8(bytes.data() + from, static_cast<qsizetype>(surrogate - from));
        const auto second = static_cast<unsigned char>(bytes[surrogate + 1]);
        const auto third = static_cast<unsigned char>(bytes[surrogate + 2]);
        text += QChar(static_cast<char16_t>(0xD000 | ((second & 0x3F) << 6) | (third & 0x3F)));
        from = surrogate + 3;
        surrogate = FindSurrogate(bytes, from);
    }
    text += QString::fromUtf8(bytes.data() + from, static_cast<qsizetype>(bytes.size() - from));
    return text;
}

bool IsAscii(std::string_view bytes) {
    unsigned char any = 0;
    for (char c : bytes) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

}  // namespace velkin
