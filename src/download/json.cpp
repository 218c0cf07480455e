#include "download/json.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>

namespace pv::download {
namespace {

// Length of the valid UTF-8 sequence at the start of `s`, 0 when it is not one.
std::size_t utf8Sequence(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        min = 0x80;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min = 0x800;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min = 0x10000;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (s.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u)
            return 0;
        code = code << 6 | (byte(i) & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code >= min && code <= 0x10FFFF && !surrogate ? length : 0;
}

}  // namespace

std::string utf8Text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80 ? 1 : utf8Sequence(text.substr(i));
        if (n > 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        // U+0080..U+00FF in UTF-8.
        out += static_cast<char>(0xC0u | (c >> 6));
        out += static_cast<char>(0x80u | (c & 0x3Fu));
        ++i;
    }
    return out;
}

Json parseJson(std::string_view text) {
    return Json::parse(text, nullptr, false);
}

std::string jsonLine(const Json& value) {
    // The library escapes U+0000..U+001F; DEL, the C1 controls (U+0085 among them) and the line
    // and paragraph separators U+2028 and U+2029 it writes as they are, and tools that split
    // lines on them (Python's splitlines) would break a line in two. They can only stand inside
    // strings, so they are escaped wherever they appear.
    const std::string raw = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string out;
    out.reserve(raw.size());
    auto escape = [&out](unsigned code) {
        char text[8];
        std::snprintf(text, sizeof text, "\\u%04x", code);
        out += text;
    };
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        const auto next = i + 1 < raw.size() ? static_cast<unsigned char>(raw[i + 1]) : 0u;
        const auto third = i + 2 < raw.size() ? static_cast<unsigned char>(raw[i + 2]) : 0u;
        if (c == 0x7F) {
            escape(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            escape(next);
            ++i;
        } else if (c == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {
            escape(0x2000u | (third - 0xA8u + 0x28u));
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace pv::download
