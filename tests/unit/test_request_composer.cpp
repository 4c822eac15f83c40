// Byte-exact requests: request lines, header order, CSeq, and the command block of each code.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "protocol/StreamObject.h"
#include "protocol/wire.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

const std::string kUA = "User-Agent: ZAQ client by network team\r\n";

struct Engine : StreamObject {
    test::SocketPair pair;
    explicit Engine(int slot = 3) {
        copyText(m_dvr_addr, "10.1.2.3");
        m_dvr_port = 5445;
        copyText(m_session[0], "12345");
        for (int s = 0; s < kMaxSlots; ++s) {
            m_ch[s] = s;
            m_islive[s] = KIND_LIVE;
            m_bLogin[s] = 1;
            m_device[s] = 1;
            m_rtsp_seq[s] = 41;
        }
        m_socks[slot] = pair.a;
    }
};

struct TextCase {
    const char* name;
    std::function<void(Engine&)> prepare;
    std::function<int(Engine&)> send;
    std::string expected;
    int expectedLastCommand;
};

class RequestText : public ::testing::TestWithParam<TextCase> {};

TEST_P(RequestText, ComposesExactBytes) {
    const TextCase& c = GetParam();
    Engine e;
    c.prepare(e);
    ASSERT_EQ(c.send(e), 0);
    EXPECT_EQ(e.pair.drain(), c.expected);
    EXPECT_EQ(e.m_last_command[3], c.expectedLastCommand);
    EXPECT_EQ(e.m_rtsp_seq[3], 42u);
}

