// Compares JSON texts as documents, for the round-trip checks of the JSON
// readers. Names, strings, integers, structure and member order must match
// exactly; doubles within a few units in the last place, since RapidJSON's
// default number reading is not always the nearest double (a double written
// out can read back one or two units away).
#pragma once

#include "tests/native/fuzz/FuzzInput.h"

#include <rapidjson/document.h>

#include <cfloat>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace fuzz {

using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
using WideValue = WideDocument::ValueType;

inline bool CloseDoubles(double a, double b) {
    if (a == b) return true;
    const double scale = std::fmax(std::fabs(a), std::fabs(b));
    return std::fabs(a - b) <= 1e-15 * scale + 4 * DBL_TRUE_MIN;
}

inline bool SameString(const WideValue& a, const WideValue& b) {
    return a.GetStringLength() == b.GetStringLength() &&
           std::wstring_view(a.GetString(), a.GetStringLength()) ==
               std::wstring_view(b.GetString(), b.GetStringLength());
}

inline bool SameValues(const WideValue& first, const WideValue& second) {
    std::vector<std::pair<const WideValue*, const WideValue*>> todo{{&first, &second}};
    while (!todo.empty()) {
        const auto [a, b] = todo.back();
        todo.pop_back();
        if (a->IsDouble() || b->IsDouble()) {
            if (!a->IsDouble() || !b->IsDouble() || !CloseDoubles(a->GetDouble(), b->GetDouble()))
                return false;
            continue;
        }
        if (a->GetType() != b->GetType()) return false;
        if (a->IsNumber()) {
            if (a->IsUint64() != b->IsUint64() || a->IsInt64() != b->IsInt64()) return false;
            if (a->IsUint64() ? a->GetUint64() != b->GetUint64() : a->GetInt64() != b->GetInt64())
                return false;
        } else if (a->IsString()) {
            if (!SameString(*a, *b)) return false;
        } else if (a->IsArray()) {
            if (a->Size() != b->Size()) return false;
            for (rapidjson::SizeType i = 0; i < a->Size(); ++i) todo.push_back({&(*a)[i], &(*b)[i]});
        } else if (a->IsObject()) {
            if (a->MemberCount() != b->MemberCount()) return false;
            auto ia = a->MemberBegin();
            auto ib = b->MemberBegin();
            for (; ia != a->MemberEnd(); ++ia, ++ib) {
                if (!SameString(ia->name, ib->name)) return false;
                todo.push_back({&ia->value, &ib->value});
            }
        }
    }
    return true;
}

// Both texts are JSON written by RapidJSON's writer (so at most 17 digits a
// number: full precision reads them safely) and hold the same document.
inline bool SameJson(const std::wstring& a, const std::wstring& b) {
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag;
    WideDocument first;
    WideDocument second;
    first.Parse<kFlags>(a.c_str());
    second.Parse<kFlags>(b.c_str());
    return !first.HasParseError() && !second.HasParseError() && SameValues(first, second);
}

}  // namespace fuzz
