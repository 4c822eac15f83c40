// The payload assembler: access units rebuilt from single NAL units, fragmentation units and
// parameter sets; the stream-start rule; broken frames; the bounds of the output area.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "live/rtp_payload.h"
#include "tests/support/rtp_session.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

using test::annexB;
using test::Bytes;
using test::fragments;
using test::nalUnit;
using namespace test::nal;

using Packets = std::vector<Bytes>;

// The payloads of one frame, from single units and lists of fragments.
Packets frame(std::initializer_list<Packets> parts) {
    Packets all;
    for (const Packets& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}
Packets fu264(const Bytes& nal, size_t pieces) {
    return fragments(nal, pieces, false);
}
Packets fu265(const Bytes& nal, size_t pieces) {
    return fragments(nal, pieces, true);
}
Packets pick(const Packets& p, std::initializer_list<size_t> which) {
    Packets out;
    for (size_t i : which) {
        out.push_back(p.at(i));
    }
    return out;
}

const Bytes kSliceA = kIdr264;
const Bytes kSliceB = nalUnit({0x65, 0xB8}, 2500, 9);  // the second slice of the same picture
// STAP-A carrying the SPS and the PPS.
const Bytes kStapA = [] {
    Bytes b = {24};
    for (const Bytes* n : {&kSps264, &kPps264}) {
        b.push_back(uint8_t(n->size() >> 8));
        b.push_back(uint8_t(n->size()));
        b.insert(b.end(), n->begin(), n->end());
    }
    return b;
}();

// One session slot fed frame by frame, as the receive loop does.
class AssemblerTest : public ::testing::Test {
  protected:
    static constexpr int kSlot = 2;

    // Every stored unit is read back, whether it starts a decodable stream or not.
    AssemblerTest() { session.m_bIFrame.fill(0); }

    // Queues the payloads as one frame's RTP packets (marker on the last) and assembles them.
    void assemble(uint8_t pt, const Packets& payloads) {
        std::vector<tPAYLOAD_BUFFER> list(payloads.size());
        for (size_t i = 0; i < payloads.size(); ++i) {
            Bytes pkt =
                test::rtpPacket(pt, uint16_t(i + 1), 9000, i + 1 == payloads.size(), payloads[i]);
            ASSERT_LE(pkt.size(), kPayloadAreaBytes);
            list[i].payload.reset(new uint8_t[kPayloadAreaBytes]);
            std::memcpy(list[i].payload.get(), pkt.data(), pkt.size());
            list[i].size = uint32_t(pkt.size());
        }
        session.m_payload_type = pt;
        session.rtpPayloadTProc2(kSlot, list.data(), int(list.size()), out.get());
    }

    test::RtpSession session;
    // Exactly the output area's size, so that a write past it is caught.
    std::unique_ptr<uint8_t[]> out{new uint8_t[kAssemblyBytes]};
};

struct FrameCase {
    const char* name;
    uint8_t pt;
    uint8_t findSpsBefore;
    std::vector<Packets> frames;
    std::vector<Bytes> units;  // access units stored, in order
    uint8_t findSpsAfter;
};
void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

class AssemblerFrames : public AssemblerTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(AssemblerFrames, StoresTheExpectedAccessUnits) {
    const FrameCase& c = GetParam();
    session.m_find_sps[kSlot] = c.findSpsBefore;
    for (const Packets& f : c.frames) {
        assemble(c.pt, f);
    }
    std::vector<int> codecs;
    std::vector<Bytes> units = session.takeUnits(kSlot, &codecs);
    ASSERT_EQ(units.size(), c.units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(units[i], c.units[i]) << "access unit " << i;
        EXPECT_EQ(codecs[i], c.pt == 98 ? 1 : 0);
    }
    EXPECT_EQ(session.m_find_sps[kSlot], c.findSpsAfter);
}

const std::vector<FrameCase> kFrameCases = {
    {"H264SingleNalUnits",
     96,
     0,
     {{kSps264, kPps264, kIdr264}},
     {annexB({kSps264, kPps264, kIdr264})},
     1},
    {"H264FuA",
     96,
     0,
     {frame({{kSps264, kPps264}, fu264(kIdr264, 3)})},
     {annexB({kSps264, kPps264, kIdr264})},
     1},
    {"H265Fu",
     98,
     0,
     {frame({{kVps265, kSps265, kPps265}, fu265(kIdr265, 3)})},
     {annexB({kVps265, kSps265, kPps265, kIdr265})},
     1},
    {"H264FragmentsWaitForSps",
     96,
     0,
     {frame({{kPps264}, fu264(kIdr264, 3)}), frame({{kSps264, kPps264}, fu264(kIdr264, 2)})},
     {annexB({kSps264, kPps264, kIdr264})},
     1},
    {"H265FragmentsWaitForVps",
     98,
     0,
     {frame({{kSps265, kPps265}, fu265(kIdr265, 3)}),
      frame({{kVps265, kSps265, kPps265}, fu265(kIdr265, 2)})},
     {annexB({kVps265, kSps265, kPps265, kIdr265})},
     1},
    {"SingleSliceStoredBeforeParameterSet", 96, 0, {{kP264}}, {annexB({kP264})}, 0},
    {"TwoSingleSlicesTwoUnits",
     96,
     1,
     {{kSps264, kPps264, kSliceA, kSliceB}},
     {annexB({kSps264, kPps264, kSliceA}), annexB({kSliceB})},
     1},
    {"TwoFragmentedSlicesOneUnit",
     96,
     1,
     {frame({{kSps264, kPps264}, fu264(kSliceA, 3), fu264(kSliceB, 2)})},
     {annexB({kSps264, kPps264, kSliceA, kSliceB})},
     1},
    {"FragmentedThenSingleSliceOneUnit",
     96,
     1,
     {frame({fu264(kSliceA, 2), {kSliceB}})},
     {annexB({kSliceA, kSliceB})},
     1},
    {"StartAfterMiddleDropsUntilSps",
     96,
     1,
     {frame({{kSps264, kPps264}, pick(fu264(kSliceA, 3), {0, 1}), fu264(kSliceB, 2)}),
      fu264(kP264, 2), frame({{kSps264, kPps264}, fu264(kIdr264, 2)})},
     {annexB({kSps264, kPps264, kIdr264})},
     1},
    {"StartAfterStartDrops",
     96,
     1,
     {frame({{kSps264, kPps264}, pick(fu264(kSliceA, 3), {0}), fu264(kSliceB, 2)})},
     {},
     0},
    {"ContinuationWithoutStartDrops",
     96,
     1,
     {frame({{kSps264, kPps264}, pick(fu264(kSliceA, 3), {1, 2})})},
     {},
     0},
    {"UnfinishedFragmentNotStored",
     96,
     1,
     {frame({{kSps264, kPps264}, pick(fu264(kSliceA, 3), {0, 1})})},
     {},
     1},
    {"UnitsAfterLastSliceNotStored",
     96,
     1,
     {frame({{kSps264, kPps264}, fu264(kIdr264, 2), {kSei264}})},
     {annexB({kSps264, kPps264, kIdr264})},
     1},
    {"AggregationPacketSkipped",
     96,
     0,
     {frame({{kSps264, kStapA, kPps264}, fu264(kIdr264, 2)})},
     {annexB({kSps264, kPps264, kIdr264})},
     1},
    {"ParameterSetsOnlyInAggregationNeverStart",
     96,
     0,
     {frame({{kStapA}, fu264(kIdr264, 2)})},
     {},
     0},
    {"OtherUnitAppendedOnceStarted",
     96,
     1,
     {{kSps264, kPps264, kAud264, kIdr264}},
     {annexB({kSps264, kPps264, kAud264, kIdr264})},
     1},
    {"ShortSliceDrops", 96, 1, {{kSps264, kPps264, {0x41, 0x9A, 0x01}}}, {}, 0},
    {"H264FuWithoutFuHeaderDrops", 96, 1, {{kSps264, kPps264, {0x7C}}}, {}, 0},
    {"H265FuWithoutFuHeaderDrops", 98, 1, {{kVps265, kSps265, kPps265, {0x62, 0x01}}}, {}, 0},
};

INSTANTIATE_TEST_SUITE_P(Frames, AssemblerFrames, ::testing::ValuesIn(kFrameCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AssemblerTest, ShortSliceIsLogged) {
    test::LogCapture log;
    assemble(96, {{0x41, 0x9A, 0x01}});
    EXPECT_TRUE(log.contains("payload_size [3] < 4"));
}

// Queue entries the receive loop could never have produced must not be read past.
struct EntryCase {
    const char* name;
    uint32_t size;
    bool area;
};
void PrintTo(const EntryCase& c, std::ostream* os) {
    *os << c.name;
}

class AssemblerEntries : public AssemblerTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(AssemblerEntries, BadEntryDropsTheFrame) {
    const EntryCase& c = GetParam();
    session.m_find_sps[kSlot] = 1;
    std::vector<tPAYLOAD_BUFFER> list(3);
    const Bytes units[3] = {kSps264, kP264, kIdr264};
    for (size_t i = 0; i < 3; ++i) {
        Bytes pkt = test::rtpPacket(96, uint16_t(i), 0, i == 2, units[i]);
        list[i].payload.reset(new uint8_t[kPayloadAreaBytes]);
        std::memcpy(list[i].payload.get(), pkt.data(), pkt.size());
        list[i].size = uint32_t(pkt.size());
    }
    list[1].size = c.size;
    if (!c.area) list[1].payload.reset();
    session.m_payload_type = 96;
    session.rtpPayloadTProc2(kSlot, list.data(), 3, out.get());
    EXPECT_TRUE(session.takeUnits(kSlot).empty());
    EXPECT_EQ(session.m_find_sps[kSlot], 0);
}

INSTANTIATE_TEST_SUITE_P(Entries, AssemblerEntries,
                         ::testing::Values(EntryCase{"NoDataArea", 412, false},
                                           EntryCase{"Empty", 0, true},
                                           EntryCase{"ShorterThanHeader", 11, true},
                                           EntryCase{"HeaderOnly", 12, true},
                                           EntryCase{"LargerThanArea", 65537, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A frame is stored only when all of it fits the 768 KiB output area.
struct SizeCase {
    const char* name;
    bool fragmented;
    size_t over;  // bytes beyond the output area
};
void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.name;
}

class AssemblerBounds : public AssemblerTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(AssemblerBounds, FrameFitsOrIsDropped) {
    const SizeCase& c = GetParam();
    session.m_find_sps[kSlot] = 1;
    constexpr size_t kPiece = 60000;
    // SPS unit, then the rest of the area in one big slice (start code and header included).
    size_t sliceBytes = kAssemblyBytes + c.over - (4 + kSps264.size()) - 4;
    Packets payloads = {kSps264};
    Bytes slice;
    if (c.fragmented) {
        slice = nalUnit({0x65}, sliceBytes - 1);
        size_t pieces = (slice.size() + kPiece - 1) / kPiece;
        Packets f = fu264(slice, pieces);
        payloads.insert(payloads.end(), f.begin(), f.end());
    } else {
        // Whole units: SEI units fill the area, a single-packet slice closes it.
        size_t rest = sliceBytes;
        while (rest > kPiece + 4 + 1000) {
            payloads.push_back(nalUnit({0x06}, kPiece - 1));
            rest -= kPiece + 4;
        }
        payloads.push_back(nalUnit({0x41}, rest - 1));
    }
    test::LogCapture log;
    assemble(96, payloads);
    std::vector<Bytes> units = session.takeUnits(kSlot);
    if (c.over == 0) {
        ASSERT_EQ(units.size(), 1u);
        EXPECT_EQ(units[0].size(), kAssemblyBytes);
        EXPECT_EQ(session.m_find_sps[kSlot], 1);
        if (c.fragmented) {
            EXPECT_EQ(units[0], annexB({kSps264, slice}));
        }
    } else {
        EXPECT_TRUE(units.empty());
        EXPECT_EQ(session.m_find_sps[kSlot], 0);
        EXPECT_TRUE(log.contains("[ ch:2 ] frame over 786432 bytes dropped"));
    }
}

INSTANTIATE_TEST_SUITE_P(Bounds, AssemblerBounds,
                         ::testing::Values(SizeCase{"FragmentedFillsArea", true, 0},
                                           SizeCase{"FragmentedOneByteOver", true, 1},
                                           SizeCase{"WholeUnitsFillArea", false, 0},
                                           SizeCase{"WholeUnitsOneByteOver", false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// The render thread is started by the first fragmented frame of a live session.
struct RenderCase {
    const char* name;
    int kind;  // session kind of slot 0
    bool fragmented;
    bool running;
    int starts;
};
void PrintTo(const RenderCase& c, std::ostream* os) {
    *os << c.name;
}

class AssemblerRender : public AssemblerTest, public ::testing::WithParamInterface<RenderCase> {};

TEST_P(AssemblerRender, StartsTheRendererWhenNeeded) {
    const RenderCase& c = GetParam();
    session.m_islive[0] = c.kind;
    session.renderRunning = c.running;
    session.m_find_sps[kSlot] = 1;
    assemble(96, c.fragmented ? fu264(kIdr264, 2) : Packets{kIdr264});
    EXPECT_EQ(session.takeUnits(kSlot).size(), 1u);
    EXPECT_EQ(session.renderStarts, c.starts);
}

INSTANTIATE_TEST_SUITE_P(
    Render, AssemblerRender,
    ::testing::Values(RenderCase{"LiveFragmented", KIND_LIVE, true, false, 1},
                      RenderCase{"LiveAlreadyRunning", KIND_LIVE, true, true, 0},
                      RenderCase{"LiveSingleNal", KIND_LIVE, false, false, 0},
                      RenderCase{"PlaybackFragmented", KIND_PLAYBACK, true, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zaq
