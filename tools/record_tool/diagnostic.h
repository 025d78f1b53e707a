// SPDX-License-Identifier: Apache-2.0
#pragma once
// How the tool shows text from its input in a diagnostic: control characters written as escapes,
// so a value holding CR LF or a terminal's escape sequence shows what it held and one message
// stays one line. Standard C++ only: the manifest parser, which a fuzzer feeds, uses it too.
#include <cstdio>
#include <string>
#include <string_view>

namespace kestravo {

// "\r", "\n", "\t" for those three; "\xNN" for the other C0 controls and DEL. Everything else,
// UTF-8 included, stays as it is.
inline std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace kestravo
