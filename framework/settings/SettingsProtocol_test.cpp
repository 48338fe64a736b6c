#include "framework/settings/SettingsProtocol.h"

#include <gtest/gtest.h>

namespace P = Tessil::SettingsProtocol;

TEST(SettingsProtocol, DoubleTextsOfPersistentAndVolatileProperties) {
    struct Case {
        double value;
        const wchar_t* persistent;
        const wchar_t* volatileText;
    };
    const Case cases[] = {
        {0.1, L"0.1", L"0.100000"},
        {100.0, L"100", L"100.000000"},
        {1e21, L"1e+21", L"1000000000000000000000.000000"},
        {1.0 / 3, L"0.3333333333333333", L"0.333333"},
        {-2.5, L"-2.5", L"-2.500000"},
        {0.0, L"0", L"0.000000"},
        {0.00001, L"1e-05", L"0.000010"},
        {1e15, L"1000000000000000", L"1000000000000000.000000"},
        {1e16, L"1e+16", L"10000000000000000.000000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(P::persistentDoubleText(c.value), c.persistent) << c.value;
        EXPECT_EQ(P::volatileDoubleText(c.value), c.volatileText) << c.value;
    }
}

TEST(SettingsProtocol, PrefixExpressionsInsertThePrefixUnchanged) {
    EXPECT_EQ(P::notifySetExpression(L"Vantrel/Viewer"), L"^SettingsManager.Notify.Set.Vantrel/Viewer.*");
    EXPECT_EQ(P::notifyDeleteExpression(L"a.b"), L"^SettingsManager.Notify.Delete.a.b.*");
}