auto nothing = [](Engine&) {};

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestText,
    ::testing::Values(
        TextCase{"Options", nothing, [](Engine& e) { return e.OPTION(3); },
                 "OPTIONS rtsp://10.1.2.3 RTSP/1.0\r\nCSeq: 42\r\n" + kUA + "\r\n", CMD_OPTIONS},
        TextCase{"DescribeChannelForm", nothing, [](Engine& e) { return e.DESCRIBE(3); },
                 "DESCRIBE rtsp://10.1.2.3/Live/Channel=3 RTSP/1.0\r\nCSeq: 42\r\n"
                 "Accept: application/sdp\r\n" + kUA + "\r\n",
                 CMD_DESCRIBE},
        TextCase{"DescribeWithoutDeviceAsksChannel0", [](Engine& e) { e.m_device[3] = 0; },
                 [](Engine& e) { return e.DESCRIBE(3); },
                 "DESCRIBE rtsp://10.1.2.3/Live/Channel=0 RTSP/1.0\r\nCSeq: 42\r\n"
                 "Accept: application/sdp\r\n" + kUA + "\r\n",
                 CMD_DESCRIBE},
        // Only a login flag of exactly 1 picks the channel form for DESCRIBE.
        TextCase{"DescribeLoginFlag2UsesPortForm", [](Engine& e) { e.m_bLogin[3] = 2; },
                 [](Engine& e) { return e.DESCRIBE(3); },
                 "DESCRIBE rtsp://10.1.2.3:5445 RTSP/1.0\r\nCSeq: 42\r\n"
                 "Accept: application/sdp\r\n" + kUA + "\r\n",
                 CMD_DESCRIBE},
        TextCase{"SetupVideo", [](Engine& e) { copyText(e.m_sdp[3].control[0], "trackvideo1"); },
                 [](Engine& e) { return e.SETUP(3); },
                 "SETUP rtsp://10.1.2.3:5445/trackvideo1 RTSP/1.0\r\nCSeq: 42\r\n"
                 "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" + kUA + "\r\n",
                 CMD_SETUP},
        TextCase{"SetupAudio", [](Engine& e) { copyText(e.m_sdp[3].control[0], "audio"); },
                 [](Engine& e) { return e.SETUP(3); },
                 "SETUP rtsp://10.1.2.3:5445/audio RTSP/1.0\r\nCSeq: 42\r\n"
                 "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n" + kUA + "\r\n",
                 CMD_SETUP},
        TextCase{"PlayLiveChannelForm", nothing, [](Engine& e) { return e.PLAY(3); },
                 "PLAY rtsp://10.1.2.3/Live/Channel=3 RTSP/1.0\r\nCSeq: 42\r\nSession: 12345\r\n"
                 "Range: npt=0.000-\r\n" + kUA + "\r\n",
                 CMD_PLAY},
        TextCase{"PlayPlaybackLoginFlag2", [](Engine& e) {
                     e.m_bLogin[3] = 2;
                     e.m_islive[3] = KIND_PLAYBACK;
                 },
                 [](Engine& e) { return e.PLAY(3); },
                 "PLAY rtsp://10.1.2.3/Playback/Channel=3 RTSP/1.0\r\nCSeq: 42\r\n"
                 "Session: 12345\r\nRange: clock=20000105T001500Z-20000123T181343Z\r\n" + kUA + "\r\n",
                 CMD_PLAY},
        TextCase{"PlayNoLogin", [](Engine& e) { e.m_bLogin[3] = 0; },
                 [](Engine& e) { return e.PLAY(3); },
                 "PLAY rtsp://10.1.2.3:5445 RTSP/1.0\r\nCSeq: 42\r\nSession: 12345\r\n"
                 "Range: npt=0.000-\r\n" + kUA + "\r\n",
                 CMD_PLAY},
        TextCase{"PlayNoDevice", [](Engine& e) { e.m_device[3] = 0; },
                 [](Engine& e) { return e.PLAY(3); },
                 "PLAY rtsp://10.1.2.3 RTSP/1.0\r\nCSeq: 42\r\nSession: 12345\r\n"
                 "Range: npt=0.000-\r\n" + kUA + "\r\n",
                 CMD_PLAY},
        TextCase{"PlainGetParameter", nothing, [](Engine& e) { return e.GET_PARAMETER(3, 0); },
                 "GET_PARAMETER rtsp://10.1.2.3/Live/Channel=3 RTSP/1.0\r\nCSeq: 42\r\n"
                 "Session: 12345\r\n" + kUA + "\r\n",
                 CMD_GET_PARAMETER},
        TextCase{"GetParameterBackupNoLogin", [](Engine& e) {
                     e.m_bLogin[3] = 0;
                     e.m_islive[3] = KIND_BACKUP;
                 },
                 [](Engine& e) { return e.GET_PARAMETER(3, 0); },
                 "GET_PARAMETER rtsp://10.1.2.3:5445 RTSP/1.0\r\nCSeq: 42\r\nSession: 12345\r\n" +
                     kUA + "\r\n",
                 CMD_GET_PARAMETER},
        // An unknown code still names a Content-Length, of 0, and carries no block.
        TextCase{"UnknownCode17", nothing, [](Engine& e) { return e.GET_PARAMETER(3, 17); },
                 "GET_PARAMETER rtsp://10.1.2.3/Live/Channel=3 RTSP/1.0\r\nCSeq: 42\r\n"
                 "Content-Type: text/parameters\r\nSession: 12345\r\nContent-Length: 0\r\n\r\n",
                 CMD_GET_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Command blocks

struct BlockCase {
    const char* name;
    int code;
    int protVersion;
    std::function<void(Engine&)> prepare;
    int length;
    int byte9, byte10;
    std::vector<std::pair<int, int>> payload;  // offset, value (others must be zero)
};

class CommandBlock : public ::testing::TestWithParam<BlockCase> {};

TEST_P(CommandBlock, LaysOutHeaderAndPayload) {
    const BlockCase& c = GetParam();
    Engine e;
    e.m_protVersion = c.protVersion;
    c.prepare(e);
    ASSERT_EQ(e.GET_PARAMETER(3, c.code), 0);
    std::string sent = e.pair.drain();
    std::string header = "GET_PARAMETER rtsp://10.1.2.3/Live/Channel=3 RTSP/1.0\r\nCSeq: 42\r\n"
                         "Content-Type: text/parameters\r\nSession: 12345\r\nContent-Length: " +
                         std::to_string(c.length) + "\r\n\r\n";
    ASSERT_EQ(sent.size(), header.size() + size_t(c.length));
    EXPECT_EQ(sent.substr(0, header.size()), header);
    const auto* b = reinterpret_cast<const uint8_t*>(sent.data() + header.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), 4), "ZAQC");
    EXPECT_EQ(wire::rdLE32(b + 4), uint32_t(c.length));
    EXPECT_EQ(b[8], c.code);
    EXPECT_EQ(b[9], c.byte9);
    EXPECT_EQ(b[10], c.byte10);
    EXPECT_EQ(b[11], 0);
    EXPECT_EQ(wire::rdLE32(b + 12), 12345u);
    std::vector<int> expected(size_t(c.length), 0);
    for (auto& [off, v] : c.payload) expected[size_t(off)] = v;
    for (int i = 16; i < c.length; ++i) EXPECT_EQ(b[i], expected[size_t(i)]) << "offset " << i;
}

