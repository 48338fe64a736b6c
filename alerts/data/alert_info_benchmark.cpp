// Reading the alert JSON (Drem::AlertInfo::fromJson) beside RapidJSON's
// UTF-8 DOM parse of the same payload, in alternating repetitions.
// Usage: alert_info_benchmark [repetitions]
#include "alerts/data/AlertInfo.h"
#include "framework/json/testing/AlertPayload.h"
#include "framework/performance/testing/SideBySide.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring stringOf(const rapidjson::Value& v) { return widened({v.GetString(), v.GetStringLength()}); }

// Compact ASCII text of v, non-ASCII letters escaped.
std::string compactAscii(const rapidjson::Value& v) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>> writer(buffer);
    v.Accept(writer);
    return {buffer.GetString(), buffer.GetSize()};
}

// The alert that fromJson read equals the values of RapidJSON's document.
// The payload is ASCII (non-ASCII letters only as \u escapes), so widening
// is exact; the contexts are compared as parsed values.
bool sameValues(const Drem::AlertInfo& info, const rapidjson::Document& doc) {
    std::vector<std::wstring> viewers;
    for (const auto& v : doc["preferredViewer"].GetArray()) viewers.push_back(stringOf(v));
    rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>> wideContext;
    wideContext.Parse(info.context.c_str());
    rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>> wideExpected;
    wideExpected.Parse(widened(compactAscii(doc["context"])).c_str());
    return info.id == stringOf(doc["id"]) && info.instanceId == stringOf(doc["instanceId"]) &&
           L"P" + std::to_wstring(info.priority) == stringOf(doc["priority"]) &&
           info.product == stringOf(doc["product"]) && info.content == stringOf(doc["content"]) &&
           info.timeout == doc["timeout"].GetUint() && info.sessionId == doc["sessionId"].GetUint() &&
           (info.source == 0 ? L"client" : L"web") == stringOf(doc["source"]) &&
           info.forcePreferredViewer == doc["forcePreferredViewer"].GetBool() && info.preferredViewer == viewers &&
           !wideContext.HasParseError() && wideContext == wideExpected;
}

void run(int actions, int perRound, int repetitions) {
    const std::wstring text = bench::alertPayload(actions);
    const std::string utf8 = ascii(text);

    Drem::AlertInfo reference;
    rapidjson::Document doc;
    doc.Parse(utf8.c_str(), utf8.size());
    const bool readable = Drem::AlertInfo::fromJson(text, reference) && !doc.HasParseError();

    long projectGood = 0, anchorGood = 0, rounds = 0;
    bench::Side project{"AlertInfo::fromJson", [&] {
                            for (int i = 0; i < perRound; ++i) {
                                Drem::AlertInfo info;
                                info.created = reference.created;
                                projectGood += Drem::AlertInfo::fromJson(text, info) && info == reference;
                            }
                            ++rounds;
                        },
                        static_cast<double>(perRound)};
    bench::Side anchor{"rapidjson UTF-8 DOM parse", [&] {
                           for (int i = 0; i < perRound; ++i) {
                               rapidjson::Document d;
                               d.Parse(utf8.c_str(), utf8.size());
                               anchorGood += !d.HasParseError() &&
                                             d["context"]["actions"].Size() == static_cast<unsigned>(actions);
                           }
                       },
                       static_cast<double>(perRound)};
    const bench::Comparison c = bench::compareRates(project, anchor, repetitions);

    char title[160];
    std::snprintf(title, sizeof title, "alert parsing, %d action%s (%zu characters), documents/s", actions,
                  actions == 1 ? "" : "s", text.size());
    bench::printRatio(title, project, anchor, c, 0.5, true, "docs/s");
    const long expected = rounds * perRound;
    bench::printCheck("every document read, alert equal to RapidJSON's values",
                      readable && sameValues(reference, doc) && projectGood == expected &&
                          anchorGood == expected);
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 21;
    if (repetitions <= 0) {
        std::fprintf(stderr, "usage: alert_info_benchmark [repetitions > 0]\n");
        return 2;
    }
    run(1, 400, repetitions);
    run(8, 200, repetitions);
    return 0;
}
