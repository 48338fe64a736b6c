// Parse and write throughput of Tessil::JSONFormatter for alert-sized
// payloads, beside RapidJSON's own parse and write of the same text.
// Usage: json_benchmark [iterations]
#include "framework/json/JSONFormatter.h"
#include "framework/json/testing/AlertPayload.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

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
    run("small alert (1 action)", bench::alertPayload(1), iterations);
    run("large alert (8 actions)", bench::alertPayload(8), iterations / 2 > 0 ? iterations / 2 : 1);
    return 0;
}
