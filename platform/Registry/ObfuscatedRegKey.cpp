#include "platform/Registry/ObfuscatedRegKey.h"

#include "platform/Registry/ScrambledFormat.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace Kelmora {

namespace {

// UTF-16 -> 8-bit text of the code page, without a terminator.
LONG Narrow(UINT codePage, const wchar_t* text, std::size_t chars, std::string& out) {
    out.clear();
    if (chars == 0) {
        return ERROR_SUCCESS;
    }
    if (chars > 0x7FFFFFFF) {
        return ERROR_INVALID_PARAMETER;
    }
    const int needed = WideCharToMultiByte(codePage, 0, text, static_cast<int>(chars), nullptr, 0,
                                           nullptr, nullptr);
    if (needed <= 0) {
        return static_cast<LONG>(GetLastError());
    }
    try {
        out.resize(static_cast<std::size_t>(needed));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (WideCharToMultiByte(codePage, 0, text, static_cast<int>(chars), out.data(), needed,
                            nullptr, nullptr) != needed) {
        return static_cast<LONG>(GetLastError());
    }
    return ERROR_SUCCESS;
}

// UTF-8 bytes (exactly length of them) -> UTF-16, without a terminator.
LONG Widen(const char* text, std::size_t length, std::wstring& out) {
    out.clear();
    if (length == 0) {
        return ERROR_SUCCESS;
    }
    const int needed =
        MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
    if (needed <= 0) {
        return static_cast<LONG>(GetLastError());
    }
    try {
        out.resize(static_cast<std::size_t>(needed));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), out.data(), needed) !=
        needed) {
        return static_cast<LONG>(GetLastError());
    }
    return ERROR_SUCCESS;
}

LONG AnsiName(const wchar_t* name, std::string& out, const char*& pointer) {
    pointer = nullptr;
    if (name == nullptr) {
        return ERROR_SUCCESS;
    }
    const LONG result = Narrow(CP_THREAD_ACP, name, std::wcslen(name), out);
    pointer = out.c_str();
    return result;
}

// Reads the raw value and checks it as a blob.
LONG ReadBlob(HKEY key, const char* name, std::vector<std::uint8_t>& blob, std::uint32_t& type,
              std::uint32_t& n) {
    DWORD storedType = 0;
    DWORD size = 256;
    LONG result = ERROR_SUCCESS;
    // A value that grows between the size read and the data read is read again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        try {
            blob.assign(size, 0);
        } catch (const std::bad_alloc&) {
            return ERROR_OUTOFMEMORY;
        }
        size = static_cast<DWORD>(blob.size());
        result = RegQueryValueExA(key, name, nullptr, &storedType, blob.data(), &size);
        if (result != ERROR_MORE_DATA) {
            break;
        }
    }
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (storedType != REG_BINARY) {
        return ERROR_INVALID_DATA;
    }
    blob.resize(size);
    return static_cast<LONG>(scrambled::CheckRegistryBlob(blob.data(), blob.size(), type, n));
}

}  // namespace

LONG CObfuscatedRegKeyImpl::SetValue(const wchar_t* name, DWORD type, const BYTE* data,
                                     DWORD size) {
    if (data == nullptr || size == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string payload;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
    const std::size_t chars = size / sizeof(wchar_t);
    LONG result = ERROR_SUCCESS;
    if (type == REG_SZ) {
        // Within the given size: a text without its NUL there is cut at the end.
        result = Narrow(CP_UTF8, text, wcsnlen(text, chars), payload);
        if (result == ERROR_SUCCESS) {
            payload.push_back('\0');
        }
    } else if (type == REG_MULTI_SZ) {
        std::size_t at = 0;
        while (result == ERROR_SUCCESS && at < chars && text[at] != L'\0') {
            const std::size_t length = wcsnlen(text + at, chars - at);
            std::string piece;
            result = Narrow(CP_UTF8, text + at, length, piece);
            payload += piece;
            payload.push_back('\0');
            at += length + 1;
        }
        payload.push_back('\0');
    } else {
        payload.assign(reinterpret_cast<const char*>(data), size);
    }
    if (result != ERROR_SUCCESS) {
        return result;
    }
    std::vector<std::uint8_t> blob;
    result = static_cast<LONG>(scrambled::BuildRegistryBlob(
        type, reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(), blob));
    if (result != ERROR_SUCCESS) {
        return result;
    }
    std::string ansiName;
    const char* namePointer = nullptr;
    result = AnsiName(name, ansiName, namePointer);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return RegSetValueExA(key_, namePointer, 0, REG_BINARY, blob.data(),
                          static_cast<DWORD>(blob.size()));
}

LONG CObfuscatedRegKeyImpl::QueryValue(const wchar_t* name, DWORD* type, BYTE* data,
                                       DWORD* size) {
    if (type == nullptr && size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string ansiName;
    const char* namePointer = nullptr;
    LONG result = AnsiName(name, ansiName, namePointer);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    std::vector<std::uint8_t> blob;
    std::uint32_t storedType = 0;
    std::uint32_t n = 0;
    result = ReadBlob(key_, namePointer, blob, storedType, n);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (type != nullptr) {
        *type = storedType;
    }
    if (size == nullptr) {
        return ERROR_SUCCESS;
    }
    result = ReadBlob(key_, namePointer, blob, storedType, n);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (type != nullptr) {
        *type = storedType;
    }
    std::vector<std::uint8_t> payload(n);
    if (scrambled::UnscrambleRegistryPayload(blob.data(), blob.size(), payload.data()) != 0) {
        return static_cast<LONG>(scrambled::kUnscrambleFailed);
    }
    const char* bytes = reinterpret_cast<const char*>(payload.data());
    const DWORD capacity = *size;

    if (storedType == REG_SZ || storedType == REG_MULTI_SZ) {
        // Every string is converted within the stated length, never past it.
        std::wstring converted;
        std::size_t at = 0;
        do {
            const std::size_t length = strnlen(bytes + at, n - at);
            std::wstring piece;
            result = Widen(bytes + at, length, piece);
            if (result != ERROR_SUCCESS) {
                return result;
            }
            if (storedType == REG_MULTI_SZ && length == 0) {
                break;  // the empty string that ends the list
            }
            converted += piece;
            converted.push_back(L'\0');
            at += length + 1;
        } while (storedType == REG_MULTI_SZ && at < n);
        if (storedType == REG_MULTI_SZ) {
            converted.push_back(L'\0');
        }
        if (converted.size() > MAXDWORD / sizeof(wchar_t)) {
            return ERROR_INVALID_DATA;
        }
        const DWORD needed = static_cast<DWORD>(converted.size() * sizeof(wchar_t));
        *size = needed;
        if (data == nullptr) {
            return ERROR_SUCCESS;
        }
        if (capacity < needed) {
            if (storedType == REG_MULTI_SZ) {
                std::memset(data, 0, capacity);
            }
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, converted.data(), needed);
        return ERROR_SUCCESS;
    }

    *size = n;
    if (data == nullptr) {
        return ERROR_SUCCESS;
    }
    if (capacity < n) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, payload.data(), n);
    return ERROR_SUCCESS;
}

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<CObfuscatedRegKeyImpl>()) {}

}  // namespace Kelmora
