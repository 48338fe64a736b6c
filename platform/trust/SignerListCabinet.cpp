// Taking a newer signer list out of a cabinet, through the cabinet library's
// FDI functions bound at run time.
#include <windows.h>
#include <fcntl.h>
#include <fdi.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files/StringUtils.h"
#include "platform/trust/SignerListFile.h"
#include "platform/trust/TrustHandles.h"

namespace Tessil {
namespace {

using namespace trust_detail;

using FdiCreateFn = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE,
                                      PFNSEEK, int, PERF);
using FdiCopyFn = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using FdiDestroyFn = BOOL(DIAMONDAPI*)(HFDI);

FNALLOC(CabAlloc) { return std::malloc(cb); }
FNFREE(CabFree) { std::free(pv); }
FNOPEN(CabOpen) { return _sopen(pszFile, oflag | _O_BINARY, _SH_DENYNO, pmode); }
FNREAD(CabRead) { return static_cast<UINT>(_read(static_cast<int>(hf), pv, cb)); }
FNWRITE(CabWrite) { return static_cast<UINT>(_write(static_cast<int>(hf), pv, cb)); }
FNCLOSE(CabClose) { return _close(static_cast<int>(hf)); }
FNSEEK(CabSeek) { return _lseek(static_cast<int>(hf), dist, seektype); }

struct Extraction {
    std::string path;      // the extracted file, once created
    bool complete = false;  // closed successfully
};

// A new temporary name in the temp folder: "trustedjs" prefix, ".js" extension.
std::string NewTemporaryListPath() {
    char folder[MAX_PATH + 1] = {};
    DWORD chars = GetTempPathA(MAX_PATH, folder);
    if (chars == 0 || chars > MAX_PATH) return std::string();
    char name[MAX_PATH + 1] = {};
    if (!GetTempFileNameA(folder, "trustedjs", 0, name)) return std::string();
    // The file made to reserve the name is not the one used: remove it.
    DeleteFileA(name);
    std::string path = name;
    std::size_t dot = path.find_last_of('.');
    std::size_t slash = path.find_last_of('\\');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.resize(dot);
    return path + ".js";
}

FNFDINOTIFY(CabNotify) {
    auto* extraction = static_cast<Extraction*>(pfdin->pv);
    switch (fdint) {
    case fdintCOPY_FILE: {
        if (!pfdin->psz1 || _stricmp(pfdin->psz1, "trusted.js") != 0 || !extraction->path.empty())
            return 0;
        extraction->path = NewTemporaryListPath();
        if (extraction->path.empty()) return -1;
        return _sopen(extraction->path.c_str(), _O_BINARY | _O_CREAT | _O_TRUNC | _O_WRONLY,
                      _SH_DENYWR, _S_IREAD | _S_IWRITE);
    }
    case fdintCLOSE_FILE_INFO:
        extraction->complete = _close(static_cast<int>(pfdin->hf)) == 0;
        // The cabinet's attribute bits are not applied: the file is read once
        // and deleted, and a read-only copy could not be deleted.
        SetFileAttributesA(extraction->path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return TRUE;
    default:
        return 0;
    }
}

std::wstring SystemCabinetLibraryPath() {
    wchar_t folder[MAX_PATH + 1] = {};
    UINT chars = GetSystemDirectoryW(folder, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH) return std::wstring();
    return std::wstring(folder) + L"\\Cabinet.dll";
}

std::string ToAnsi(const wchar_t* text) {
    std::string out;
    return text != nullptr && Kelmora::NarrowToCodePage(CP_THREAD_ACP, text, out) ? out : std::string();
}

}  // namespace

bool InstallSignerListFromCabinet(const wchar_t* cabinetPath, SignerListFile& current,
                                  const std::wstring& reloadAtom,
                                  const std::shared_ptr<const TrustPolicy>& policy) {
    if (!cabinetPath || !*cabinetPath) return false;
    // From the system folder only, never from the search path.
    const std::wstring libraryPath = SystemCabinetLibraryPath();
    if (libraryPath.empty()) return false;
    ModuleHandle cabinet(LoadLibraryExW(libraryPath.c_str(), nullptr, 0));
    if (!cabinet) return false;
    auto fdiCreate = reinterpret_cast<FdiCreateFn>(
        reinterpret_cast<void*>(GetProcAddress(cabinet.get(), "FDICreate")));
    auto fdiCopy = reinterpret_cast<FdiCopyFn>(
        reinterpret_cast<void*>(GetProcAddress(cabinet.get(), "FDICopy")));
    auto fdiDestroy = reinterpret_cast<FdiDestroyFn>(
        reinterpret_cast<void*>(GetProcAddress(cabinet.get(), "FDIDestroy")));
    if (!fdiCreate || !fdiCopy || !fdiDestroy) return false;

    std::string path = ToAnsi(cabinetPath);
    std::size_t slash = path.find_last_of("\\/");
    if (path.empty() || slash == std::string::npos) return false;
    std::string folder = path.substr(0, slash + 1);
    std::string name = path.substr(slash + 1);

    Extraction extraction;
    ERF error{};
    HFDI fdi = fdiCreate(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek,
                         cpuUNKNOWN, &error);
    if (!fdi) return false;
    fdiCopy(fdi, name.data(), folder.data(), 0, CabNotify, nullptr, &extraction);
    fdiDestroy(fdi);

    bool installed = false;
    if (!extraction.path.empty() &&
        GetFileAttributesA(extraction.path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (extraction.complete) {
            const std::wstring extracted =
                Kelmora::WidenFromCodePage(CP_ACP, extraction.path.data(), extraction.path.size());
            if (!extracted.empty()) {
                installed = InstallSignerListFile(extracted.c_str(), current, reloadAtom, policy);
            }
        }
        DeleteFileA(extraction.path.c_str());
    }
    return installed;
}

}  // namespace Tessil
