// "Viewer.exe": a viewer as a program of its own, on a handle of the bus
// library found beside it.
//
//   Viewer.exe <viewer id> [--ready-event R] [--stop-event S] [--quiet]
//
// Shows every alert it is asked to (printing it unless quiet), replies
// ".Shown." with its plain copy, so producers see it too, with the time the
// request arrived (MachineMicroseconds) as payload, and then reports
// ".Dismissed.". Sets R once subscribed and runs until S is set (or, without
// S, until its standard input closes).
#include "alerts/data/AlertInfo.h"
#include "framework/json/JSONFormatter.h"
#include "neighbours/MessageBus/BusLibraryBesideProgram.h"
#include "neighbours/programs/NeighbourProgram.h"
#include "neighbours/viewer/ViewerNeighbour.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace {

std::wstring Title(const std::wstring& context) {
    Tessil::JSONFormatter json;
    std::wstring title;
    if (json.parse(context)) json.getString(L"title", title);
    return title;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: Viewer.exe <viewer id> [--ready-event R] [--stop-event S] [--quiet]\n");
        return 2;
    }
    const std::wstring viewerId = argv[1];
    std::wstring readyEvent, stopEvent;
    bool quiet = false;
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--ready-event" && i + 1 < argc) {
            readyEvent = argv[++i];
        } else if (option == L"--stop-event" && i + 1 < argc) {
            stopEvent = argv[++i];
        } else if (option == L"--quiet") {
            quiet = true;
        } else {
            std::fprintf(stderr, "unknown option %ls\n", option.c_str());
            return 2;
        }
    }
    Neighbours::ProgramBus bus;
    if (!bus.client()) {
        std::fprintf(stderr, "viewer: no bus handle\n");
        return 3;
    }
    std::atomic<unsigned> shown{0};
    int exitCode = 0;
    {
        Neighbours::ViewerNeighbour viewer(bus.client(), viewerId);
        viewer.setPublicReplies(true, [](const Neighbours::ViewerNeighbour::Request&) {
            return std::to_wstring(Neighbours::MachineMicroseconds());
        });
        viewer.setOnShow([&](const Neighbours::ViewerNeighbour::Request& request) {
            ++shown;
            if (quiet) return;
            Drem::AlertInfo alert;
            Drem::AlertInfo::fromJson(request.payload, alert);
            std::printf("viewer %ls: shows \"%ls\" with \"%ls\" (%ls)\n", viewerId.c_str(),
                        Title(alert.context).c_str(), alert.content.c_str(), request.name.c_str());
            std::fflush(stdout);
        });
        if (!viewer.start()) {
            std::fprintf(stderr, "viewer: subscriptions refused\n");
            exitCode = 4;
        } else {
            Neighbours::SignalNamedEvent(readyEvent);
            if (!Neighbours::WaitForNamedEvent(stopEvent)) {
                while (std::getchar() != EOF) {
                }
            }
            viewer.stop();
        }
    }
    if (quiet) {
        std::printf("viewer %ls: showed %u alerts\n", viewerId.c_str(), shown.load());
        std::fflush(stdout);
    }
    return exitCode;
}
