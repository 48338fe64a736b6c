#include "tools/registrar/ReferenceManager.h"

#include <utility>

namespace Tessil {

ReferenceManager::ReferenceManager(std::shared_ptr<ReferenceProvider> provider)
    : provider_(std::move(provider)) {}

ReferenceManager::~ReferenceManager() = default;

bool ReferenceManager::addReference(const std::wstring& code) {
    if (!codes_.insert(code).second) {
        return false;
    }
    ++count_;
    return true;
}

bool ReferenceManager::removeReference(const std::wstring& code) {
    if (codes_.erase(code) == 0) {
        return false;
    }
    --count_;
    return true;
}

bool ReferenceManager::hasReference(const std::wstring& code) { return codes_.count(code) != 0; }

bool ReferenceManager::loadReferences() {
    if (!provider_) {
        return false;
    }
    const bool loaded = provider_->loadReferences(codes_);
    count_ = codes_.size();
    return loaded;
}

bool ReferenceManager::saveReferences() { return provider_ && provider_->saveReferences(codes_); }

std::uint64_t ReferenceManager::referenceCount() { return count_; }

}  // namespace Tessil
