#include "platform/Registry/RegKey.h"

#include "platform/Registry/SecurityAPI.h"

#include <objbase.h>
#include <shlwapi.h>

#include <atomic>
#include <cwchar>
#include <new>

namespace Kelmora {
namespace internal {

namespace {

constexpr REGSAM kViewMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Process-wide one-time lookup; concurrent first uses store the same result.
RegDeleteKeyExWFn LookUpRegDeleteKeyEx() {
    static std::atomic<int> state{0};  // 0 not looked up, 1 done
    static std::atomic<RegDeleteKeyExWFn> function{nullptr};
    if (state.load(std::memory_order_acquire) == 0) {
        RegDeleteKeyExWFn found = nullptr;
        if (HMODULE advapi = GetModuleHandleW(L"Advapi32.dll")) {
            found = reinterpret_cast<RegDeleteKeyExWFn>(
                reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")));
        }
        function.store(found, std::memory_order_relaxed);
        state.store(1, std::memory_order_release);
    }
    return function.load(std::memory_order_relaxed);
}

// Frees what LocalAlloc, SetEntriesInAcl or AllocateAndInitializeSid made.
struct GrantResources {
    SecurityAPI& api;
    PSECURITY_DESCRIPTOR readBuffer = nullptr;
    PSID sid = nullptr;
    PACL newDacl = nullptr;
    PSECURITY_DESCRIPTOR newDescriptor = nullptr;
    ~GrantResources() {
        if (sid != nullptr) api.FreeSid(sid);
        if (newDescriptor != nullptr) LocalFree(newDescriptor);
        if (newDacl != nullptr) LocalFree(newDacl);
        if (readBuffer != nullptr) LocalFree(readBuffer);
    }
};

LONG ApplySecurity(SecurityAPI& api, HKEY key, SECURITY_INFORMATION info,
                   PSECURITY_DESCRIPTOR descriptor, bool recurse) {
    LONG result = ::RegSetKeySecurity(key, info, descriptor);
    if (!recurse || result != ERROR_SUCCESS) {
        return result;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD length = 256;
        const LONG enumResult =
            ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (enumResult == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (enumResult != ERROR_SUCCESS) {
            return enumResult;
        }
        HKEY child = nullptr;
        if (::RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS, &child) == ERROR_SUCCESS) {
            result = ApplySecurity(api, child, info, descriptor, true);
            ::RegCloseKey(child);
            if (result != ERROR_SUCCESS) {
                return result;
            }
        }
    }
}

}  // namespace

CRegKeyImpl::~CRegKeyImpl() { CRegKeyImpl::Close(); }

LONG CRegKeyImpl::QueryValue(const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
    return ::RegQueryValueExW(key_, name, nullptr, type, data, size);
}

LONG CRegKeyImpl::SetValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
    if (data == nullptr || size == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegSetValueExW(key_, name, 0, type, data, size);
}

LONG CRegKeyImpl::SetGUIDValue(const wchar_t* name, const GUID& value) {
    wchar_t text[64] = {};
    if (StringFromGUID2(value, text, 64) == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    return SetStringValue(name, text, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(const wchar_t* name, const BYTE* data, DWORD size) {
    return SetValue(name, REG_BINARY, data, size);
}

LONG CRegKeyImpl::SetDWORDValue(const wchar_t* name, DWORD value) {
    return SetValue(name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

LONG CRegKeyImpl::SetQWORDValue(const wchar_t* name, ULONGLONG value) {
    return SetValue(name, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

LONG CRegKeyImpl::SetStringValue(const wchar_t* name, const wchar_t* text, DWORD type) {
    if (text == nullptr) {
        return ERROR_INVALID_DATA;
    }
    const std::size_t length = std::wcslen(text);
    if (length >= MAXDWORD / 2) {
        return ERROR_INVALID_PARAMETER;
    }
    return SetValue(name, type, reinterpret_cast<const BYTE*>(text),
                    static_cast<DWORD>((length + 1) * sizeof(wchar_t)));
}

LONG CRegKeyImpl::SetMultiStringValue(const wchar_t* name, const wchar_t* list) {
    if (list == nullptr) {
        return ERROR_INVALID_DATA;
    }
    std::size_t chars = 0;
    for (const wchar_t* p = list;;) {
        const std::size_t length = std::wcslen(p);
        chars += length + 1;
        if (length == 0) {
            break;
        }
        p += length + 1;
    }
    if (chars >= MAXDWORD / 2) {
        return ERROR_INVALID_PARAMETER;
    }
    return SetValue(name, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list),
                    static_cast<DWORD>(chars * sizeof(wchar_t)));
}

LONG CRegKeyImpl::QueryGUIDValue(const wchar_t* name, GUID& value) {
    value = GUID{};
    wchar_t text[64] = {};
    ULONG chars = 64;
    const LONG result = QueryStringValue(name, text, &chars);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (text[0] != L'{') {
        return ERROR_INVALID_DATA;
    }
    GUID parsed{};
    if (FAILED(CLSIDFromString(text, &parsed))) {
        return ERROR_INVALID_DATA;
    }
    value = parsed;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryBinaryValue(const wchar_t* name, BYTE* data, DWORD* size) {
    if (key_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD type = 0;
    const LONG result = QueryValue(name, &type, data, size);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return type == REG_BINARY ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryDWORDValue(const wchar_t* name, DWORD& value) {
    if (key_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD type = 0;
    DWORD stored = 0;
    DWORD size = sizeof(stored);
    const LONG result = QueryValue(name, &type, reinterpret_cast<BYTE*>(&stored), &size);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    // A short value would leave bytes of the buffer unwritten.
    if (type != REG_DWORD || size != sizeof(stored)) {
        return ERROR_INVALID_DATA;
    }
    value = stored;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryQWORDValue(const wchar_t* name, ULONGLONG& value) {
    if (key_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD type = 0;
    ULONGLONG stored = 0;
    DWORD size = sizeof(stored);
    const LONG result = QueryValue(name, &type, reinterpret_cast<BYTE*>(&stored), &size);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (type != REG_QWORD || size != sizeof(stored)) {
        return ERROR_INVALID_DATA;
    }
    value = stored;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringValue(const wchar_t* name, std::wstring& value) {
    ULONG chars = 0;
    LONG result = QueryStringValue(name, nullptr, &chars);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    const ULONG capacity = chars == 0 ? 1 : chars;
    wchar_t* buffer = new (std::nothrow) wchar_t[capacity];
    if (buffer == nullptr) {
        return ERROR_OUTOFMEMORY;
    }
    buffer[0] = L'\0';
    chars = capacity;
    result = QueryStringValue(name, buffer, &chars);
    if (result == ERROR_SUCCESS) {
        try {
            value.assign(buffer, wcsnlen(buffer, capacity));
        } catch (const std::bad_alloc&) {
            result = ERROR_OUTOFMEMORY;
        }
    }
    delete[] buffer;
    return result;
}

LONG CRegKeyImpl::QueryStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars) {
    if (key_ == nullptr || chars == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const ULONG capacity = *chars;
    *chars = 0;
    if (capacity > MAXDWORD / 2) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD type = 0;
    DWORD bytes = capacity * sizeof(wchar_t);
    const LONG result = QueryValue(name, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return ERROR_INVALID_DATA;
    }
    if (buffer == nullptr) {
        // Rounded up, so that an odd-sized value reaches the checks below.
        *chars = (bytes + 1) / sizeof(wchar_t);
        return ERROR_SUCCESS;
    }
    if (capacity == 0 || bytes > capacity * sizeof(wchar_t)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (bytes == 0) {
        buffer[0] = L'\0';
        return ERROR_SUCCESS;
    }
    if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') {
        return ERROR_INVALID_DATA;
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars) {
    if (chars == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (buffer != nullptr && *chars < 2) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const ULONG capacity = *chars;
    *chars = 0;
    if (capacity > MAXDWORD / 2) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD type = 0;
    DWORD bytes = capacity * sizeof(wchar_t);
    const LONG result = QueryValue(name, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (type != REG_MULTI_SZ) {
        return ERROR_INVALID_DATA;
    }
    if (buffer == nullptr) {
        *chars = (bytes + 1) / sizeof(wchar_t);
        return ERROR_SUCCESS;
    }
    if (bytes > capacity * sizeof(wchar_t)) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD count = bytes / sizeof(wchar_t);
    if (bytes % sizeof(wchar_t) != 0 || count == 0 || buffer[count - 1] != L'\0' ||
        (count > 1 && buffer[count - 2] != L'\0')) {
        return ERROR_INVALID_DATA;
    }
    *chars = count;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                                 DWORD* size) {
    if (key_ == nullptr || size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegGetKeySecurity(key_, info, descriptor, size);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
    if (key_ == nullptr || descriptor == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegSetKeySecurity(key_, info, descriptor);
}

LONG CRegKeyImpl::Adopt(HKEY key, REGSAM access) {
    const LONG result = Close();
    key_ = key;
    view_ = access & kViewMask;
    deleteOnClose_ = false;
    return result;
}

LONG CRegKeyImpl::Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass, DWORD options,
                         REGSAM access, SECURITY_ATTRIBUTES* attributes, DWORD* disposition) {
    DWORD localDisposition = 0;
    HKEY key = nullptr;
    const LONG result = ::RegCreateKeyExW(parent, subKey, 0, keyClass, options, access,
                                          attributes, &key, &localDisposition);
    if (disposition != nullptr) {
        *disposition = localDisposition;
    }
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return Adopt(key, access);
}

LONG CRegKeyImpl::Open(HKEY parent, const wchar_t* subKey, REGSAM access) {
    HKEY key = nullptr;
    const LONG result = ::RegOpenKeyExW(parent, subKey, 0, access, &key);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return Adopt(key, access);
}

LONG CRegKeyImpl::Close() {
    if (key_ == nullptr) {
        view_ = 0;
        return ERROR_SUCCESS;
    }
    if (deleteOnClose_) {
        ::SHDeleteKeyW(key_, L"");
        deleteOnClose_ = false;
    }
    const LONG result = ::RegCloseKey(key_);
    key_ = nullptr;
    view_ = 0;
    return result;
}

LONG CRegKeyImpl::Flush() {
    if (key_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegFlushKey(key_);
}

HKEY CRegKeyImpl::Detach() {
    HKEY key = key_;
    key_ = nullptr;
    view_ = 0;
    deleteOnClose_ = false;
    return key;
}

void CRegKeyImpl::Attach(HKEY key) {
    key_ = key;
    view_ = 0;
    deleteOnClose_ = false;
}

LONG CRegKeyImpl::EnumKey(DWORD index, wchar_t* name, DWORD* nameLength, FILETIME* lastWrite) {
    if (key_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    FILETIME local{};
    return ::RegEnumKeyExW(key_, index, name, nameLength, nullptr, nullptr, nullptr,
                           lastWrite != nullptr ? lastWrite : &local);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event,
                                       BOOL asynchronous) {
    if (key_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegNotifyChangeKeyValue(key_, watchSubtree, filter, event, asynchronous);
}

LONG CRegKeyImpl::DeleteSubKey(const wchar_t* subKey) {
    if (key_ == nullptr || subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (RegDeleteKeyExWFn deleteKeyEx = LookUpRegDeleteKeyEx()) {
        return deleteKeyEx(key_, subKey, view_, 0);
    }
    return ::RegDeleteKeyW(key_, subKey);
}

LONG CRegKeyImpl::RecurseDeleteKey(const wchar_t* subKey) {
    // A null name would otherwise empty the held key itself before failing.
    if (key_ == nullptr || subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    CRegKeyImpl temporary;
    LONG result = temporary.Open(key_, subKey, view_ | KEY_READ | KEY_WRITE);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    for (;;) {
        wchar_t name[256] = {};
        DWORD length = 256;
        if (temporary.EnumKey(0, name, &length) != ERROR_SUCCESS) {
            break;
        }
        result = temporary.RecurseDeleteKey(name);
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    temporary.Close();
    return DeleteSubKey(subKey);
}

LONG CRegKeyImpl::DeleteValue(const wchar_t* name) {
    if (key_ == nullptr || name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ::RegDeleteValueW(key_, name);
}

LONG CRegKeyImpl::GrantEveryoneFullAccess(bool recurse) {
    if (key_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    SecurityAPI api;
    if (!api.IsNT()) {
        return ERROR_SUCCESS;
    }
    if (!api.Bind()) {
        return ERROR_FILE_NOT_FOUND;
    }
    GrantResources resources{api};

    DWORD size = 0;
    LONG result = api.RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (result != ERROR_INSUFFICIENT_BUFFER) {
        return result;
    }
    if (size == 0) {
        return ERROR_BAD_LENGTH;
    }
    // InitializeSecurityDescriptor writes a whole descriptor header, whatever
    // size the registry reported.
    DWORD capacity = size < sizeof(SECURITY_DESCRIPTOR) ? sizeof(SECURITY_DESCRIPTOR) : size;
    resources.readBuffer = LocalAlloc(LPTR, capacity);
    if (resources.readBuffer == nullptr) {
        return ERROR_OUTOFMEMORY;
    }
    if (!api.InitializeSecurityDescriptor(resources.readBuffer, SECURITY_DESCRIPTOR_REVISION)) {
        return static_cast<LONG>(GetLastError());
    }
    result = api.RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, resources.readBuffer,
                                   &capacity);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL oldDacl = nullptr;
    if (!api.GetSecurityDescriptorDacl(resources.readBuffer, &present, &oldDacl, &defaulted)) {
        return static_cast<LONG>(GetLastError());
    }

    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    if (!api.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                      &resources.sid)) {
        return static_cast<LONG>(GetLastError());
    }
    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = GENERIC_ALL;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(resources.sid);
    const DWORD aclResult = api.SetEntriesInAclW(1, &entry, oldDacl, &resources.newDacl);
    if (aclResult != ERROR_SUCCESS) {
        return static_cast<LONG>(aclResult);
    }
    static_assert(sizeof(SECURITY_DESCRIPTOR) == 40, "absolute descriptor of 64-bit Windows");
    resources.newDescriptor = LocalAlloc(LPTR, sizeof(SECURITY_DESCRIPTOR));
    if (resources.newDescriptor == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!api.InitializeSecurityDescriptor(resources.newDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !api.SetSecurityDescriptorDacl(resources.newDescriptor, TRUE, resources.newDacl, FALSE)) {
        return static_cast<LONG>(GetLastError());
    }
    return ApplySecurity(api, key_, DACL_SECURITY_INFORMATION, resources.newDescriptor, recurse);
}

void CRegKeyImpl::SetDeleteOnClose(bool deleteOnClose) { deleteOnClose_ = deleteOnClose; }

bool CRegKeyImpl::GetDeleteOnClose() { return deleteOnClose_; }

}  // namespace internal

CRegKey::CRegKey() : impl_(std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : impl_(impl ? std::move(impl) : std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::~CRegKey() {
    impl_->Close();
}

LONG CRegKey::QueryValue(const wchar_t* n, DWORD* t, BYTE* d, DWORD* s) {
    return impl_->QueryValue(n, t, d, s);
}
LONG CRegKey::SetValue(const wchar_t* n, DWORD t, const BYTE* d, DWORD s) {
    return impl_->SetValue(n, t, d, s);
}
LONG CRegKey::SetGUIDValue(const wchar_t* n, const GUID& v) { return impl_->SetGUIDValue(n, v); }
LONG CRegKey::SetBinaryValue(const wchar_t* n, const BYTE* d, DWORD s) {
    return impl_->SetBinaryValue(n, d, s);
}
LONG CRegKey::SetDWORDValue(const wchar_t* n, DWORD v) { return impl_->SetDWORDValue(n, v); }
LONG CRegKey::SetQWORDValue(const wchar_t* n, ULONGLONG v) { return impl_->SetQWORDValue(n, v); }
LONG CRegKey::SetStringValue(const wchar_t* n, const wchar_t* t, DWORD type) {
    return impl_->SetStringValue(n, t, type);
}
LONG CRegKey::SetMultiStringValue(const wchar_t* n, const wchar_t* l) {
    return impl_->SetMultiStringValue(n, l);
}
LONG CRegKey::QueryGUIDValue(const wchar_t* n, GUID& v) { return impl_->QueryGUIDValue(n, v); }
LONG CRegKey::QueryBinaryValue(const wchar_t* n, BYTE* d, DWORD* s) {
    return impl_->QueryBinaryValue(n, d, s);
}
LONG CRegKey::QueryDWORDValue(const wchar_t* n, DWORD& v) { return impl_->QueryDWORDValue(n, v); }
LONG CRegKey::QueryQWORDValue(const wchar_t* n, ULONGLONG& v) {
    return impl_->QueryQWORDValue(n, v);
}
LONG CRegKey::QueryStringValue(const wchar_t* n, std::wstring& v) {
    return impl_->QueryStringValue(n, v);
}
LONG CRegKey::QueryStringValue(const wchar_t* n, wchar_t* b, ULONG* c) {
    return impl_->QueryStringValue(n, b, c);
}
LONG CRegKey::QueryMultiStringValue(const wchar_t* n, wchar_t* b, ULONG* c) {
    return impl_->QueryMultiStringValue(n, b, c);
}
LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION i, PSECURITY_DESCRIPTOR d, DWORD* s) {
    return impl_->GetKeySecurity(i, d, s);
}
LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION i, PSECURITY_DESCRIPTOR d) {
    return impl_->SetKeySecurity(i, d);
}
LONG CRegKey::Create(HKEY p, const wchar_t* s, wchar_t* c, DWORD o, REGSAM a,
                     SECURITY_ATTRIBUTES* sa, DWORD* d) {
    return impl_->Create(p, s, c, o, a, sa, d);
}
LONG CRegKey::Open(HKEY p, const wchar_t* s, REGSAM a) { return impl_->Open(p, s, a); }
LONG CRegKey::Flush() { return impl_->Flush(); }
LONG CRegKey::EnumKey(DWORD i, wchar_t* n, DWORD* l, FILETIME* f) {
    return impl_->EnumKey(i, n, l, f);
}
LONG CRegKey::NotifyChangeKeyValue(BOOL w, DWORD f, HANDLE e, BOOL a) {
    return impl_->NotifyChangeKeyValue(w, f, e, a);
}
LONG CRegKey::DeleteSubKey(const wchar_t* s) { return impl_->DeleteSubKey(s); }
LONG CRegKey::RecurseDeleteKey(const wchar_t* s) { return impl_->RecurseDeleteKey(s); }
LONG CRegKey::DeleteValue(const wchar_t* n) { return impl_->DeleteValue(n); }
LONG CRegKey::GrantEveryoneFullAccess(bool r) { return impl_->GrantEveryoneFullAccess(r); }
LONG CRegKey::Close() { return impl_->Close(); }
HKEY CRegKey::Detach() { return impl_->Detach(); }
void CRegKey::Attach(HKEY key) { impl_->Attach(key); }

}  // namespace Kelmora
