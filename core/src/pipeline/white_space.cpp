// UTF-8 decoding and White_Space classification.
#include "pipeline/white_space.hpp"

namespace kelvara::pipeline::text {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

char32_t next_code_point(std::string_view text, std::size_t& pos) {
    const auto b0 = static_cast<unsigned char>(text[pos]);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    std::size_t len;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) { len = 2; cp = b0 & 0x1F; min = 0x80; }
    else if ((b0 & 0xF0) == 0xE0) { len = 3; cp = b0 & 0x0F; min = 0x800; }
    else if ((b0 & 0xF8) == 0xF0) { len = 4; cp = b0 & 0x07; min = 0x10000; }
    else {
        ++pos;
        return kReplacement;
    }
    if (pos + len > text.size()) {
        ++pos;
        return kReplacement;
    }
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(text[pos + i]);
        if (!is_continuation(b)) {
            ++pos;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not code points.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return kReplacement;
    }
    pos += len;
    return cp;
}

bool is_white_space(char32_t cp) {
    if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    if (cp < 0x85) return false;
    switch (cp) {
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t pos = 0;
    std::size_t begin = text.size();
    std::size_t end = 0;
    while (pos < text.size()) {
        const std::size_t at = pos;
        if (!is_white_space(next_code_point(text, pos))) {
            if (begin == text.size()) begin = at;
            end = pos;
        }
    }
    return begin == text.size() ? std::string_view() : text.substr(begin, end - begin);
}

}  // namespace kelvara::pipeline::text
