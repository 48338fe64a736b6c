// Test support: a bus that answers every call and delivers nothing, for
// alerts that are only queued and proxies that only send.
#pragma once

#include "framework/bus/MessageBus.h"
#include "framework/message/ModuleStatus.h"

namespace Drem::testing {

class IdleBus : public Tessil::MessageBus {
public:
    std::uint32_t publish(const std::shared_ptr<Tessil::Message>&) override { return 0; }
    std::uint32_t publishEx(const std::shared_ptr<Tessil::Message>&) override { return 0; }
    std::uint32_t request(const std::shared_ptr<Tessil::Message>&, Tessil::ReplyHandler,
                          const std::uint64_t&) override { return MODULE_STATUS_NOT_IMPLEMENTED; }
    std::uint32_t request(const std::shared_ptr<Tessil::Message>&, std::shared_ptr<Tessil::Reply>&,
                          const std::uint64_t&) override { return MODULE_STATUS_NOT_IMPLEMENTED; }
    std::uint32_t requestEx(const std::shared_ptr<Tessil::Message>&, Tessil::ReplyHandler,
                            const std::uint64_t&) override { return MODULE_STATUS_NOT_IMPLEMENTED; }
    std::uint32_t requestEx(const std::shared_ptr<Tessil::Message>&, std::shared_ptr<Tessil::Reply>&,
                            const std::uint64_t&) override { return MODULE_STATUS_NOT_IMPLEMENTED; }
    std::uint32_t subscribe(const std::wstring&, const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribe(const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeSession(const std::wstring&, const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeSession(const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeFilter(const std::wstring&, const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeFilter(const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeFilterSession(const std::wstring&, const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeFilterSession(const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t unsubscribe(const std::wstring&) override { return 0; }
};

}  // namespace Drem::testing
