#pragma once

#include <string>

namespace zaq {

// The DVR's web setup page: https on the secure port when the DVR has one, else http on the
// web port; device type 2 uses the setup script, type 1 the client page.
inline std::string remoteSetupUrl(int devType, const std::string& host, int webPort, int sslPort) {
    bool secure = sslPort > 0;
    std::string url = (secure ? "https://" : "http://") + host + ":" +
                      std::to_string(secure ? sslPort : webPort);
    return url + (devType == 2 ? "/cgi-bin/websetup.cgi" : "/index.html?client");
}

}  // namespace zaq
