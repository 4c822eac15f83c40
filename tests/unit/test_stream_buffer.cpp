// Stream buffers: order, the key-frame rule, overflow and the audio paths.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/StreamObject.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

struct Buffers : StreamObject {
    std::vector<std::vector<uint8_t>> played;
    void playAudioData(const uint8_t* data, int length) override {
        played.emplace_back(data, data + length);
    }
    void store(int slot, const std::vector<uint8_t>& au, int codec = 0) {
        _STREAM_MGR m;
        m.size = int32_t(au.size());
        m.channel = slot;
        m.codec = codec;
        setVideoData(m, au.data());
    }
    int take(int slot, std::vector<uint8_t>& out, _STREAM_MGR* mgr = nullptr) {
        _STREAM_MGR m;
        m.channel = slot;
        int rc = getVideoData(m, out);
        if (rc == 0) out.resize(size_t(m.size));
        if (mgr) *mgr = m;
        return rc;
    }
};

std::vector<uint8_t> au(std::initializer_list<uint8_t> head, size_t size = 16) {
    std::vector<uint8_t> v(head);
    v.resize(std::max(size, v.size()), 0xAB);
    return v;
}

const auto kSps264 = au({0, 0, 0, 1, 0x67});
const auto kP264 = au({0, 0, 0, 1, 0x41});  // NRI 2 non-IDR slice
const auto kVps265 = au({0, 0, 0, 1, 0x40, 0x01});
const auto kTrail265 = au({0, 0, 0, 1, 0x02, 0x01});

TEST(StreamBuffer, TakeOnEmptySlotAndFirstStoreAllocates) {
    test::LogCapture log;
    Buffers b;
    std::vector<uint8_t> out;
    EXPECT_EQ(b.take(2, out), -1);
    b.store(2, kSps264);
    EXPECT_TRUE(log.contains("m_stBuffer[ 02 ]->buffer Malloc"));
}

TEST(StreamBuffer, ThreeStoresComeOutInOrderWithTheirHeaders) {
    Buffers b;
    b.m_bIFrame[1] = 0;
    std::vector<std::vector<uint8_t>> units = {au({0, 0, 0, 1, 0x41}, 10), au({0, 0, 0, 1, 0x41}, 200),
                                               au({0, 0, 0, 1, 0x41}, 33)};
    for (int i = 0; i < 3; ++i) b.store(1, units[size_t(i)], i == 1);
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> out;
        _STREAM_MGR m;
        ASSERT_EQ(b.take(1, out, &m), 0);
        EXPECT_EQ(out, units[size_t(i)]);
        EXPECT_EQ(m.codec, i == 1);
        EXPECT_EQ(m.channel, 1);
    }
    std::vector<uint8_t> out;
    EXPECT_EQ(b.take(1, out), -1);
}

// The decoder starts only at a parameter set of the stream's own codec. An H.264 P-slice with
// NRI 2 (0x41) passes the H.265 test and must not count as a key frame.
struct KeyCase {
    const char* name;
    int codec;
    std::vector<uint8_t> waiting, key;
};

class KeyFrameWait : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyFrameWait, DropsUntilKeyFrame) {
    const KeyCase& c = GetParam();
    Buffers b;
    b.store(0, c.waiting, c.codec);
    b.store(0, c.waiting, c.codec);
    b.store(0, c.key, c.codec);
    b.store(0, c.waiting, c.codec);
    std::vector<uint8_t> out;
    EXPECT_EQ(b.take(0, out), -1);
    EXPECT_EQ(b.take(0, out), -1);
    EXPECT_EQ(b.m_bIFrame[0], 1);
    EXPECT_EQ(b.take(0, out), 0);
    EXPECT_EQ(out, c.key);
    EXPECT_EQ(b.m_bIFrame[0], 0);
    EXPECT_EQ(b.take(0, out), 0);  // after the key frame everything passes
}

