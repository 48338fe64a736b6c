// A small service container: shared instances registered by type and name.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <typeinfo>

namespace Kelmora {

// Name used when a caller gives none.
extern const std::wstring kDefaultRegistrationName;

class IOCFactoryInterface {
public:
    virtual ~IOCFactoryInterface() = default;
    virtual const std::type_info& getType() const = 0;
    virtual const std::wstring& getName() const = 0;
    virtual std::shared_ptr<void> resolve() = 0;
};

template <typename T>
class IOCBaseFactory : public IOCFactoryInterface {
public:
    explicit IOCBaseFactory(std::wstring name) : name_(std::move(name)) {}
    const std::type_info& getType() const override { return typeid(T); }
    const std::wstring& getName() const override { return name_; }
    std::shared_ptr<void> resolve() override { return create(); }
    virtual std::shared_ptr<T> create() = 0;

private:
    std::wstring name_;
};

template <typename T>
class IOCInstanceReturningFactory : public IOCBaseFactory<T> {
public:
    IOCInstanceReturningFactory(std::wstring name, std::shared_ptr<T> instance)
        : IOCBaseFactory<T>(std::move(name)), instance_(std::move(instance)) {}
    std::shared_ptr<T> create() override { return instance_; }

private:
    std::shared_ptr<T> instance_;
};

// Not locked: written during initialisation only.
class IOCContainer {
public:
    virtual ~IOCContainer() = default;

    // Replaces an earlier registration of T under the same name.
    template <typename T>
    void registerFactory(const std::wstring& name, std::shared_ptr<T> instance) {
        auto& byName = factories_[typeid(T).hash_code()];
        byName.erase(name);
        byName.emplace(name, std::make_shared<IOCInstanceReturningFactory<T>>(name, std::move(instance)));
    }
    template <typename T>
    void registerFactory(std::shared_ptr<T> instance) {
        registerFactory<T>(kDefaultRegistrationName, std::move(instance));
    }

    template <typename T>
    bool isRegistered(const std::wstring& name = kDefaultRegistrationName) const {
        return findFactory<T>(name) != nullptr;
    }

    template <typename T>
    void unregisterFactory(const std::wstring& name = kDefaultRegistrationName) {
        auto it = factories_.find(typeid(T).hash_code());
        if (it != factories_.end()) {
            it->second.erase(name);
        }
    }

    template <typename T>
    std::shared_ptr<IOCFactoryInterface> findFactory(const std::wstring& name = kDefaultRegistrationName) const {
        auto it = factories_.find(typeid(T).hash_code());
        if (it == factories_.end()) {
            return nullptr;
        }
        auto found = it->second.find(name);
        return found == it->second.end() ? nullptr : found->second;
    }

    // The registered instance of T, or empty.
    template <typename T>
    std::shared_ptr<T> resolve(const std::wstring& name = kDefaultRegistrationName) const {
        auto factory = findFactory<T>(name);
        return factory ? std::static_pointer_cast<T>(factory->resolve()) : nullptr;
    }

private:
    std::map<std::size_t, std::map<std::wstring, std::shared_ptr<IOCFactoryInterface>>> factories_;
};

}  // namespace Kelmora
