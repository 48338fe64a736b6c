#include "platform/dll/PathSearch.h"

#include "platform/Logging/Logging.h"
#include "platform/files/StringUtils.h"

namespace Tessil {

namespace {
const wchar_t kSource[] = L"PathSearch";
}

PathSearch::PathSearch(std::shared_ptr<PathAPI> pathApi)
    : pathApi_(pathApi ? std::move(pathApi) : std::make_shared<PathAPI>()) {}

std::vector<std::wstring> PathSearch::getSearchPaths() const {
    return folders_;
}

void PathSearch::addSearchPaths(const std::vector<std::wstring>& folders) {
    folders_.insert(folders_.end(), folders.begin(), folders.end());
}

void PathSearch::addSearchPath(const std::string& folder) {
    folders_.push_back(Kelmora::WidenFromCodePage(CP_ACP, folder.data(), folder.size()));
}

void PathSearch::addSearchPath(const std::wstring& folder) {
    folders_.push_back(folder);
}

bool PathSearch::findFilePath(const std::wstring& fileName, std::wstring& folder) {
    VT_LOG(ETWLogging::LevelNormal, kSource, L"Tessil::PathSearch::findFilePath",
           L"Entering findFilePath for file %ls", fileName.c_str());
    for (const std::wstring& candidateFolder : folders_) {
        std::wstring found = candidateFolder;
        if (!found.empty() && found.back() == L'\\') {
            found.pop_back();
        }
        // An empty folder would search the drive root.
        if (found.empty()) {
            continue;
        }
        if (checkIfExists(candidateFolder + L"\\" + fileName)) {
            folder = found;
            VT_LOG(ETWLogging::LevelNormal, kSource, L"Tessil::PathSearch::findFilePath",
                   L"File found at path %ls. Returning success.", folder.c_str());
            return true;
        }
    }
    VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::PathSearch::findFilePath",
           L"File not found.");
    return false;
}

bool PathSearch::checkIfExists(const std::wstring& path) {
    VT_LOG(ETWLogging::LevelNormal, kSource, L"Tessil::PathSearch::checkIfExists",
           L"Entering checkIfExists for %ls", path.c_str());
    if (pathApi_->fileExists(path.c_str())) {
        VT_LOG(ETWLogging::LevelNormal, kSource, L"Tessil::PathSearch::checkIfExists",
               L"File exists");
        return true;
    }
    VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::PathSearch::checkIfExists",
           L"File does not exist.");
    return false;
}

}  // namespace Tessil
