// Kelmora::CRegKey: one open registry key with typed value access, over a
// shared implementation object that a derived key type may replace.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace Kelmora {

namespace internal {

// Holds one key. Every typed operation reaches the two raw value operations
// (QueryValue, SetValue) through virtual calls, so overriding those two
// changes how every typed value is stored. Errors are returned, never thrown.
class CRegKeyImpl {
public:
    CRegKeyImpl() = default;
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

    virtual ~CRegKeyImpl();                                                        // 0
    virtual LONG QueryValue(const wchar_t* name, DWORD* type, BYTE* data, DWORD* size);  // 1
    virtual LONG SetValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD size);  // 2
    virtual LONG SetGUIDValue(const wchar_t* name, const GUID& value);             // 3
    virtual LONG SetBinaryValue(const wchar_t* name, const BYTE* data, DWORD size);  // 4
    virtual LONG SetDWORDValue(const wchar_t* name, DWORD value);                  // 5
    virtual LONG SetQWORDValue(const wchar_t* name, ULONGLONG value);              // 6
    virtual LONG SetStringValue(const wchar_t* name, const wchar_t* text,
                                DWORD type = REG_SZ);                              // 7
    virtual LONG SetMultiStringValue(const wchar_t* name, const wchar_t* list);    // 8
    virtual LONG QueryGUIDValue(const wchar_t* name, GUID& value);                 // 9
    virtual LONG QueryBinaryValue(const wchar_t* name, BYTE* data, DWORD* size);   // 10
    virtual LONG QueryDWORDValue(const wchar_t* name, DWORD& value);               // 11
    virtual LONG QueryQWORDValue(const wchar_t* name, ULONGLONG& value);           // 12
    virtual LONG QueryStringValue(const wchar_t* name, std::wstring& value);       // 13
    virtual LONG QueryStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars);  // 14
    virtual LONG QueryMultiStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars);  // 15
    virtual LONG GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                                DWORD* size);                                      // 16
    virtual LONG SetKeySecurity(SECURITY_INFORMATION info,
                                PSECURITY_DESCRIPTOR descriptor);                  // 17
    virtual LONG Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass = REG_NONE,
                        DWORD options = REG_OPTION_NON_VOLATILE,
                        REGSAM access = KEY_READ | KEY_WRITE,
                        SECURITY_ATTRIBUTES* attributes = nullptr,
                        DWORD* disposition = nullptr);                             // 18
    virtual LONG Open(HKEY parent, const wchar_t* subKey,
                      REGSAM access = KEY_READ | KEY_WRITE);                       // 19
    virtual LONG Close();                                                          // 20
    virtual LONG Flush();                                                          // 21
    virtual HKEY Detach();                                                         // 22
    virtual void Attach(HKEY key);                                                 // 23
    virtual LONG EnumKey(DWORD index, wchar_t* name, DWORD* nameLength,
                         FILETIME* lastWrite = nullptr);                           // 24
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event,
                                      BOOL asynchronous = TRUE);                   // 25
    virtual LONG DeleteSubKey(const wchar_t* subKey);                              // 26
    virtual LONG RecurseDeleteKey(const wchar_t* subKey);                          // 27
    virtual LONG DeleteValue(const wchar_t* name);                                 // 28
    virtual LONG GrantEveryoneFullAccess(bool recurse);                            // 29
    virtual void SetDeleteOnClose(bool deleteOnClose);                             // 30
    virtual bool GetDeleteOnClose();                                               // 31

    HKEY Key() const { return key_; }
    REGSAM View() const { return view_; }

protected:
    HKEY key_ = nullptr;
    REGSAM view_ = 0;  // access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY) of the held key
    bool deleteOnClose_ = false;

private:
    LONG Adopt(HKEY key, REGSAM access);
};

}  // namespace internal

// The key object users hold; every operation forwards to the implementation.
class CRegKey {
public:
    CRegKey();
    // An empty pointer gets a new plain implementation.
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Closes the key, even when another holder shares the implementation.
    virtual ~CRegKey();                                                            // 0
    virtual LONG QueryValue(const wchar_t* name, DWORD* type, BYTE* data, DWORD* size);  // 1
    virtual LONG SetValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD size);  // 2
    virtual LONG SetGUIDValue(const wchar_t* name, const GUID& value);             // 3
    virtual LONG SetBinaryValue(const wchar_t* name, const BYTE* data, DWORD size);  // 4
    virtual LONG SetDWORDValue(const wchar_t* name, DWORD value);                  // 5
    virtual LONG SetQWORDValue(const wchar_t* name, ULONGLONG value);              // 6
    virtual LONG SetStringValue(const wchar_t* name, const wchar_t* text,
                                DWORD type = REG_SZ);                              // 7
    virtual LONG SetMultiStringValue(const wchar_t* name, const wchar_t* list);    // 8
    virtual LONG QueryGUIDValue(const wchar_t* name, GUID& value);                 // 9
    virtual LONG QueryBinaryValue(const wchar_t* name, BYTE* data, DWORD* size);   // 10
    virtual LONG QueryDWORDValue(const wchar_t* name, DWORD& value);               // 11
    virtual LONG QueryQWORDValue(const wchar_t* name, ULONGLONG& value);           // 12
    virtual LONG QueryStringValue(const wchar_t* name, std::wstring& value);       // 13
    virtual LONG QueryStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars);  // 14
    virtual LONG QueryMultiStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars);  // 15
    virtual LONG GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                                DWORD* size);                                      // 16
    virtual LONG SetKeySecurity(SECURITY_INFORMATION info,
                                PSECURITY_DESCRIPTOR descriptor);                  // 17
    virtual LONG Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass = REG_NONE,
                        DWORD options = REG_OPTION_NON_VOLATILE,
                        REGSAM access = KEY_READ | KEY_WRITE,
                        SECURITY_ATTRIBUTES* attributes = nullptr,
                        DWORD* disposition = nullptr);                             // 18
    virtual LONG Open(HKEY parent, const wchar_t* subKey,
                      REGSAM access = KEY_READ | KEY_WRITE);                       // 19
    virtual LONG Flush();                                                          // 20
    virtual LONG EnumKey(DWORD index, wchar_t* name, DWORD* nameLength,
                         FILETIME* lastWrite = nullptr);                           // 21
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event,
                                      BOOL asynchronous = TRUE);                   // 22
    virtual LONG DeleteSubKey(const wchar_t* subKey);                              // 23
    virtual LONG RecurseDeleteKey(const wchar_t* subKey);                          // 24
    virtual LONG DeleteValue(const wchar_t* name);                                 // 25
    virtual LONG GrantEveryoneFullAccess(bool recurse);                            // 26

    LONG Close();
    HKEY Detach();
    void Attach(HKEY key);
    HKEY Key() const { return impl_->Key(); }
    operator HKEY() const { return impl_->Key(); }

protected:
    internal::CRegKeyImpl& Impl() { return *impl_; }

private:
    std::shared_ptr<internal::CRegKeyImpl> impl_;
};

}  // namespace Kelmora
