// The set of app codes that depend on the alert service.
#pragma once

#include "tools/registrar/ReferenceProvider.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace Tessil {

class ReferenceManager {
public:
    explicit ReferenceManager(std::shared_ptr<ReferenceProvider> provider);
    virtual ~ReferenceManager();

    // True when the code was not there yet.
    virtual bool addReference(const std::wstring& code);
    // True when the code was there.
    virtual bool removeReference(const std::wstring& code);
    virtual bool hasReference(const std::wstring& code);
    // Adds the provider's codes to those held already; the provider's answer.
    virtual bool loadReferences();
    // Nothing is written before this; the provider's answer.
    virtual bool saveReferences();
    virtual std::uint64_t referenceCount();

    const std::set<std::wstring>& codes() const { return codes_; }

private:
    std::set<std::wstring> codes_;
    std::shared_ptr<ReferenceProvider> provider_;
    std::uint64_t count_ = 0;  // kept beside the set
};

}  // namespace Tessil
