#include "alerts/src/queue/Alert.h"
#include "alerts/src/queue/DuplicateKey.h"
#include "alerts/src/common/testing/IdleBus.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

using Drem::AlertContent;

namespace {

AlertContent content(const std::wstring& title, const std::wstring& defaultContent, const std::wstring& details,
                     const std::vector<std::wstring>& actionTexts = {}) {
    AlertContent c;
    c.title = title;
    c.defaultcontent = defaultContent;
    c.detailscontent = details;
    for (const auto& text : actionTexts) {
        Drem::AlertAction action;
        action.text = text;
        c.actions.push_back(action);
    }
    return c;
}

}  // namespace

TEST(DuplicateKey, EqualKeysHashAlikeWhateverElseDiffers) {
    AlertContent a = content(L"T", L"D", L"X", {L"OK", L"No"});
    AlertContent b = a;
    b.category = L"other";
    b.longdescription = L"other";
    b.actions[0].id = L"other";
    b.actions[1].defaultmessage.messagename = L"other";
    EXPECT_TRUE(Drem::hasDuplicateKey(a));
    EXPECT_EQ(Drem::hashOfDuplicateKey(a), Drem::hashOfDuplicateKey(b));
}

TEST(DuplicateKey, OnlyContentsOfAtMostFourActionsHaveAKey) {
    const std::vector<std::wstring> texts = {L"a", L"b", L"c", L"d", L"e", L"f"};
    for (std::size_t n = 0; n <= texts.size(); ++n) {
        const AlertContent c = content(L"T", L"D", L"X", std::vector<std::wstring>(texts.begin(), texts.begin() + n));
        EXPECT_EQ(Drem::hasDuplicateKey(c), n <= 4) << n;
        if (n > 4) {
            EXPECT_EQ(Drem::hashOfDuplicateKey(c), 0u) << n;
        }
    }
}

// The index narrows the candidates only when near keys hash apart: texts
// moved between fields, every length up to a few blocks, one unit changed
// at every place.
TEST(DuplicateKey, NearKeysHashApart) {
    std::vector<AlertContent> contents = {
        content(L"ab", L"", L""),
        content(L"a", L"b", L""),
        content(L"", L"ab", L""),
        content(L"", L"a", L"b"),
        content(L"", L"", L"ab"),
        content(L"", L"", L"", {L"ab"}),
        content(L"", L"", L"", {L"a", L"b"}),
        content(L"", L"", L"", {L"b", L"a"}),
        content(L"", L"", L"", {L""}),
        content(L"", L"", L"", {L"", L""}),
        content(L"", L"", L""),
    };
    for (std::size_t n = 1; n <= 40; ++n) {
        const std::wstring text(n, L'x');
        contents.push_back(content(text, L"", L""));
        contents.push_back(content(L"", L"", L"", {text}));
        for (std::size_t at = 0; at < n; ++at) {
            std::wstring changed = text;
            changed[at] = L'y';
            contents.push_back(content(changed, L"", L""));
            changed[at] = static_cast<wchar_t>(0xD800);
            contents.push_back(content(L"", L"", changed));
        }
    }
    std::set<std::uint64_t> hashes;
    for (const auto& c : contents) hashes.insert(Drem::hashOfDuplicateKey(c));
    EXPECT_EQ(hashes.size(), contents.size());
}

TEST(DuplicateKey, AnAlertKeepsTheHashOfItsContent) {
    const auto bus = std::make_shared<Drem::testing::IdleBus>();
    for (const std::wstring context :
         {L"{\"title\":\"T\",\"defaultcontent\":\"D\",\"actions\":[{\"id\":\"a\",\"text\":\"OK\"}]}", L"not json",
          L""}) {
        Drem::AlertInfo info;
        info.context = context;
        const Drem::Alert alert(std::move(info), bus);
        EXPECT_EQ(alert.getDuplicateKeyHash(), Drem::hashOfDuplicateKey(alert.getAlertContent()));
    }
}
