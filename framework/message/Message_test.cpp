#include "framework/message/CallGuarded.h"
#include "framework/message/Message.h"
#include "framework/message/MessageHeader.h"
#include "framework/message/ModuleException.h"
#include "framework/message/ModuleStatus.h"
#include "framework/message/testing/MessageTesting.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace Tessil {
namespace {

std::vector<std::uint8_t> bytesOf(const MessageHeader* h, std::size_t n = 108) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(h);
    return std::vector<std::uint8_t>(p, p + n);
}

std::vector<std::uint8_t> templateBytes() {
    std::vector<std::uint8_t> t(108, 0);
    t[0] = 1;
    t[10] = 2;
    t[100] = 0x0B;
    t[102] = 0x08;
    return t;
}

TEST(MessageHeader, TemplateBytes) {
    MessageHeader h;
    std::memset(&h, 0xCC, sizeof(h));
    initHeader(&h);
    EXPECT_EQ(bytesOf(&h), templateBytes());
}

TEST(MessageHeader, FieldBytesAreLittleEndianAtTheirOffsets) {
    MessageHeader h;
    initHeader(&h);
    h.totalSize = 0x11223344;
    h.flags = 0x55667788;
    h.sequence = 0x0102030405060708ull;
    h.replyToSequence = 0x1112131415161718ull;
    h.extension.senderSessionId = 0xA1B2C3D4;
    auto b = bytesOf(&h);
    EXPECT_EQ(b[2], 0x44);
    EXPECT_EQ(b[5], 0x11);
    EXPECT_EQ(b[6], 0x88);
    EXPECT_EQ(b[9], 0x55);
    EXPECT_EQ(b[84], 0x08);
    EXPECT_EQ(b[91], 0x01);
    EXPECT_EQ(b[92], 0x18);
    EXPECT_EQ(b[99], 0x11);
    EXPECT_EQ(b[104], 0xD4);
    EXPECT_EQ(b[107], 0xA1);
}

TEST(MessageHeader, FlagsTakeTheBitModulo32) {
    MessageHeader h;
    initHeader(&h);
    h.setFlag(MESSAGE_FLAG_PLAIN_COPY_SENT);
    EXPECT_EQ(h.flags, 0x10u);
    EXPECT_TRUE(h.testFlag(4));
    EXPECT_TRUE(h.testFlag(36));
    h.setFlag(33);
    EXPECT_EQ(h.flags, 0x12u);
    h.clearFlag(68);
    EXPECT_EQ(h.flags, 0x02u);
    EXPECT_FALSE(h.testFlag(0));
    h.setFlag(31);
    EXPECT_TRUE(h.testFlag(63));
    h.replyToSequence = 9;
    h.clearReplyTo();
    EXPECT_EQ(h.replyToSequence, 0u);
}

TEST(MessageHeader, GetExtension) {
    MessageHeader h;
    initHeader(&h);
    EXPECT_EQ(h.getExtension(1), nullptr);
    ASSERT_EQ(h.getExtension(2), &h.extension);
    EXPECT_EQ(h.getExtension(2)->extensionType, 11);
    h.version = 1;
    EXPECT_EQ(h.getExtension(2), nullptr);
    h.version = 3;
    EXPECT_EQ(h.getExtension(2), nullptr);
}

TEST(MessageHeader, CopyHeaderVersion2IsByteForByte) {
    MessageHeader src;
    auto* p = reinterpret_cast<std::uint8_t*>(&src);
    for (int i = 0; i < 108; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 3);
    src.version = 2;
    MessageHeader dst;
    initHeader(&dst);
    copyHeader(&dst, &src);
    EXPECT_EQ(bytesOf(&dst), bytesOf(&src));
}

TEST(MessageHeader, CopyHeaderVersion1ConvertsToVersion2) {
    std::vector<std::uint8_t> v1(100);
    for (int i = 0; i < 100; ++i) v1[i] = static_cast<std::uint8_t>(i + 1);
    MessageHeader* src = reinterpret_cast<MessageHeader*>(v1.data());
    src->version = 1;
    src->totalSize = 500;
    // Only 100 bytes are readable: the copy must not touch the rest.
    MessageHeader dst;
    std::memset(&dst, 0xEE, sizeof(dst));
    copyHeader(&dst, src);
    EXPECT_EQ(dst.totalSize, 508u);
    EXPECT_EQ(dst.version, 2);
    EXPECT_EQ(dst.extension.extensionType, 11);
    EXPECT_EQ(dst.extension.extensionLength, 8);
    EXPECT_EQ(dst.extension.senderSessionId, 0u);
    EXPECT_EQ(std::memcmp(dst.senderAddress, src->senderAddress, 88), 0);
    EXPECT_EQ(dst.flags, src->flags);
}

