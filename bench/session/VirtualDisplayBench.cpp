// Time from the phone's `virtualDisplay` on to the first decoded picture of the new display
// at the reference client, with the agent program on a private Xorg with the dummy driver.
// Each round starts a fresh server and agent, pairs, streams the main display, asks for the
// virtual display and waits for a 2560x1440 picture.
//
//   bench_virtual_display [--rounds N]
//
// Prints each round and the median, minimum and maximum in milliseconds. Needs root (Xorg
// reading the project's configuration).

#include "tests/support/PrivateXorgDummy.h"
#include "tests/support/VirtualDisplayTrial.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    int rounds = 5;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::cerr << "usage: bench_virtual_display [--rounds N]\n";
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        df::testsupport::XorgDummy xorg(DF_XORG_DUMMY_CONF);
        if (xorg.name().empty()) {
            std::cerr << "bench_virtual_display: Xorg with the dummy driver did not start\n";
            return 1;
        }
        df::testsupport::VirtualDisplayTrial trial(DF_AGENT_BIN, xorg.name());
        if (!trial.connect()) {
            std::cerr << "bench_virtual_display: " << trial.error() << "\n";
            return 1;
        }
        const auto sent = trial.sendVirtualDisplay(true);
        auto first = trial.waitForPicture([](int w, int h) { return w == 2560 && h == 1440; }, 20);
        if (!first) {
            std::cerr << "bench_virtual_display: no picture of the virtual display in round " << r + 1 << "\n";
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(*first - sent).count());
        std::printf("round %d: virtualDisplay on -> first decoded 2560x1440 picture %.0f ms\n", r + 1, ms.back());
        std::fflush(stdout);
        trial.stopAgent();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("virtualDisplay on -> first decoded frame of the new display: median %.0f ms, min %.0f, max %.0f "
                "(%d rounds; the session's forced screen resync waits 2000 ms of it)\n",
                ms[ms.size() / 2], ms.front(), ms.back(), rounds);
    return 0;
}
