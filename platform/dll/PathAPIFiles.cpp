// The file-utility slots of the path wrapper.
#include "platform/dll/PathAPI.h"

#include "platform/files/FileUtils.h"

namespace Tessil {

bool PathAPI::fileExists(const wchar_t* path) {
    return Kelmora::FileExists(path);
}

bool PathAPI::directoryExists(const wchar_t* path) {
    return Kelmora::DirectoryExists(path);
}

bool PathAPI::isRegularFile(const wchar_t* path) {
    return Kelmora::IsRegularFile(path);
}

bool PathAPI::deleteFiles(const wchar_t* pattern, bool recursive) {
    return Kelmora::DeleteFiles(pattern, recursive);
}

bool PathAPI::createDirectoryTree(const wchar_t* path) {
    return Kelmora::CreateDirectoryTree(path, nullptr);
}

bool PathAPI::removeDirectoryTree(const wchar_t* path) {
    return Kelmora::DeleteDirectoryTree(path);
}

}  // namespace Tessil
