// Full Unicode lower-casing over generated tables.
//
// The text is decoded to code points first because the final-sigma rule
// looks at the neighbours of a capital sigma on both sides, skipping
// case-ignorable characters. Invalid UTF-8 bytes are carried through as
// out-of-range code points (kRawByte + byte) so they come back out unchanged.
#include "types/unicode_case.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kelvara::types {

namespace {

struct LowerRun {
    char32_t first, last;
    std::uint8_t stride;
    std::int32_t delta;
};

struct CodeRange {
    char32_t first, last;
};

#include "types/unicode_case_data.inc"

constexpr char32_t kRawByte = 0x110000;
constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;
constexpr char32_t kCapitalIWithDot = 0x130;

bool in_ranges(const CodeRange* begin, const CodeRange* end, char32_t cp) {
    const CodeRange* it = std::upper_bound(begin, end, cp, [](char32_t c, const CodeRange& r) { return c < r.first; });
    return it != begin && cp <= (it - 1)->last;
}

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t cp) {
    return in_ranges(table, table + N, cp);
}

char32_t simple_lower(char32_t cp) {
    const auto* end = kLowerRuns + std::size(kLowerRuns);
    const LowerRun* it =
        std::upper_bound(kLowerRuns, end, cp, [](char32_t c, const LowerRun& r) { return c < r.first; });
    if (it == kLowerRuns) return cp;
    const LowerRun& run = *(it - 1);
    if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
    return static_cast<char32_t>(static_cast<std::int32_t>(cp) + run.delta);
}

bool ignorable(char32_t cp) { return cp < kRawByte && in_ranges(kCaseIgnorable, cp); }
bool cased(char32_t cp) { return cp < kRawByte && in_ranges(kCased, cp); }

// A capital sigma at `i` ends a word: a cased letter precedes it and none
// follows it, case-ignorable characters skipped on both sides.
bool is_final_sigma(const std::vector<char32_t>& cps, std::size_t i) {
    std::size_t j = i;
    while (j > 0 && ignorable(cps[j - 1])) --j;
    if (j == 0 || !cased(cps[j - 1])) return false;
    std::size_t k = i + 1;
    while (k < cps.size() && ignorable(cps[k])) ++k;
    return k == cps.size() || !cased(cps[k]);
}

std::vector<char32_t> decode(std::string_view s) {
    std::vector<char32_t> out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = 0;
        char32_t cp = 0, min = 0;
        if (b < 0x80) len = 1, cp = b;
        else if ((b & 0xE0) == 0xC0) len = 2, cp = b & 0x1F, min = 0x80;
        else if ((b & 0xF0) == 0xE0) len = 3, cp = b & 0x0F, min = 0x800;
        else if ((b & 0xF8) == 0xF0) len = 4, cp = b & 0x07, min = 0x10000;
        bool ok = len != 0 && i + len <= s.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!ok) {
            out.push_back(kRawByte + b);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += len;
    }
    return out;
}

void encode(char32_t cp, std::string& out) {
    if (cp >= kRawByte) out.push_back(static_cast<char>(cp - kRawByte));
    else if (cp < 0x80) out.push_back(static_cast<char>(cp));
    else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string to_lower_unicode(std::string_view text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string out(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
    const std::vector<char32_t> cps = decode(text);
    std::string out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < cps.size(); ++i) {
        const char32_t cp = cps[i];
        if (cp == kCapitalIWithDot) {
            encode(U'i', out);
            encode(0x307, out);  // combining dot above
        } else if (cp == kCapitalSigma) {
            encode(is_final_sigma(cps, i) ? kFinalSigma : kSmallSigma, out);
        } else {
            encode(cp < kRawByte ? simple_lower(cp) : cp, out);
        }
    }
    return out;
}

}  // namespace kelvara::types
