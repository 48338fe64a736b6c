// The lines of a file log's text, for the end-to-end test and the demo.
#pragma once

#include <string>
#include <vector>

namespace VantrelRig {

// Each line without its line end; the byte-order mark and empty lines left out.
inline std::vector<std::wstring> LogTextLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t start = (!text.empty() && text[0] == 0xFEFF) ? 1 : 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace VantrelRig
