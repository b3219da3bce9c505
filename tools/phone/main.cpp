// duskferry-phone: the phone's side of the protocol on the command line. The session runs
// on the serial queue "duskferry.phone"; the main thread parses the command line, finds the
// agent, waits for the end or for SIGINT/SIGTERM (with --view it runs the viewer window's
// event loop meanwhile), and a reader thread feeds a script from standard input.

#include "platform/SerialQueue.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tools/phone/CommandLine.h"
#include "tools/phone/Discovery.h"
#include "tools/phone/PhoneClient.h"
#include "tools/phone/Script.h"
#include "tools/phone/view/PhoneView.h"

#include <netdb.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

using namespace df;
using namespace df::phone;

namespace {

std::mutex outputMutex;

void printLine(FILE* stream, const std::string& line) {
    std::lock_guard lock(outputMutex);
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// A numeric address for the transport; names are resolved here (first address wins).
std::optional<std::string> resolveHost(const std::string& host, std::string* error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return std::nullopt;
    }
    char text[NI_MAXHOST] = {};
    const int rc2 = getnameinfo(res->ai_addr, res->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    freeaddrinfo(res);
    if (rc2 != 0) {
        *error = "cannot resolve " + host;
        return std::nullopt;
    }
    return std::string(text);
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed) {
        printLine(stderr, "duskferry-phone: " + parsed.error());
        return static_cast<int>(ExitStatus::usage);
    }
    CommandLine cl = std::move(parsed).value();
    if (cl.help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }

    // Signals are taken by the main thread alone: block them before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A closed pipe shows up as a write error, not as the end of the process.
    signal(SIGPIPE, SIG_IGN);

    // Finding the agent.
    if (cl.discoverOnly || cl.host.empty()) {
        auto found = discoverAgents(cl.discoverTimeout);
        if (!found) {
            printLine(stderr, "error: " + found.error());
            return static_cast<int>(ExitStatus::notFound);
        }
        if (cl.discoverOnly) {
            for (const auto& a : *found) printLine(stdout, describe(a));
            if (found->empty()) printLine(stderr, "no agent found");
            return found->empty() ? static_cast<int>(ExitStatus::notFound) : 0;
        }
        const DiscoveredAgent* pick = nullptr;
        for (const auto& a : *found)
            if (cl.agentName.empty() || a.name == cl.agentName) {
                pick = &a;
                break;
            }
        if (!pick) {
            printLine(stderr, cl.agentName.empty()
                                  ? "error: no agent found on the network; is it running? (or give --host)"
                                  : "error: no agent named \"" + cl.agentName + "\" found");
            return static_cast<int>(ExitStatus::notFound);
        }
        printLine(stdout, "using " + describe(*pick));
        cl.host = pick->address;
        cl.port = pick->port;
    }
    std::string error;
    const auto address = resolveHost(cl.host, &error);
    if (!address) {
        printLine(stderr, "error: " + error);
        return static_cast<int>(ExitStatus::notFound);
    }
    cl.phone.agent = Endpoint{*address, cl.port};

    // A script file is checked whole before connecting; standard input is read as it comes.
    std::vector<ScriptStep> fileSteps;
    if (!cl.scriptPath.empty() && cl.scriptPath != "-") {
        std::ifstream in(cl.scriptPath);
        if (!in) {
            printLine(stderr, "error: cannot read the script " + cl.scriptPath);
            return static_cast<int>(ExitStatus::usage);
        }
        auto steps = parseScript(in);
        if (!steps) {
            printLine(stderr, "error: " + steps.error());
            return static_cast<int>(ExitStatus::usage);
        }
        fileSteps = std::move(steps).value();
    }

    IdentityStore store(cl.identityDir.empty() ? IdentityStore::defaultDirectory()
                                               : std::filesystem::path(cl.identityDir));
    auto identity = store.loadOrCreate(cl.name);
    if (!identity) {
        printLine(stderr, "error: " + identity.error());
        return static_cast<int>(ExitStatus::usage);
    }

    // The viewer window lives on this thread, which then runs its event loop; decoded
    // pictures come to it from the session queue.
    std::unique_ptr<PhoneView> view;
    if (cl.view) {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
            printLine(stderr, "error: --view needs a display (DISPLAY is not set)");
            return static_cast<int>(ExitStatus::usage);
        }
        view = PhoneView::open("duskferry-phone " + cl.host, [](const std::string& line) { printLine(stdout, line); });
        cl.phone.mediaOptions.onPicture = [v = view.get()](const RgbImage& picture) { v->showPicture(picture); };
    }

    std::mutex doneMutex;
    std::condition_variable doneCv;
    std::optional<ExitStatus> status;

    auto queue = SerialQueue::create("duskferry.phone");
    auto client = PhoneClient::create(
        cl.phone, std::move(identity).value(), store, queue, makeLinuxTransportFactory(),
        [](const std::string& line) { printLine(stdout, line); },
        [](const std::string& line) { printLine(stderr, line); },
        [&](ExitStatus s, const std::string&) {
            std::lock_guard lock(doneMutex);
            status = s;
            doneCv.notify_all();
            if (view) view->quit();
        });
    for (auto& step : fileSteps) client->addScriptStep(std::move(step));
    if (cl.phone.hasScript && cl.scriptPath != "-") client->endOfScript();
    client->start();

    if (cl.scriptPath == "-") {
        // Detached: a blocking read of standard input cannot be interrupted cleanly, and the
        // process ends when the session does.
        std::thread([client] {
            std::string line;
            int n = 0;
            while (std::getline(std::cin, line)) {
                auto step = parseScriptLine(line, ++n);
                if (!step) {
                    printLine(stderr, step.error() + " (skipped)");
                    continue;
                }
                if (*step) client->addScriptStep(std::move(**step));
            }
            client->endOfScript();
        }).detach();
    }

    if (view) {
        view->run({.send = [client](ControlMessage m) { client->sendInput(std::move(m)); },
                   .closed = [client] { client->stop(); },
                   .tick = [&] {
                       timespec now{0, 0};
                       if (sigtimedwait(&signals, nullptr, &now) > 0) client->stop();
                   }});
    }
    for (;;) {
        {
            std::unique_lock lock(doneMutex);
            if (status) break;
        }
        timespec wait{0, 100 * 1000 * 1000};
        if (sigtimedwait(&signals, nullptr, &wait) > 0) client->stop();
    }
    // What ending still had posted (cancelled connections handing back their pending
    // receives, whose completions hold the client) is destroyed with the queue, which
    // releases the client and its connections before the program ends.
    queue->shutdown();
    return static_cast<int>(*status);
}
