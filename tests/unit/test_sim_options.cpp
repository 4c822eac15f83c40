// The simulator's command line: every flag lands in its field, bad values are refused.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/sim_options.h"

namespace zaq::sim {
namespace {

ParseOutcome parse(std::vector<const char*> args, SimOptions& o) {
    args.insert(args.begin(), "zaq-dvr-sim");
    return parseSimOptions(int(args.size()), args.data(), o);
}

TEST(SimOptionsTest, FlagsLandInTheirFields) {
    struct Case {
        std::vector<const char*> args;
        std::function<bool(const SimOptions&)> holds;
    };
    const std::string long_title = "1=" + std::string(60, 'x');
    const Case cases[] = {
        {{"--port", "0", "--bind=0.0.0.0"},
         [](const SimOptions& o) { return o.port == 0 && o.bind_address == "0.0.0.0"; }},
        {{"--login-result", "3=-2", "--login-result=0=-7"},
         [](const SimOptions& o) {
             return o.login_result == std::map<int, int>{{0, -7}, {3, -2}};
         }},
        {{"--title", "2=Gate", "--title", "5=Back door=2"},
         [](const SimOptions& o) {
             return o.titles.at(2) == "Gate" && o.titles.at(5) == "Back door=2";
         }},
        {{"--title", long_title.c_str()},
         [](const SimOptions& o) { return o.titles.at(1).size() == 50; }},
        {{"--user", "admin", "--password", ""},
         [](const SimOptions& o) { return o.user_id == "admin" && o.password == ""; }},
        {{"--no-get-parameter", "--protocol-version", "4", "--keepalive-form", "36"},
         [](const SimOptions& o) {
             return !o.announce_get_parameter && o.protocol_version == 4 && o.keepalive_form == 36;
         }},
        {{"--split-writes", "5", "--split-pause-ms", "0", "--silent", "play"},
         [](const SimOptions& o) {
             return o.split_writes == 5 && o.split_pause_ms == 0 && o.silent_methods.count("PLAY");
         }},
        {{"--codec", "h265", "--no-audio", "--ssl-port", "8443", "--web-port", "8080"},
         [](const SimOptions& o) {
             return o.codec == VideoCodec::H265 && !o.audio && o.secure_web_port == 8443 &&
                    o.web_port == 8080;
         }},
        {{"--max-channel", "4", "--device-type", "200", "--oem-type", "2", "--user-rights", "255"},
         [](const SimOptions& o) {
             return o.max_channel == 4 && o.device_type == 200 && o.oem_type == 2 &&
                    o.user_rights == 255;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        SimOptions o;
        ParseOutcome out = parse(c.args, o);
        ASSERT_TRUE(out.ok) << out.error;
        EXPECT_TRUE(c.holds(o));
    }
}

TEST(SimOptionsTest, BadValuesAreRefusedWithTheFlagNamed) {
    const std::vector<std::vector<const char*>> cases = {
        {"--port", "65536"},
        {"--port", "12ab"},
        {"--port"},
        {"--keepalive-form", "40"},
        {"--login-result", "3"},
        {"--login-result", "3=-200"},
        {"--login-result", "300=-1"},
        {"--title", "Gate"},
        {"--codec", "mpeg2"},
        {"--no-audio=1"},
        {"--frobnicate"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front());
        SimOptions o;
        ParseOutcome out = parse(args, o);
        EXPECT_FALSE(out.ok);
        EXPECT_FALSE(out.help);
        EXPECT_NE(out.error.find(std::string(args.front()).substr(0, 6)), std::string::npos)
            << out.error;
    }
}

}  // namespace
}  // namespace zaq::sim
