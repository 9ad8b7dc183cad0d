#include "grid/exact_form.h"

#include "db/utf8_text.h"

namespace velkin {

namespace {

// How many zeros `literal` adds to `shown` after the point, or 0 when it is
// not `shown` so extended.
uint32_t AddedZeros(std::string_view shown, std::string_view literal) {
    if (literal.size() <= shown.size() || literal.substr(0, shown.size()) != shown) return 0;
    std::string_view rest = literal.substr(shown.size());
    const bool point = shown.find('.') != std::string_view::npos;
    if (!point) {
        if (rest.front() != '.') return 0;
        rest.remove_prefix(1);
    }
    if (rest.empty() || rest.size() > UINT32_MAX) return 0;
    for (const char c : rest)
        if (c != '0') return 0;
    // Only a number's text ends this way.
    for (const char c : shown)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-')) return 0;
    return static_cast<uint32_t>(rest.size());
}

}  // namespace

std::string EncodeExact(std::string_view shown, const ExactValue& value) {
    std::string encoded(1, static_cast<char>(value.needs));
    if (value.unpadded) {
        encoded += static_cast<char>(ExactForm::Kind::Unpadded);
        return encoded;
    }
    if (value.literal.isEmpty()) {
        encoded += static_cast<char>(ExactForm::Kind::AsShown);
        return encoded;
    }
    std::string literal;
    AppendUtf8(value.literal, literal);
    if (uint32_t zeros = AddedZeros(shown, literal)) {
        encoded += static_cast<char>(ExactForm::Kind::TrailingZeros);
        do {
            const auto low = static_cast<uint8_t>(zeros & 0x7f);
            zeros >>= 7;
            encoded += static_cast<char>(zeros ? low | 0x80 : low);
        } while (zeros);
        return encoded;
    }
    encoded += static_cast<char>(ExactForm::Kind::Literal);
    encoded += literal;
    return encoded;
}

ExactForm DecodeExact(std::string_view encoded) {
    ExactForm form;
    if (encoded.size() < 2) return form;
    form.needs = static_cast<uint8_t>(encoded[0]);
    form.kind = static_cast<ExactForm::Kind>(encoded[1]);
    const std::string_view payload = encoded.substr(2);
    switch (form.kind) {
    case ExactForm::Kind::AsShown:
    case ExactForm::Kind::Unpadded: break;
    case ExactForm::Kind::Literal: form.literal = payload; break;
    case ExactForm::Kind::TrailingZeros: {
        int shift = 0;
        for (const char c : payload) {
            form.trailingZeros |= static_cast<uint32_t>(static_cast<uint8_t>(c) & 0x7f) << shift;
            shift += 7;
            if (!(static_cast<uint8_t>(c) & 0x80)) break;
        }
        break;
    }
    }
    return form;
}

}  // namespace velkin