std::vector<std::pair<int, int>> textAt(int offset, const std::string& s) {
    std::vector<std::pair<int, int>> v;
    for (size_t i = 0; i < s.size(); ++i) v.push_back({offset + int(i), uint8_t(s[i])});
    return v;
}

std::vector<std::pair<int, int>> concat(std::vector<std::pair<int, int>> a,
                                        const std::vector<std::pair<int, int>>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

auto loginAs(const char* id, const char* pwd) {
    return [=](Engine& e) {
        copyText(e.m_dvr_id, id);
        copyText(e.m_dvr_pwd, pwd);
    };
}

auto search = [](Engine& e) {
    e.m_searchParam[3].begin_time = 0x01020304;
    e.m_searchParam[3].end_time = 0x0A0B0C0D;
    e.m_searchParam[3].cmd = 7;
    e.m_searchParam[3].avi_backup = 1;
    e.m_searchParam[3].tv.tv_sec = 999;  // never sent
    e.m_searchParam2[3] = {0x01020304, 0x0A0B0C0D, 7, 1, 1, 0, 0x8001};
};
const std::vector<std::pair<int, int>> kSearch7 = {{16, 4}, {17, 3}, {18, 2}, {19, 1}, {20, 0x0D},
                                                   {21, 0x0C}, {22, 0x0B}, {23, 0x0A}, {24, 7}, {26, 1}};
const std::vector<std::pair<int, int>> kSearch8 = {
    {16, 4}, {17, 3}, {18, 2}, {19, 1}, {20, 0x0D}, {21, 0x0C}, {22, 0x0B}, {23, 0x0A},
    {24, 7}, {25, 1}, {26, 1}, {28, 0x01}, {29, 0x80}};

INSTANTIATE_TEST_SUITE_P(
    Codes, CommandBlock,
    ::testing::Values(
        BlockCase{"Login", ASK_LOGIN, 8, loginAs("usher", "7394"), 56, 1, 8,
                  concat(textAt(16, "usher"), textAt(36, "7394"))},
        // Exactly 20 characters go out without a terminator; longer ones are cut to 20.
        BlockCase{"Login20CharsAndLonger", ASK_LOGIN, 8,
                  loginAs("abcdefghijklmnopqrst", "0123456789abcdefghijXYZ"), 56, 1, 8,
                  concat(textAt(16, "abcdefghijklmnopqrst"), textAt(36, "0123456789abcdefghij"))},
        BlockCase{"KeepAliveUnknownVersion", ASK_KEEPALIVE, -1, nothing, 16, 1, 2, {}},
        BlockCase{"KeepAliveV4", ASK_KEEPALIVE, 4, nothing, 16, 1, 2, {}},
        BlockCase{"KeepAliveV5", ASK_KEEPALIVE, 5, nothing, 16, 1, 5, {}},
        BlockCase{"LiveTransferUnknownVersion", ASK_LIVETRANSFER, -1,
                  [](Engine& e) { e.m_liveParam[3].video = 1; }, 20, 1, 0xFF, {{16, 1}}},
        BlockCase{"SearchUnknownVersion", ASK_SEARCHTRANSFER, -1, search, 28, 1, 1, kSearch7},
        BlockCase{"SearchV4", ASK_SEARCHTRANSFER, 4, search, 28, 1, 1, kSearch7},
        BlockCase{"SearchV5", ASK_SEARCHTRANSFER, 5, search, 28, 1, 5, kSearch7},
        BlockCase{"SearchV7", ASK_SEARCHTRANSFER, 7, search, 28, 1, 7, kSearch7},
        BlockCase{"SearchV8", ASK_SEARCHTRANSFER, 8, search, 36, 1, 8, kSearch8},
        BlockCase{"LogDate", ASK_LOGDATE, 8, [](Engine& e) { e.m_logdateParam[3].month = 0x11223344; },
                  20, 1, 8, {{16, 0x44}, {17, 0x33}, {18, 0x22}, {19, 0x11}}},
        BlockCase{"LogInfoByte9Is2", ASK_LOGINFO, 8, [](Engine& e) { e.m_loginfoParam[3].day = 258; },
                  20, 2, 8, {{16, 2}, {17, 1}}},
        BlockCase{"Ptz", ASK_PTZCONTROL, 8, [](Engine& e) { e.m_ptzParam[3] = {-3, 1, {9, 9}}; },
                  20, 1, 8, {{16, 0xFD}, {17, 1}}},
        BlockCase{"Backup", ASK_BACKUP, 8,
                  [](Engine& e) {
                      e.m_backupParam[3].begin_time = 0x100;
                      e.m_backupParam[3].end_time = 0x200;
                      e.m_backupParam[3].cmd = 0x1234;
                      e.m_backupParam[3].connection_id = 0x55;
                  },
                  32, 1, 8,
                  {{17, 1}, {21, 2}, {24, 0x55}, {28, 0x34}}},
        BlockCase{"AlarmOut", ASK_ALARMOUT, 8, [](Engine& e) { e.m_alarmParam[3] = {4, 1, {7, 7}}; },
                  20, 1, 8, {{16, 4}, {17, 1}}},
        BlockCase{"AudioTransfer", ASK_AUDIOTRANSFER, 8,
                  [](Engine& e) { e.m_liveParam[3] = {1, 1, 0, 0}; }, 20, 1, 8, {{16, 1}}},
        BlockCase{"ChannelName", ASK_CHANNELNAME, 8, nothing, 16, 1, 8, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestRules, EverySlotCarriesSlot0Session) {
    Engine e(5);
    copyText(e.m_session[0], "777");
    copyText(e.m_session[5], "999");
    ASSERT_EQ(e.GET_PARAMETER(5, ASK_KEEPALIVE), 0);
    std::string sent = e.pair.drain();
    EXPECT_NE(sent.find("Session: 777\r\n"), std::string::npos);
    EXPECT_EQ(wire::rdLE32(reinterpret_cast<const uint8_t*>(sent.data() + sent.size() - 4)), 777u);
}

TEST(RequestRules, RequestThatWouldNotFitIsRefusedWithoutWriting) {
    // OPTIONS is 78 bytes plus the address; the 260-byte buffer keeps a terminator.
    Engine e;
    copyText(e.m_dvr_addr, std::string(181, 'a').c_str());
    EXPECT_EQ(e.OPTION(3), 0);
    EXPECT_EQ(e.pair.drain().size(), 259u);
    copyText(e.m_dvr_addr, std::string(182, 'a').c_str());
    EXPECT_EQ(e.OPTION(3), -1);
    EXPECT_EQ(e.m_last_command[3], CMD_NONE);
    // A login block that would pass the buffer's end is refused as a whole.
    copyText(e.m_dvr_addr, std::string(150, 'a').c_str());
    EXPECT_EQ(e.GET_PARAMETER(3, ASK_LOGIN), -1);
    EXPECT_EQ(e.pair.drain(std::chrono::milliseconds(50)), "");
}

TEST(RequestRules, SendAfterFailureTouchesNothing) {
    Engine e;
    e.m_last_errno = -3;
    EXPECT_EQ(e.GET_PARAMETER(3, ASK_KEEPALIVE), -2);
    EXPECT_EQ(e.pair.drain(std::chrono::milliseconds(50)), "");
    EXPECT_EQ(e.m_last_command[3], CMD_NONE);  // left as it was
    EXPECT_EQ(e.tcpSend(-1, reinterpret_cast<const uint8_t*>("x"), 1), -2);
}

TEST(RequestRules, SendOnBrokenConnectionFailsTheSession) {
    Engine e;
    e.pair.closeB();
    EXPECT_EQ(e.GET_PARAMETER(3, ASK_KEEPALIVE), -2);
    EXPECT_EQ(e.m_last_errno, -2);
    EXPECT_EQ(e.OPTION(3), -1);
    EXPECT_EQ(e.m_last_command[3], CMD_NONE);
}

}  // namespace
}  // namespace zaq
