// Name servers and the DDNS provider's domain, in one place. Tests point them at local
// servers; the product keeps the defaults.
#pragma once

#include <cstdint>
#include <string>

namespace zaq {

struct NetConfig {
    // Asked for names under the DDNS provider's domain (IPv4 text, UDP).
    std::string ddnsNameServer = "198.51.100.53";
    // Asked for every other name. Empty: the first nameserver of /etc/resolv.conf, else
    // publicFallback.
    std::string publicNameServer;
    std::string publicFallback = "8.8.8.8";
    uint16_t dnsPort = 53;
    // Lower-case domain whose names go through the DDNS web lookup and its name server.
    std::string ddnsDomain = "zaqddns.net";
    // Host name of the provider's web service that a fresh live window offers.
    std::string defaultDdnsHost = "myzaq.zaqddns.net";
    // Port of the provider's web service.
    uint16_t ddnsWebPort = 80;
};

// The process-wide configuration. Read by the session threads; change it only while no
// session runs (tests do so in their fixtures).
NetConfig& netConfig();

// The public resolver to ask: publicNameServer, else the system's first name server, else
// publicFallback.
std::string publicResolverAddress();

}  // namespace zaq
