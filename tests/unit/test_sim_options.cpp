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
        {{"--size", "320x240", "--fps", "25", "--gop", "50", "--bitrate", "800", "--loop-frames",
          "100", "--payload-size", "1200"},
         [](const SimOptions& o) {
             return o.width == 320 && o.height == 240 && o.fps == 25 && o.gop == 50 &&
                    o.bitrate_kbps == 800 && loopFrames(o) == 100 && o.payload_size == 1200;
         }},
        {{"--gop", "12"}, [](const SimOptions& o) { return o.media && loopFrames(o) == 12; }},
        {{"--dvr-time", "2026-12-11 08:30:00", "--no-media", "--dump-stream", "ch0.h264"},
         [](const SimOptions& o) {
             return o.dvr_time == 1796977800 && !o.media && o.dump_stream_path == "ch0.h264";
         }},
        {{"--seq-gap-every", "7", "--drop-after", "2.5", "--garbage-every=4"},
         [](const SimOptions& o) {
             return o.seq_gap_every == 7 && o.drop_after == std::chrono::milliseconds(2500) &&
                    o.garbage_every == 4;
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
        {"--size", "321x240"},
        {"--size", "320"},
        {"--size", "4000x240"},
        {"--fps", "0"},
        {"--payload-size", "50"},
        {"--dvr-time", "yesterday"},
        {"--drop-after", "0"},
        {"--drop-after", "-1"},
        {"--drop-after", "2s"},
        {"--seq-gap-every", "0"},
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

TEST(SimOptionsTest, DvrTimeIsReadAsUtc) {
    struct Case {
        const char* text;
        bool ok;
        int64_t seconds;
    };
    const Case cases[] = {
        {"1970-01-01 00:00:00", true, 0},
        {"2026-12-11 08:30:00", true, 1796977800},
        {"2026-12-11T08:30:00", true, 1796977800},
        {"1796977800", true, 1796977800},
        {"2024-02-29 12:00:00", true, 1709208000},
        {"2038-01-19 03:14:07", true, INT32_MAX},  // the last second a DVR time can hold
        {"2038-01-19 03:14:08", false, 0},
        {"2023-02-29 12:00:00", false, 0},
        {"2026-12-11 24:00:00", false, 0},
        {"2026-12-11 8:30:00", false, 0},
        {"2026-12-11 08:30:00Z", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t t = -1;
        ASSERT_EQ(parseDvrTime(c.text, t), c.ok);
        if (c.ok) EXPECT_EQ(t, c.seconds);
    }
}

}  // namespace
}  // namespace zaq::sim
