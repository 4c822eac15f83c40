// zaq-dvr-sim: the simulated DVR as a program, for demos, scripted tests and benchmarks.
// Prints "zaq-dvr-sim listening on ADDR:PORT" once it accepts connections and runs until
// SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <string>

#include "sim/dvr_sim.h"

int main(int argc, char** argv) {
    zaq::sim::SimOptions options;
    zaq::sim::ParseOutcome parsed = zaq::sim::parseSimOptions(argc, argv, options);
    if (parsed.help) {
        std::fputs(zaq::sim::simUsage(), stdout);
        return 0;
    }
    if (!parsed.ok) {
        std::fprintf(stderr, "zaq-dvr-sim: %s\n%s", parsed.error.c_str(), zaq::sim::simUsage());
        return 2;
    }

    // Block the stop signals before any thread starts, so every thread inherits the mask and
    // only sigwait() below sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
    // sigwait(): take the default action back (the mask keeps it from killing us).
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);

    zaq::sim::DvrSim sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "zaq-dvr-sim: %s\n", error.c_str());
        return 1;
    }
    const std::string& addr = options.bind_address;
    bool v6 = addr.find(':') != std::string::npos;
    std::printf("zaq-dvr-sim listening on %s%s%s:%u\n", v6 ? "[" : "", addr.c_str(), v6 ? "]" : "",
                unsigned(sim.port()));
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stop_signals, &sig);
    sim.stop();
    return 0;
}
