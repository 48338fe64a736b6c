#include "platform/files/FileVersionInfo.h"

#include "platform/wrappers/KnownFolderPath.h"
#include "platform/wrappers/ShlObjAPI.h"

#include <cstdint>
#include <cwchar>

namespace Kelmora {

namespace {

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~static_cast<std::size_t>(3); }

unsigned Word(const BYTE* data, std::size_t offset) {
    return data[offset] | (data[offset + 1] << 8);
}

// Checks the block tree the version functions walk: every block's length
// fits inside its parent and its key ends inside the block, so that
// VerQueryValueW never walks past the bytes that were read.
bool BlockFits(const BYTE* data, std::size_t offset, std::size_t end, int depth) {
    if (depth > 8 || offset + 6 > end) {
        return false;
    }
    const std::size_t length = Word(data, offset);
    if (length < 6 || length > end - offset) {
        return false;
    }
    const std::size_t blockEnd = offset + length;
    std::size_t at = offset + 6;
    for (;; at += 2) {
        if (at + 2 > blockEnd) {
            return false;  // key without its NUL
        }
        if (Word(data, at) == 0) {
            break;
        }
    }
    const std::size_t valueBytes =
        Word(data, offset + 4) == 1 ? Word(data, offset + 2) * 2u : Word(data, offset + 2);
    std::size_t child = Align4(Align4(at + 2) + valueBytes);
    while (child + 6 <= blockEnd) {
        if (!BlockFits(data, child, blockEnd, depth + 1)) {
            return false;
        }
        child = Align4(child + Word(data, child));
    }
    return true;
}

}  // namespace

bool FileVersionInfo::Load(const std::wstring& path) {
    if (loaded_) {
        return false;
    }
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) {
        return false;
    }
    resource_.assign(size, 0);
    loaded_ = GetFileVersionInfoW(path.c_str(), 0, size, resource_.data()) != FALSE &&
              BlockFits(resource_.data(), 0, resource_.size(), 0);
    if (!loaded_) {
        resource_.clear();
    }
    return loaded_;
}

bool FileVersionInfo::Query(const std::wstring& subBlock, const void*& data, UINT& length) {
    void* value = nullptr;
    length = 0;
    if (!VerQueryValueW(resource_.data(), subBlock.c_str(), &value, &length) || value == nullptr) {
        return false;
    }
    const BYTE* begin = resource_.data();
    const BYTE* end = begin + resource_.size();
    const BYTE* at = static_cast<const BYTE*>(value);
    if (at < begin || at > end) {
        return false;
    }
    data = value;
    return true;
}

std::wstring FileVersionInfo::GetString(const std::wstring& name) {
    return StringOf(name, SIZE_MAX);
}

std::wstring FileVersionInfo::GetFirstTranslationString(const std::wstring& name) {
    return StringOf(name, 1);
}

std::wstring FileVersionInfo::StringOf(const std::wstring& name, std::size_t translations) {
    if (!loaded_) {
        return {};
    }
    const void* table = nullptr;
    UINT tableBytes = 0;
    if (!Query(L"\\VarFileInfo\\Translation", table, tableBytes)) {
        return {};
    }
    const BYTE* end = resource_.data() + resource_.size();
    const BYTE* tableStart = static_cast<const BYTE*>(table);
    // A table claiming more than the resource holds is cut at its end.
    std::size_t entries = tableBytes / 4;
    if (static_cast<std::size_t>(end - tableStart) / 4 < entries) {
        entries = static_cast<std::size_t>(end - tableStart) / 4;
    }
    if (entries > translations) {
        entries = translations;
    }
    for (std::size_t k = 0; k < entries; ++k) {
        const BYTE* entry = tableStart + 4 * k;
        const unsigned language = entry[0] | (entry[1] << 8);
        const unsigned codePage = entry[2] | (entry[3] << 8);
        wchar_t key[64];
        std::swprintf(key, 64, L"\\StringFileInfo\\%04X%04X\\", language, codePage);
        const void* value = nullptr;
        UINT chars = 0;
        if (!Query(key + name, value, chars)) {
            continue;
        }
        // Within the length the resource gives and the resource's own end.
        const wchar_t* text = static_cast<const wchar_t*>(value);
        std::size_t limit = chars;
        const std::size_t room =
            static_cast<std::size_t>(end - static_cast<const BYTE*>(value)) / sizeof(wchar_t);
        if (limit > room) {
            limit = room;
        }
        return std::wstring(text, wcsnlen(text, limit));
    }
    return {};
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell)
    : shell_(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()) {}

SystemFileVersionInfo::~SystemFileVersionInfo() = default;

bool SystemFileVersionInfo::Load(const std::wstring& fileName) {
    std::wstring folder = systemFolder_;
    if (folder.empty()) {
        const std::wstring path = KnownFolderPath(*shell_, FOLDERID_System);
        if (!path.empty()) {
            systemFolder_ = path + L"\\";
            folder = systemFolder_;
        } else {
            folder = L"\\";
        }
    }
    return FileVersionInfo::Load(folder + fileName);
}

}  // namespace Kelmora
