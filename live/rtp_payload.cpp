// The RTP payload assembler: turns the RTP packets of one video frame into an H.264 or H.265
// access unit in Annex B form (each NAL unit behind 00 00 00 01) and stores it in the slot's
// stream buffer. Single NAL unit packets and fragmentation units are understood; aggregation
// packets are skipped.
#include "live/rtp_payload.h"

#include <cstring>
#include <thread>

#include "live/LiveSession.h"
#include "live/nal_class.h"
#include "protocol/log.h"

namespace zaq {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr uint8_t kPayloadTypeH264 = 96;
constexpr uint8_t kPayloadTypeH265 = 98;

// Where the frame stands between fragmentation units.
enum FragmentState : int {
    FRAGMENT_MIDDLE = 0,    // a middle fragment was taken; the unit is still open
    FRAGMENT_READY = 64,    // no fragmented unit open
    FRAGMENT_STARTED = 128  // a start fragment was taken; the unit is open
};

// The fragmentation-unit layout of one codec.
struct FuLayout {
    size_t headerBytes;                           // payload bytes before the fragment data
    uint8_t (*fuHeader)(const uint8_t* payload);  // the byte with the S and E bits
    int (*rebuildHeader)(const uint8_t* payload, uint8_t* out);  // header of the whole unit
};
constexpr FuLayout kFuH264{kFuHeaderH264, fuHeaderH264, rebuildNalHeaderH264};
constexpr FuLayout kFuH265{kFuHeaderH265, fuHeaderH265, rebuildNalHeaderH265};

// The output area of one frame. Every write is checked against its capacity; a write that
// would not fit writes nothing and fails.
class AccessUnitWriter {
  public:
    explicit AccessUnitWriter(uint8_t* out) : m_out(out) {}
    size_t size() const { return m_size; }
    void restart() { m_size = 0; }

    bool append(const uint8_t* data, size_t n) {
        if (n > kAssemblyBytes - m_size) return false;
        if (n == 0) return true;
        std::memcpy(m_out + m_size, data, n);
        m_size += n;
        return true;
    }
    // Start code, then `header` (headerBytes) and `n` bytes of data, or nothing at all.
    bool appendNal(const uint8_t* header, size_t headerBytes, const uint8_t* data, size_t n) {
        if (sizeof kStartCode + headerBytes + n > kAssemblyBytes - m_size) return false;
        append(kStartCode, sizeof kStartCode);
        append(header, headerBytes);
        append(data, n);
        return true;
    }

  private:
    uint8_t* m_out;
    size_t m_size = 0;
};

}  // namespace

void assembleRtpFrame(int slot, uint8_t payloadType, std::atomic<uint8_t>& findSps,
                      const tPAYLOAD_BUFFER* list, int count, uint8_t* out,
                      const AccessUnitStore& store) {
    if (count < 1 || count > kMaxPayloadCount || !list || !out) return;
    const FuLayout& fu = payloadType == kPayloadTypeH265 ? kFuH265 : kFuH264;
    AccessUnitWriter au(out);
    int fragment = FRAGMENT_READY;
    // End of the last unit completed from fragments and not stored yet; 0 when none. A
    // completed fragmented slice does not end the frame: the frame is stored up to this point
    // after its last packet, so that a picture of several fragmented slices keeps all of them.
    size_t fragmentedEnd = 0;

    // The frame cannot be completed: nothing of it is stored, and fragmented frames wait for
    // the stream's next parameter set.
    auto breakOff = [&findSps] { findSps = 0; };

    for (int i = 0; i < count; ++i) {
        const tPAYLOAD_BUFFER& entry = list[i];
        // A packet must hold its RTP header and at least the NAL header byte.
        if (!entry.payload || entry.size <= kRtpHeaderBytes || entry.size > kPayloadAreaBytes) {
            return breakOff();
        }
        const uint8_t* nal = entry.payload.get() + kRtpHeaderBytes;
        const size_t length = entry.size - kRtpHeaderBytes;
        const int nalCls = nalClass(payloadType, nal[0]);
        bool fits = true;

        switch (nalCls) {
            case NAL_AGGREGATION:  // STAP-A: not taken apart, skipped
                break;

            case NAL_FRAGMENT: {  // FU-A (RFC 6184) or FU (RFC 7798)
                if (findSps == 0) return;
                if (length < fu.headerBytes) return breakOff();
                const uint8_t fuHeader = fu.fuHeader(nal);
                const uint8_t* data = nal + fu.headerBytes;
                const size_t dataBytes = length - fu.headerBytes;
                if (fuHeader & kFuStart) {
                    // A start while a unit is open means the open unit lost its end.
                    if (fragment != FRAGMENT_READY) return breakOff();
                    uint8_t header[2];
                    int headerBytes = fu.rebuildHeader(nal, header);
                    fits = au.appendNal(header, size_t(headerBytes), data, dataBytes);
                    fragment = FRAGMENT_STARTED;
                    break;
                }
                // A middle or end fragment without its start would be glued to the unit
                // before it.
                if (fragment == FRAGMENT_READY) return breakOff();
                fits = au.append(data, dataBytes);
                if (fuHeader & kFuEnd) {
                    fragment = FRAGMENT_READY;
                    fragmentedEnd = au.size();
                } else {
                    fragment = FRAGMENT_MIDDLE;
                }
                break;
            }

            case NAL_KEY_SLICE:
            case NAL_SLICE:
                // A whole slice in one packet closes an access unit of its own; an open
                // fragmented unit before it is left behind.
                if (length <= 3) {
                    zlog("payload_size [%d] < 4", int(length));
                    return breakOff();
                }
                fits = au.appendNal(nullptr, 0, nal, length);
                if (!fits) break;
                store(au.size(), fragmentedEnd > 0);
                au.restart();
                fragment = FRAGMENT_READY;
                fragmentedEnd = 0;
                break;

            default:  // parameter sets, SEI and other whole NAL units
                if (findSps == 0) {
                    bool streamStart = (nalCls == NAL_VPS && payloadType == kPayloadTypeH265) ||
                                       (nalCls == NAL_SPS && payloadType == kPayloadTypeH264);
                    if (!streamStart) break;
                    findSps = 1;
                }
                fits = au.appendNal(nullptr, 0, nal, length);
                break;
        }
        if (!fits) {
            zlog("[ ch:%d ] frame over %zu bytes dropped", slot, kAssemblyBytes);
            return breakOff();
        }
    }
    // Units after the last completed one (parameter sets, an unfinished fragment) are not stored.
    if (fragmentedEnd > 0) store(fragmentedEnd, true);
}

void LiveSession::rtpPayloadTProc2(int slot, tPAYLOAD_BUFFER* list, int count, uint8_t* out) {
    if (slot < 0 || slot >= kMaxSlots) return;
    const uint8_t payloadType = m_payload_type;
    assembleRtpFrame(
        slot, payloadType, m_find_sps[size_t(slot)], list, count, out,
        [&](size_t size, bool fragmented) {
            _STREAM_MGR mgr;
            mgr.size = int32_t(size);
            mgr.channel = slot;
            mgr.codec = payloadType == kPayloadTypeH265 ? 1 : 0;
            // A live session starts its renderer with the first fragmented frame if needed.
            if (fragmented && m_islive[0] != KIND_PLAYBACK && !isRenderThreadRunning()) {
                startRenderThread();
            }
            setVideoData(mgr, out);
            // The receive thread yields once per access unit so the decoders get the core.
            std::this_thread::yield();
        });
}

}  // namespace zaq
