// The suite installer's stand-in: journals its command line, optionally
// sleeps, marks that it got to the end and exits with a scripted code.
//   VT_CVINST_JOURNAL    file the lines are appended to (UTF-8)
//   VT_CVINST_SLEEP_MS   milliseconds to sleep before the "done" line
//   VT_CVINST_EXIT_CODE  exit code (decimal), 0 when unset
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    if (length == 0 || length >= 1024) {
        return {};
    }
    return std::wstring(buffer, length);
}

void appendLine(const std::wstring& journal, const std::wstring& line) {
    if (journal.empty()) {
        return;
    }
    const std::wstring text = line + L"\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes,
                        nullptr, nullptr);
    HANDLE file = CreateFileW(journal.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int wmain(int, wchar_t*[]) {
    const std::wstring journal = environment(L"VT_CVINST_JOURNAL");
    appendLine(journal, std::wstring(L"cmdline ") + GetCommandLineW());
    const std::wstring sleep = environment(L"VT_CVINST_SLEEP_MS");
    if (!sleep.empty()) {
        Sleep(static_cast<DWORD>(std::wcstoul(sleep.c_str(), nullptr, 10)));
    }
    appendLine(journal, L"done");
    const std::wstring code = environment(L"VT_CVINST_EXIT_CODE");
    return code.empty() ? 0 : static_cast<int>(std::wcstol(code.c_str(), nullptr, 10));
}