INSTANTIATE_TEST_SUITE_P(Codecs, KeyFrameWait,
                         ::testing::Values(KeyCase{"H264", 0, kP264, kSps264},
                                           KeyCase{"H265", 1, kTrail265, kVps265}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(StreamBuffer, CodecTypeTable) {
    struct Row {
        std::vector<uint8_t> bytes;
        int codec, result, key;
    } rows[] = {
        {{0, 0, 0, 1, 0x67}, 0, 2, 1},        {{0, 0, 0, 1, 0x06}, 0, 2, 1},
        {{0, 0, 0, 1, 0x41}, 0, 2, 0},        {{0, 0, 0, 1, 0x40}, 1, 2, 1},
        {{0, 0, 0, 1, 0x42}, 1, 2, 1},        {{0, 0, 0, 1, 0x26}, 1, 2, 0},
        {{0, 0, 1, 0xB0}, 0, 0, 1},           {{0, 0, 1, 0xB6}, 0, 0, 0},
        {{0, 0, 1, 0xB3}, 0, 0, 0},           {{1, 2, 3, 4, 5}, 0, -1, 7},
        {{0, 0, 0, 1}, 0, -1, 7},
    };
    for (const Row& r : rows) {
        int key = 7;
        EXPECT_EQ(StreamObject::getCodecType(r.bytes.data(), r.bytes.size(), r.codec, &key), r.result);
        EXPECT_EQ(key, r.key);
    }
}

TEST(StreamBuffer, OverflowPast24MiBEmptiesSlotAndWaitsForKeyFrame) {
    Buffers b;
    b.m_bIFrame[3] = 0;
    std::vector<uint8_t> big = au({0, 0, 0, 1, 0x41}, 700 * 1024);
    for (int i = 0; i < 40; ++i) b.store(3, big);  // the 36th store passes 24 MiB
    EXPECT_EQ(b.m_bIFrame[3], 1);
    std::vector<uint8_t> out;
    int taken = 0;
    while (b.take(3, out) == 0) ++taken;
    EXPECT_EQ(taken, 0);
    // Slots are independent.
    EXPECT_EQ(b.m_bIFrame[4], 1);
}

TEST(StreamBuffer, LargeAccessUnitGrowsTheDestination) {
    Buffers b;
    std::vector<uint8_t> huge = au({0, 0, 0, 1, 0x67}, 900 * 1024);
    b.store(0, huge);
    std::vector<uint8_t> out(512 * 1024);
    EXPECT_EQ(b.take(0, out), 0);
    EXPECT_EQ(out, huge);
}

TEST(StreamBuffer, LiveAudioAlwaysPlaysAndHistoryStartsOver) {
    Buffers b;
    b.m_islive[0] = KIND_LIVE;
    std::vector<uint8_t> packet(160, 0x55);
    _STREAM_MGR m;
    m.type = 1;
    m.size = 160;
    for (int i = 0; i < 12; ++i) b.setAudioData(m, packet.data());
    EXPECT_EQ(b.played.size(), 12u);
    EXPECT_EQ(b.played.back(), packet);
    // The eighth 200-byte record passes 1536 and the history starts over.
    EXPECT_EQ(b.m_audioBuffer.end, 4 * 200);
}

TEST(StreamBuffer, BackupAudioPilesUpWithoutHeadersAndNeverPassesItsBlock) {
    test::LogCapture log;
    Buffers b;
    b.m_islive[2] = KIND_BACKUP;
    std::vector<uint8_t> packet(1000, 0x11);
    _STREAM_MGR m;
    m.channel = 2;
    m.size = 1000;
    b.setAudioData(m, packet.data());
    EXPECT_TRUE(log.contains("audioBuffer CLEAR[02]"));
    EXPECT_EQ(b.m_audioBuffer.end, 1000);
    EXPECT_EQ(b.m_audioBuffer.buffer[1000], 0x7F);  // the rest of the block is silence
    for (int i = 0; i < 30; ++i) b.setAudioData(m, packet.data());
    EXPECT_EQ(b.m_audioBuffer.end, 24000);
    EXPECT_TRUE(b.played.empty());
}

}  // namespace
}  // namespace zaq
