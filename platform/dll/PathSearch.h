// The first folder of an ordered list that holds a given file.
#pragma once

#include "platform/dll/PathAPI.h"

#include <memory>
#include <string>
#include <vector>

namespace Tessil {

class PathSearch {
public:
    // An empty wrapper becomes a default one.
    explicit PathSearch(std::shared_ptr<PathAPI> pathApi = nullptr);
    virtual ~PathSearch() = default;

    virtual std::vector<std::wstring> getSearchPaths() const;
    // Each add appends, duplicates included; nothing removes folders.
    virtual void addSearchPaths(const std::vector<std::wstring>& folders);
    virtual void addSearchPath(const std::string& folder);  // ANSI code page
    virtual void addSearchPath(const std::wstring& folder);
    // The first folder holding fileName, without a trailing backslash. Empty
    // folders are skipped. False leaves folder unchanged.
    virtual bool findFilePath(const std::wstring& fileName, std::wstring& folder);
    // True when path names a file (a folder does not count).
    virtual bool checkIfExists(const std::wstring& path);

private:
    std::shared_ptr<PathAPI> pathApi_;
    std::vector<std::wstring> folders_;
};

}  // namespace Tessil
