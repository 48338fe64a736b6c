// "Producer.exe": an alert producer as a program of its own, on a handle of
// the bus library found beside it.
//
//   Producer.exe --number P --alerts N [--sessions S,S...] [--product ID]
//                [--viewer ID] [--results FILE] [--wait-seconds W] [--quiet]
//
// Sends N alerts one after another (each asks "Vantrel.Alert.GetId", then
// sends "Vantrel.Alert.Show." + instance), the sessions taken in turn, and
// listens for every report about its alerts. Unless quiet it prints each
// report with its time since that alert's Show request. Then it waits up to
// W seconds (default 300) until every queued alert has its closing report.
// With FILE it writes one line per alert:
//   <alert id> <instance> <session> <answer> <show us> <answer us> <viewer us> <closing us> <closing>
// (MachineMicroseconds; 0 when missing; answer and closing are the status words).
// Exit code 0 when every queued alert was shown and closed, 1 otherwise.
#include "alerts/data/AlertInfo.h"
#include "neighbours/MessageBus/BusLibraryBesideProgram.h"
#include "neighbours/programs/NeighbourProgram.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Options {
    unsigned number = 1;
    unsigned alerts = 1;
    std::vector<std::uint32_t> sessions{0};
    std::wstring product = L"DemoProduct";
    std::wstring viewer = L"DemoViewer";
    std::wstring results;
    unsigned waitSeconds = 300;
    bool quiet = false;
};

struct Record {
    std::wstring instance;
    std::uint32_t session = 0;
    std::wstring answer;  // status word of the answer to the show request
    std::uint64_t show = 0, answered = 0, viewer = 0, closed = 0;
    std::wstring closing;  // "Dismissed" or "Failed"
};

std::vector<std::uint32_t> ParseSessions(const std::wstring& text) {
    std::vector<std::uint32_t> sessions;
    const wchar_t* p = text.c_str();
    while (*p != L'\0') {
        wchar_t* end = nullptr;
        sessions.push_back(static_cast<std::uint32_t>(std::wcstoul(p, &end, 10)));
        if (end == p) return {};
        p = *end == L',' ? end + 1 : end;
    }
    return sessions;
}

bool Parse(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == L"--quiet") {
            options.quiet = true;
        } else if (!hasValue) {
            return false;
        } else if (option == L"--number") {
            options.number = static_cast<unsigned>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (option == L"--alerts") {
            options.alerts = static_cast<unsigned>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (option == L"--sessions") {
            options.sessions = ParseSessions(argv[++i]);
        } else if (option == L"--product") {
            options.product = argv[++i];
        } else if (option == L"--viewer") {
            options.viewer = argv[++i];
        } else if (option == L"--results") {
            options.results = argv[++i];
        } else if (option == L"--wait-seconds") {
            options.waitSeconds = static_cast<unsigned>(std::wcstoul(argv[++i], nullptr, 10));
        } else {
            return false;
        }
    }
    return !options.sessions.empty() && options.number < 0x10000;
}

// The producer's number in the first group, the alert's in the last.
std::wstring AlertId(unsigned producer, unsigned alert) {
    wchar_t text[40];
    std::swprintf(text, 40, L"DE%06X-5E1D-4A7C-9B3E-%012X", producer, alert);
    return text;
}

// "Vantrel.Alert." + id + "." + word + "." + instance -> id and word.
bool SplitReport(const std::wstring& name, std::wstring& id, std::wstring& word) {
    const std::wstring prefix = L"Vantrel.Alert.";
    const std::size_t idEnd = name.find(L'.', prefix.size());
    const std::size_t wordEnd = idEnd == std::wstring::npos ? idEnd : name.find(L'.', idEnd + 1);
    if (name.compare(0, prefix.size(), prefix) != 0 || wordEnd == std::wstring::npos) return false;
    id = name.substr(prefix.size(), idEnd - prefix.size());
    word = name.substr(idEnd + 1, wordEnd - idEnd - 1);
    return true;
}

