// Standalone video-site simulator: serves a catalogue file on loopback and prints
// "127.0.0.1:<port>" (its proxy address) as the first line of its output.
// Usage: sitesim [--port N] [catalogue-file]; ends on SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "tools/sitesim/SiteSim.h"

int main(int argc, char** argv) {
  try {
    sitesim::TCatalogue catalogue;
    int port = -1;
    for (int i = 1; i < argc; ++i) {
      std::string arg = argv[i];
      if (arg == "--port" && i + 1 < argc) {
        port = std::stoi(argv[++i]);
      } else if (arg == "--help" || arg == "-h") {
        std::printf("usage: sitesim [--port N] [catalogue-file]\n");
        return 0;
      } else {
        catalogue = sitesim::LoadCatalogue(arg);
      }
    }
    if (port >= 0) catalogue.Options.Port = static_cast<uint16_t>(port);

    // Signals are taken by sigwait below, never by the server threads.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    sitesim::TSiteSim sim(catalogue);
    sim.Start();
    std::printf("%s\n", sim.ProxyAddress().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    sim.Stop();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sitesim: %s\n", e.what());
    return 1;
  }
}
