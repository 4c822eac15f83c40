#include "protocol/net_config.h"

#include <fstream>
#include <sstream>

#include <arpa/inet.h>

namespace zaq {

NetConfig& netConfig() {
    static NetConfig config;
    return config;
}

std::string publicResolverAddress() {
    const NetConfig& cfg = netConfig();
    if (!cfg.publicNameServer.empty()) return cfg.publicNameServer;
    std::ifstream conf("/etc/resolv.conf");
    std::string line;
    while (std::getline(conf, line)) {
        std::istringstream words(line);
        std::string key, value;
        words >> key >> value;
        in_addr addr{};
        // Only IPv4 servers: the resolver speaks IPv4 UDP.
        if (key == "nameserver" && inet_pton(AF_INET, value.c_str(), &addr) == 1) return value;
    }
    return cfg.publicFallback;
}

}  // namespace zaq
