#include "tools/registrar/ReferenceProvider.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace Tessil {
namespace {

const wchar_t kRegistryKey[] = L"registry";
const wchar_t kAppCodeKey[] = L"appcode";

}  // namespace

bool ReferenceProvider::setup() {
    if (setUp_ || !doSetup()) {
        return false;
    }
    setUp_ = true;
    return true;
}

bool ReferenceProvider::teardown() {
    if (!setUp_ || !doTeardown()) {
        return false;
    }
    setUp_ = false;
    return true;
}

bool ReferenceProvider::isSetUp() { return setUp_; }
bool ReferenceProvider::loadReferences(std::set<std::wstring>&) { return true; }
bool ReferenceProvider::saveReferences(const std::set<std::wstring>&) { return true; }
bool ReferenceProvider::doSetup() { return true; }
bool ReferenceProvider::doTeardown() { return true; }
bool ReferenceProvider::unreadable() const { return false; }

JSONReferenceProvider::JSONReferenceProvider(std::shared_ptr<JSONParser> parser,
                                             std::shared_ptr<IFileIO> fileIO, std::wstring path)
    : parser_(std::move(parser)), fileIO_(std::move(fileIO)), path_(std::move(path)) {
    if (path_.empty()) {
        path_ = kDefaultPath;
    }
}

JSONReferenceProvider::~JSONReferenceProvider() { teardown(); }

std::wstring JSONReferenceProvider::newFilePath(const std::wstring& path) {
    std::wstring newPath = path;
    if (!newPath.empty()) {
        newPath.back() = newPath.back() == L'~' ? L'_' : L'~';
    }
    return newPath;
}

bool JSONReferenceProvider::doSetup() {
    unreadable_ = false;
    if (!parser_ || !fileIO_) {
        return false;
    }
    bool loaded = true;
    if (fileIO_->exists(path_.c_str())) {
        std::shared_ptr<FILE> file = fileIO_->open(path_.c_str(), L"rb");
        loaded = file && parser_->parseFile(file.get());
        unreadable_ = !file || (!loaded && std::ferror(file.get()) != 0);
    }  // else no file means no references
    if (unreadable_) {
        return false;  // nothing is touched beside a file that may be locked for a moment
    }
    const std::wstring newPath = newFilePath(path_);
    if (fileIO_->exists(newPath.c_str())) {
        fileIO_->remove(newPath.c_str());  // left by an interrupted save
    }
    return loaded;
}

bool JSONReferenceProvider::unreadable() const { return unreadable_; }

bool JSONReferenceProvider::doTeardown() { return true; }

bool JSONReferenceProvider::loadReferences(std::set<std::wstring>& codes) {
    if (!parser_) {
        return false;
    }
    if (parser_->isEmpty()) {
        return true;
    }
    std::vector<std::wstring> list;
    if (!parser_->getStringArray(kRegistryKey, list, kAppCodeKey)) {
        return false;
    }
    codes.insert(list.begin(), list.end());
    return true;
}

bool JSONReferenceProvider::saveReferences(const std::set<std::wstring>& codes) {
    if (!parser_ || !fileIO_) {
        return false;
    }
    // An empty object, also after a document that was no object (clearing
    // would keep an array root and write it back for an empty set).
    parser_->parse(L"{}");
    for (const std::wstring& code : codes) {
        parser_->appendToArray(kRegistryKey, code, kAppCodeKey);
    }
    // The reference file itself is touched only by the last step.
    const std::wstring newPath = newFilePath(path_);
    std::shared_ptr<FILE> file = fileIO_->open(newPath.c_str(), L"wb");
    if (!file) {
        return false;
    }
    IFileIO& io = *fileIO_;
    FILE* raw = file.get();
    const bool written = parser_->writeTo(
        [&io, raw](const char* data, std::size_t size) { return io.write(raw, data, size); });
    const bool closed = fileIO_->close(file);
    if (!written || !closed || !fileIO_->replace(newPath.c_str(), path_.c_str())) {
        fileIO_->remove(newPath.c_str());
        return false;
    }
    return true;
}

}  // namespace Tessil