TEST(MessageHeader, CopyHeaderFromNullLeavesTemplateAndNullDestinationIsSafe) {
    MessageHeader dst;
    std::memset(&dst, 0x5A, sizeof(dst));
    copyHeader(&dst, nullptr);
    EXPECT_EQ(bytesOf(&dst), templateBytes());
    MessageHeader src;
    initHeader(&src);
    copyHeader(nullptr, &src);  // must not crash
    copyHeader(nullptr, nullptr);
}

TEST(Message, TotalSizeCountsStringsAndTerminators) {
    auto m = Message::create(L"a", L"b", L"c");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->getHeader()->totalSize, 120u);
    EXPECT_EQ(m->getName(), L"a");
    EXPECT_EQ(m->getSource(), L"b");
    EXPECT_EQ(m->getPayload(), L"c");
    auto e = Message::create(L"", L"x", L"");
    EXPECT_EQ(e->getHeader()->totalSize, 116u);
}

TEST(Message, NewHeaderIsTemplateApartFromTotalSize) {
    auto m = Message::create(L"Name", L"Src", L"{}");
    ASSERT_TRUE(m);
    auto b = bytesOf(m->getHeader());
    auto t = templateBytes();
    b[2] = b[3] = b[4] = b[5] = 0;
    EXPECT_EQ(b, t);
}

TEST(Message, EmptySourceBecomesModuleFileName) {
    auto m = Message::create(L"n", L"", L"");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->getSource(), L"Message_test.exe");
    EXPECT_EQ(m->getSource(), Message::defaultSender());
    EXPECT_EQ(m->getHeader()->totalSize, 114u + 2u * (1u + m->getSource().size()));
}

TEST(Message, CreateFailureGivesEmptyPointer) {
    testing::failNextMessageCreations(1);
    EXPECT_FALSE(Message::create(L"n", L"s", L"p"));
    EXPECT_TRUE(Message::create(L"n", L"s", L"p"));
    auto request = Message::create(L"r", L"s", L"p");
    request->getHeader()->setFlag(MESSAGE_FLAG_REQUEST);
    testing::failNextMessageCreations(1);
    EXPECT_FALSE(request->createReply(L"n", L"s", L"p"));
}

TEST(Message, CreateReplyOnPlainMessageIsPlain) {
    auto m = Message::create(L"req", L"s", L"");
    std::memset(m->getHeader()->senderAddress, 0x77, 24);
    m->getHeader()->sequence = 42;
    auto r = m->createReply(L"rep", L"s2", L"x");
    ASSERT_TRUE(r);
    auto b = bytesOf(r->getHeader());
    b[2] = b[3] = b[4] = b[5] = 0;
    EXPECT_EQ(b, templateBytes());
    EXPECT_EQ(r->getHeader()->totalSize, 114u + 2u * (3u + 2u + 1u));
}

TEST(Message, CreateReplyOnRequestCopiesAddressingAndSequence) {
    auto m = Message::create(L"req", L"s", L"");
    MessageHeader* h = m->getHeader();
    h->setFlag(MESSAGE_FLAG_REQUEST);
    std::memset(h->senderAddress, 0x11, 24);
    std::memset(h->recipientAddress, 0x22, 24);
    std::memset(h->senderRoute, 0x33, 12);
    std::memset(h->recipientRoute, 0x44, 12);
    h->sequence = 0x123456789ull;
    h->replyToSequence = 5;
    h->extension.senderSessionId = 7;
    auto r = m->createReply(L"rep", L"s", L"");
    ASSERT_TRUE(r);
    const MessageHeader* rh = r->getHeader();
    EXPECT_EQ(rh->flags, 1u);
    std::uint8_t a11[24], z[24] = {}, r33[12];
    std::memset(a11, 0x11, 24);
    std::memset(r33, 0x33, 12);
    EXPECT_EQ(std::memcmp(rh->recipientAddress, a11, 24), 0);
    EXPECT_EQ(std::memcmp(rh->recipientRoute, r33, 12), 0);
    EXPECT_EQ(std::memcmp(rh->senderAddress, z, 24), 0);
    EXPECT_EQ(std::memcmp(rh->senderRoute, z, 12), 0);
    EXPECT_EQ(rh->sequence, 0u);
    EXPECT_EQ(rh->replyToSequence, 0x123456789ull);
    EXPECT_EQ(rh->extension.senderSessionId, 0u);
    EXPECT_EQ(rh->version, 2);
}

