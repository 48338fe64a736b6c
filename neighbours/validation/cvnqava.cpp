// Small version of the platform's validation library "cvnqava.dll". Its
// verdict is scripted through the environment:
//   VT_QAV_TRUST       "*" trusts every file; else file names separated by ';'
//   VT_QAV_WORD0/1     replace the answer words (decimal or 0x hex)
//   VT_QAV_INTERFACES  interface names handed out, separated by ';'
//                      (default both "QavValidationControl2" and "QavValidationControl")
//   VT_QAV_NO_PIN      "1": do not keep itself loaded
//   VT_QAV_JOURNAL     file that gets one line "flags state path" per call, state
//                      "held" when the file could not be opened for writing
//                      at that moment, else "open"
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/trust/ValidationControl.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[4096];
    DWORD chars = GetEnvironmentVariableW(name, buffer, 4096);
    return chars && chars < 4096 ? std::wstring(buffer, chars) : std::wstring();
}

bool ListHas(const std::wstring& list, const std::wstring& item) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(L';', start);
        if (end == std::wstring::npos) end = list.size();
        if (list.compare(start, end - start, item) == 0 ||
            (end - start == item.size() &&
             _wcsnicmp(list.c_str() + start, item.c_str(), item.size()) == 0))
            return true;
        start = end + 1;
    }
    return false;
}

bool Trusted(const wchar_t* path) {
    std::wstring rule = Env(L"VT_QAV_TRUST");
    if (rule == L"*") return true;
    if (rule.empty() || !path) return false;
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/') name = p + 1;
    return ListHas(rule, name);
}

void Journal(const wchar_t* path, DWORD flags) {
    std::wstring journal = Env(L"VT_QAV_JOURNAL");
    if (journal.empty()) return;
    FILE* f = _wfopen(journal.c_str(), L"ab");
    if (!f) return;
    HANDLE probe = path ? CreateFileW(path, GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr)
                        : INVALID_HANDLE_VALUE;
    const bool held = probe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
    if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
    std::fprintf(f, "%lx %s %ls\n", static_cast<unsigned long>(flags), held ? "held" : "open",
                 path ? path : L"");
    std::fclose(f);
}

class ValidationControl : public Tessil::QavValidationControl {
public:
    HRESULT QueryInterface(REFIID, void** out) override {
        if (out) *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT Reserved3() override { return E_NOTIMPL; }
    HRESULT Reserved4() override { return E_NOTIMPL; }
    HRESULT ValidateFile(const wchar_t* path, DWORD flags, Tessil::ValidationAnswer* answer) override {
        Journal(path, flags);
        if (!answer) return E_POINTER;
        if (Trusted(path)) {
            answer->words[0] = Tessil::kValidationAnswerChecked;
            answer->words[1] = (flags & Tessil::kValidationFlagsNewPlatform)
                                   ? Tessil::kValidationVerdictNewPlatform
                                   : Tessil::kValidationVerdictOldPlatform;
        }
        std::wstring word0 = Env(L"VT_QAV_WORD0"), word1 = Env(L"VT_QAV_WORD1");
        if (!word0.empty()) answer->words[0] = static_cast<DWORD>(std::wcstoul(word0.c_str(), nullptr, 0));
        if (!word1.empty()) answer->words[1] = static_cast<DWORD>(std::wcstoul(word1.c_str(), nullptr, 0));
        return S_OK;
    }
};

ValidationControl g_control;

}  // namespace

extern "C" __declspec(dllexport) DWORD NotComDllGetInterface(const char* name, void** out) {
    if (!name || !out) return ERROR_INVALID_PARAMETER;
    *out = nullptr;
    std::wstring offered = Env(L"VT_QAV_INTERFACES");
    if (offered.empty()) offered = L"QavValidationControl2;QavValidationControl";
    std::wstring wanted(name, name + std::strlen(name));
    if (!ListHas(offered, wanted)) return ERROR_NOT_SUPPORTED;
    if (Env(L"VT_QAV_NO_PIN") != L"1") {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&g_control), &self);
    }
    *out = &g_control;
    return 0;
}