double Milliseconds(std::uint64_t from, std::uint64_t to) {
    return to >= from ? static_cast<double>(to - from) / 1000.0 : 0.0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: Producer.exe --number P --alerts N [--sessions S,S...] [--product ID]\n"
                     "  [--viewer ID] [--results FILE] [--wait-seconds W] [--quiet]\n");
        return 2;
    }
    Neighbours::ProgramBus bus;
    if (!bus.client()) {
        std::fprintf(stderr, "producer: no bus handle\n");
        return 3;
    }
    const std::wstring me = L"Producer" + std::to_wstring(options.number);
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::wstring, Record> records;  // by alert id; guarded by mutex
    unsigned open = 0;                       // queued and not closed; guarded by mutex

    // Every report about this producer's alerts, Queued included (the plain
    // copy of the answer).
    wchar_t expression[96];
    std::swprintf(expression, 96, L"Vantrel\\.Alert\\.DE%06X-5E1D-4A7C-9B3E-[0-9A-F]{12}\\..+", options.number);
    const std::uint32_t subscribed =
        bus.client()->subscribeFilter(expression, [&](std::shared_ptr<Tessil::Message> message) -> std::uint32_t {
            const std::uint64_t now = Neighbours::MachineMicroseconds();
            std::wstring id, word;
            if (!SplitReport(message->getName(), id, word)) return 0;
            std::lock_guard<std::mutex> lock(mutex);
            auto found = records.find(id);
            if (found == records.end()) return 0;
            Record& record = found->second;
            if (word == L"Shown") {
                record.viewer = std::wcstoull(message->getPayload().c_str(), nullptr, 10);
            } else if ((word == L"Dismissed" || word == L"Failed") && record.closing.empty()) {
                record.closing = word;
                record.closed = now;
                if (open > 0) --open;
                changed.notify_all();
            }
            if (!options.quiet) {
                std::printf("producer: %8.1f ms  %ls (report)\n", Milliseconds(record.show, now),
                            message->getName().c_str());
                std::fflush(stdout);
            }
            return 0;
        });
    if (subscribed != 0) {
        std::fprintf(stderr, "producer: subscription refused\n");
        return 4;
    }
    auto ask = [&](const std::wstring& name, const std::wstring& payload) -> std::shared_ptr<Tessil::Message> {
        std::shared_ptr<Tessil::Reply> reply;
        if (bus.client()->request(Tessil::Message::create(name, me, payload), reply, 20000) != 0 || !reply ||
            reply->wait() != Tessil::REPLY_STATUS_RECEIVED) {
            return nullptr;
        }
        return reply->getMessage();
    };

    unsigned unanswered = 0;
    for (unsigned i = 0; i < options.alerts; ++i) {
        const auto id = ask(L"Vantrel.Alert.GetId", L"");
        if (!id) {
            ++unanswered;
            continue;
        }
        Drem::AlertInfo info;
        info.id = AlertId(options.number, i + 1);
        info.instanceId = id->getPayload();
        info.product = options.product;
        info.priority = 2;
        info.sessionId = options.sessions[i % options.sessions.size()];
        info.timeout = 30;
        info.preferredViewer = {options.viewer};
        // Queued alerts of equal content are duplicates: each names its own volume.
        info.context = L"{\"title\":\"Disk almost full\",\"defaultcontent\":\"Free some space on volume " +
                       std::to_wstring(options.number) + L"." + std::to_wstring(i + 1) + L".\"}";
        {
            std::lock_guard<std::mutex> lock(mutex);
            Record& record = records[info.id];
            record.instance = info.instanceId;
            record.session = info.sessionId;
            record.show = Neighbours::MachineMicroseconds();
        }
        const std::wstring name = L"Vantrel.Alert.Show." + info.instanceId;
        if (!options.quiet) {
            std::printf("producer: sends %ls (session %u): %ls\n", name.c_str(), info.sessionId,
                        Drem::AlertInfo::toJson(info).c_str());
            std::fflush(stdout);
        }
        const auto answer = ask(name, Drem::AlertInfo::toJson(info));
        const std::uint64_t now = Neighbours::MachineMicroseconds();
        std::wstring answerId, word;
        std::lock_guard<std::mutex> lock(mutex);
        Record& record = records[info.id];
        record.answered = now;
        if (!answer || !SplitReport(answer->getName(), answerId, word)) {
            record.answer = L"none";
            ++unanswered;
            continue;
        }
        record.answer = word;
        if (!options.quiet) {
            std::printf("producer: %8.1f ms  %ls (the answer)\n", Milliseconds(record.show, now),
                        answer->getName().c_str());
            std::fflush(stdout);
        }
        if (word == L"Queued" && record.closing.empty()) ++open;
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(options.waitSeconds), [&] { return open == 0; });
    }
    bus.client()->unsubscribeAll();

    bool complete = unanswered == 0;
    std::FILE* out = options.results.empty() ? nullptr : _wfopen(options.results.c_str(), L"w");
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [id, record] : records) {
        if (record.answer == L"Queued" && (record.viewer == 0 || record.closing != L"Dismissed")) complete = false;
        if (out != nullptr) {
            std::fprintf(out, "%ls %ls %u %ls %llu %llu %llu %llu %ls\n", id.c_str(), record.instance.c_str(),
                         record.session, record.answer.c_str(), static_cast<unsigned long long>(record.show),
                         static_cast<unsigned long long>(record.answered),
                         static_cast<unsigned long long>(record.viewer),
                         static_cast<unsigned long long>(record.closed),
                         record.closing.empty() ? L"-" : record.closing.c_str());
        }
    }
    if (out != nullptr) std::fclose(out);
    return complete ? 0 : 1;
}