TEST(ModuleStatus, NamesOfTheTable) {
    struct Row { std::uint32_t code; const wchar_t* name; };
    const Row rows[] = {
        {0x00000000, L"MODULE_STATUS_SUCCESS"},
        {0x80000001, L"MODULE_STATUS_NOT_SUPPORTED"},
        {0x80000002, L"MODULE_STATUS_UNSUCCESSFUL"},
        {0x80000003, L"MODULE_STATUS_BUFFER_TOO_SMALL"},
        {0x80000004, L"MODULE_STATUS_NOT_IMPLEMENTED"},
        {0x80000005, L"MODULE_STATUS_INVALID_BUFFER_SIZE"},
        {0x80000006, L"MODULE_STATUS_DATA_ERROR"},
        {0x80000007, L"MODULE_STATUS_INVALID_HANDLE"},
        {0x80000008, L"MODULE_STATUS_INVALID_PARAMETER"},
        {0x80000009, L"MODULE_STATUS_NO_MEMORY"},
        {0x8000000A, L"MODULE_STATUS_NOT_FOUND"},
        {0x8000000B, L"MODULE_STATUS_ON_DEMAND_ENABLED"},
        {0x8000000C, L"MODULE_STATUS_PROPERTY_NOT_FOUND"},
        {0x8000000D, L"MODULE_STATUS_TIMEOUT"},
        {0x8000000E, L"MODULE_STATUS_NO_SUBSCRIBERS"},
        {0x8000000F, L"MODULE_STATUS_UNKNOWN_EXCEPTION"},
        {0x80000010, L"MODULE_STATUS_DUPLICATE_MODULE"},
        {0x80000011, L"MODULE_STATUS_PARTIAL_SUCCESS"},
        {0x80000012, L"MODULE_STATUS_UWP_APP_NOT_INSTALLED"},
        {0x80000013, L"MODULE_STATUS_APP_SERVICE_UNAVAILABLE"},
        {0x80000014, L"MODULE_STATUS_APP_SERVICE_UNAUTHORIZED"},
        {0x80000015, L"MODULE_STATUS_SESSION_INVALID"},
        {0x800000FF, L"MODULE_STATUS_INVALID_STATE"},
    };
    for (const Row& r : rows) {
        EXPECT_STREQ(moduleStatusName(r.code), r.name) << std::hex << r.code;
    }
}

TEST(ModuleStatus, UnknownCodes) {
    for (std::uint32_t c = 0x80000016; c < 0x800000FF; ++c) {
        ASSERT_STREQ(moduleStatusName(c), L"MODULE_STATUS_UNKNOWN") << std::hex << c;
    }
    for (std::uint32_t c : {1u, 2u, 0x7FFFFFFFu, 0x80000000u, 0x80000100u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(moduleStatusName(c), L"MODULE_STATUS_UNKNOWN") << std::hex << c;
    }
}

TEST(CallGuarded, PassesResultAndTurnsExceptionsIntoUnknownException) {
    EXPECT_EQ(callGuarded([] { return 5u; }), 5u);
    EXPECT_EQ(callGuarded([]() -> std::uint32_t { throw std::runtime_error("x"); }),
              MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(callGuarded([]() -> std::uint32_t { throw 42; }), MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(callGuarded([]() -> std::uint32_t { throw ModuleException("Invalid"); }),
              MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(callGuarded(std::function<std::uint32_t()>()), MODULE_STATUS_UNKNOWN_EXCEPTION);
}

TEST(ModuleException, IsRuntimeErrorWith8BitText) {
    try {
        throw ModuleException("Invalid message bus handle");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid message bus handle");
    }
}

}  // namespace
}  // namespace Tessil
