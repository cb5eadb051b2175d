// Text helpers shared by the rig's Windows programs: UTF-8 and JSON string
// literals for the reports they write.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <string>

inline std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

// A JSON string literal for the text; control characters are escaped so
// that a line's trailing "\n" stays visible in the report.
inline std::string Json(const std::wstring& text)
{
    std::string utf8 = Utf8(text);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char buffer[8];
            snprintf(buffer, sizeof(buffer), "\\u%04x", c);
            out += buffer;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}
