// Parse and write throughput of Tessil::JSONFormatter for alert-sized
// payloads, beside RapidJSON's own parse and write of the same text.
// Usage: json_benchmark [iterations]
#include "framework/json/JSONFormatter.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// An alert JSON as producers send it: the alert members with a
// context of a few kilobytes (texts, actions, options).
std::wstring alertPayload(int actions) {
    std::wstring context =
        L"{\"category\":\"security\",\"title\":\"Your protection needs attention\","
        L"\"shortdescription\":\"Real-time scanning is off.\","
        L"\"longdescription\":\"Real-time scanning was turned off by a program. Turn it on again to keep "
        L"your files, downloads and e-mail protected against viruses and other threats. \\u00c4\\u00e9\","
        L"\"langid\":\"en-us\",\"detailscontent\":\"<p>Details about the \\\"threat\\\" and the fix.</p>\","
        L"\"defaultcontent\":\"Turn on real-time scanning\",\"recommendedtext\":\"Recommended\","
        L"\"detaillinktext\":\"Learn more\",\"detaillinkcontext\":\"https://example.invalid/help/rts\","
        L"\"appid\":\"product.av\",\"plugin\":\"avplugin\",\"timeout\":60,\"width\":420,\"status\":2,"
        L"\"detaillinktype\":1,\"SuppressAlertByDefault\":false,\"legacy\":false,"
        L"\"timeoutactions\":[{\"messagename\":\"Product.Alert.Timeout\",\"payload\":\"{}\"}],"
        L"\"dismissalactions\":[{\"messagename\":\"Product.Alert.Dismissed\",\"payload\":\"{}\"}],"
        L"\"options\":[{\"id\":\"remember\",\"text\":\"Don't show again\",\"selected\":false}],"
        L"\"actions\":[";
    for (int i = 0; i < actions; ++i) {
        if (i) context += L",";
        const std::wstring n = std::to_wstring(i);
        context += L"{\"id\":\"action" + n + L"\",\"text\":\"Action number " + n +
                   L"\",\"default\":" + (i == 0 ? L"true" : L"false") +
                   L",\"defaultmessage\":{\"messagename\":\"Product.Alert.Action" + n +
                   L"\",\"payload\":\"{\\\"choice\\\":" + n +
                   L"}\"},\"options\":[{\"idList\":[\"remember\"],\"message\":{\"messagename\":"
                   L"\"Product.Alert.Remember\",\"payload\":\"\"}}]}";
    }
    context += L"]}";
    return L"{\"id\":\"product.av.rts.off\",\"instanceId\":\"42\",\"priority\":\"P1\","
           L"\"product\":\"product.av\",\"content\":\"\",\"timeout\":30,\"sessionId\":1,"
           L"\"source\":\"client\",\"forcePreferredViewer\":false,"
           L"\"preferredViewer\":[\"toast\",\"tray\"],\"context\":" +
           context + L"}";
}

volatile std::size_t g_sink;  // keeps the measured work from being optimised away

template <typename F>
void measure(const char* name, int iterations, std::size_t bytes, F&& work) {
    for (int i = 0; i < iterations / 10 + 1; ++i) work();  // warm-up: heap and caches
    const auto start = Clock::now();
    for (int i = 0; i < iterations; ++i) work();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double perOp = seconds / iterations;
    std::printf("  %-34s %9.2f us/op %9.1f MB/s\n", name, perOp * 1e6,
                static_cast<double>(bytes) / perOp / 1e6);
}

void run(const char* label, const std::wstring& text, int iterations) {
    using Encoding = Tessil::JSONFormatter::Encoding;
    const std::size_t bytes = text.size() * sizeof(wchar_t);
    std::printf("%s: %zu characters (%zu bytes UTF-16), %d iterations\n", label, text.size(), bytes,
                iterations);

    measure("rapidjson Parse (recursive)", iterations, bytes, [&] {
        rapidjson::GenericDocument<Encoding> doc;
        doc.Parse(text.c_str());
        g_sink = doc.IsObject();
    });
    measure("rapidjson Parse (iterative)", iterations, bytes, [&] {
        rapidjson::GenericDocument<Encoding> doc;
        doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
        g_sink = doc.IsObject();
    });
    measure("JSONFormatter::parse", iterations, bytes, [&] {
        Tessil::JSONFormatter f;
        g_sink = f.parse(text);
    });

    rapidjson::GenericDocument<Encoding> doc;
    doc.Parse(text.c_str());
    measure("rapidjson Writer", iterations, bytes, [&] {
        rapidjson::GenericStringBuffer<Encoding> buffer;
        rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding>, Encoding, Encoding> writer(buffer);
        doc.Accept(writer);
        g_sink = std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t)).size();
    });
    Tessil::JSONFormatter f;
    f.parse(text);
    measure("JSONFormatter::toString", iterations, bytes, [&] { g_sink = f.toString().size(); });

    measure("JSONFormatter copy", iterations, bytes, [&] {
        Tessil::JSONFormatter copy(f);
        g_sink = copy.toString().size();
    });
    measure("JSONFormatter getObject(context)", iterations, bytes, [&] {
        Tessil::JSONFormatter context;
        g_sink = f.getObject(L"context", context);
    });
    measure("JSONFormatter build (setters)", iterations, bytes, [&] {
        Tessil::JSONFormatter out;
        out.setString(L"id", L"product.av.rts.off");
        out.setString(L"instanceId", L"42");
        out.setString(L"priority", L"P1");
        out.setString(L"product", L"product.av");
        out.setString(L"content", L"");
        out.setUInt(L"timeout", 30);
        out.setUInt(L"sessionId", 1);
        out.setString(L"source", L"client");
        out.setBool(L"forcePreferredViewer", false);
        out.appendString(L"preferredViewer", L"toast");
        out.appendString(L"preferredViewer", L"tray");
        Tessil::JSONFormatter context;
        f.getObject(L"context", context);
        out.setObject(L"context", context);
        g_sink = out.toString().size();
    });
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (iterations <= 0) {
        std::fprintf(stderr, "usage: json_benchmark [iterations > 0]\n");
        return 2;
    }
    run("small alert (1 action)", alertPayload(1), iterations);
    run("large alert (8 actions)", alertPayload(8), iterations / 2 > 0 ? iterations / 2 : 1);
    return 0;
}
