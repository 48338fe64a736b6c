// How the reference manager loads and saves its app codes.
#pragma once

#include "tools/registrar/FileIO.h"
#include "tools/registrar/JSONParser.h"

#include <memory>
#include <set>
#include <string>

namespace Tessil {

// This base has no virtual destructor: own a provider through a
// shared pointer made from its own type (std::make_shared<Derived>), which
// destroys it as that type.
class ReferenceProvider {
public:
    // Once: true when not yet set up and doSetup() agrees.
    virtual bool setup();
    // True when set up and doTeardown() agrees.
    virtual bool teardown();
    virtual bool isSetUp();
    virtual bool loadReferences(std::set<std::wstring>& codes);
    virtual bool saveReferences(const std::set<std::wstring>& codes);
    virtual bool doSetup();
    virtual bool doTeardown();
    // Whether the last setup failed because the store exists but could not be
    // read (as against read but not loaded). False in this base.
    virtual bool unreadable() const;

protected:
    ~ReferenceProvider() = default;

private:
    bool setUp_ = false;
};

// The reference file "appregistry.dat": UTF-16LE JSON with a byte-order mark,
// {"registry":[{"appcode":"A"},...]} with the codes unique and sorted.
class JSONReferenceProvider : public ReferenceProvider {
public:
    static constexpr const wchar_t* kDefaultPath = L"appregistry.json";
    // The new file a save writes beside the file at path before it takes that
    // file's place: the same path with its last character replaced by "~" ("_"
    // when it is "~"), so that it fits wherever the path itself fits.
    static std::wstring newFilePath(const std::wstring& path);

    // An empty path means kDefaultPath in the current folder.
    JSONReferenceProvider(std::shared_ptr<JSONParser> parser, std::shared_ptr<IFileIO> fileIO,
                          std::wstring path);
    virtual ~JSONReferenceProvider();  // runs teardown()

    // Reads the file when it exists (a missing file is no failure), then,
    // unless it could not be read, removes a new file an interrupted save left
    // behind.
    bool doSetup() override;
    bool unreadable() const override;
    bool doTeardown() override;
    // Adds the codes of the document read by doSetup; false, adding nothing,
    // for an object without a valid "registry" array.
    bool loadReferences(std::set<std::wstring>& codes) override;
    // Writes the codes to a new file beside the reference file, checking every
    // write and the close, then puts it in the reference file's place. False
    // when any step fails: the reference file is then as it was.
    bool saveReferences(const std::set<std::wstring>& codes) override;

    const std::wstring& path() const { return path_; }

private:
    std::shared_ptr<JSONParser> parser_;
    std::shared_ptr<IFileIO> fileIO_;
    std::wstring path_;
    bool unreadable_ = false;
};

}  // namespace Tessil
