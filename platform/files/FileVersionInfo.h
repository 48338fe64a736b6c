// String values of a file's version resource.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace Kelmora {

class ShlObjAPI;

class FileVersionInfo {
public:
    FileVersionInfo() = default;
    FileVersionInfo(const FileVersionInfo&) = delete;
    FileVersionInfo& operator=(const FileVersionInfo&) = delete;
    virtual ~FileVersionInfo() = default;                          // 0
    // Loads once: false when a file was already loaded (its data stays),
    // when the file has no version resource or cannot be read.
    virtual bool Load(const std::wstring& path);                   // 1
    // The first translation's value of that name, read within the length
    // the resource gives; empty when nothing is loaded or nothing matches.
    virtual std::wstring GetString(const std::wstring& name);      // 2
    // The value of that name in the first translation listed only; empty
    // when that translation lacks it.
    std::wstring GetFirstTranslationString(const std::wstring& name);

private:
    // The value's bytes, when they lie wholly inside the loaded resource.
    bool Query(const std::wstring& subBlock, const void*& data, UINT& length);
    // The value in the first of at most `translations` listed entries that has it.
    std::wstring StringOf(const std::wstring& name, std::size_t translations);

    std::vector<BYTE> resource_;
    bool loaded_ = false;
};

// Loads files from the System folder.
class SystemFileVersionInfo : public FileVersionInfo {
public:
    // An empty pointer gets a new shell wrapper.
    explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell = nullptr);
    ~SystemFileVersionInfo() override;
    // Load of the System folder path followed by the file name; without a
    // System folder the file is looked for under "\".
    bool Load(const std::wstring& fileName) override;

private:
    std::shared_ptr<ShlObjAPI> shell_;
    std::wstring systemFolder_;  // with its trailing "\", cached after the first success
};

}  // namespace Kelmora
