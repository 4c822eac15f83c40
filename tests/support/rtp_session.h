// A live session without a window for the payload assembler and receive-loop tests, and the
// byte builders for NAL units, RTP packets and interleaved units.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "live/LiveSession.h"
#include "live/MainQueue.h"
#include "live/nal_class.h"
#include "protocol/wire.h"

namespace zaq::test {

using Bytes = std::vector<uint8_t>;

struct LoopHolder {
    HeadlessLoop loop;
};

// Records render-thread starts and played audio; reads stored access units back.
class RtpSession : private LoopHolder, public LiveSession {
  public:
    RtpSession() : LiveSession(loop) {}
    ~RtpSession() override { stopSessionThreads(); }

    // Takes every access unit stored for the slot so far, oldest first; their codec fields
    // go to `codecs` when given.
    std::vector<Bytes> takeUnits(int slot, std::vector<int>* codecs = nullptr) {
        std::vector<Bytes> units;
        for (;;) {
            _STREAM_MGR mgr;
            mgr.channel = slot;
            Bytes au;
            if (getVideoData(mgr, au) != 0) break;
            au.resize(size_t(mgr.size));
            EXPECT_EQ(mgr.channel, slot);
            units.push_back(std::move(au));
            if (codecs) codecs->push_back(mgr.codec);
        }
        return units;
    }

    std::vector<Bytes> audioPackets() const {
        std::lock_guard<std::mutex> lock(m_audioLock);
        return m_audio;
    }

    using LiveSession::resetSession;

    std::atomic<int> renderStarts{0};
    std::atomic<bool> renderRunning{false};

  protected:
    bool isRenderThreadRunning() const override { return renderRunning; }
    void startRenderThread() override {
        ++renderStarts;
        renderRunning = true;
    }
    void stopRenderThread() override { renderRunning = false; }
    void playAudioData(const uint8_t* data, int length) override {
        std::lock_guard<std::mutex> lock(m_audioLock);
        m_audio.emplace_back(data, data + length);
    }

  private:
    mutable std::mutex m_audioLock;
    std::vector<Bytes> m_audio;  // --- Protected by m_audioLock
};

// A NAL unit: its header byte(s), then `size` bytes of a pattern that never forms a start code.
inline Bytes nalUnit(std::initializer_list<uint8_t> header, size_t size, uint8_t seed = 1) {
    Bytes n(header);
    for (size_t i = 0; i < size; ++i) {
        n.push_back(uint8_t(0x10 + (i * 7 + seed) % 0xE0));
    }
    return n;
}

// The units behind 00 00 00 01 each, as the assembler writes them.
inline Bytes annexB(const std::vector<Bytes>& nals) {
    Bytes out;
    for (const Bytes& n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}
inline Bytes annexB(std::initializer_list<Bytes> nals) {
    return annexB(std::vector<Bytes>(nals));
}

// The payloads of `nal` cut into `pieces` fragmentation units (H.264 FU-A or H.265 FU).
inline std::vector<Bytes> fragments(const Bytes& nal, size_t pieces, bool h265) {
    size_t headerBytes = h265 ? 2 : 1;
    size_t data = nal.size() - headerBytes;
    std::vector<Bytes> out;
    for (size_t i = 0; i < pieces; ++i) {
        size_t from = headerBytes + data * i / pieces, to = headerBytes + data * (i + 1) / pieces;
        uint8_t se = uint8_t((i == 0 ? kFuStart : 0) | (i + 1 == pieces ? kFuEnd : 0));
        Bytes p;
        if (h265) {
            p = {uint8_t((nal[0] & 0x81) | (49 << 1)), nal[1],
                 uint8_t(se | ((nal[0] >> 1) & 0x3F))};
        } else {
            p = {uint8_t((nal[0] & 0xE0) | 28), uint8_t(se | (nal[0] & 0x1F))};
        }
        p.insert(p.end(), nal.begin() + long(from), nal.begin() + long(to));
        out.push_back(std::move(p));
    }
    return out;
}

// An RTP packet: version 2, marker, payload type, sequence number, timestamp, SSRC 0x5A51.
inline Bytes rtpPacket(uint8_t pt, uint16_t seq, uint32_t ts, bool marker, const Bytes& payload) {
    Bytes p(12, 0);
    p[0] = 0x80;
    p[1] = uint8_t((marker ? 0x80 : 0) | (pt & 0x7F));
    wire::wrBE16(&p[2], seq);
    wire::wrBE32(&p[4], ts);
    wire::wrBE32(&p[8], 0x5A51);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

// '$', channel, 16-bit length, then the packet.
inline Bytes interleaved(uint8_t channel, const Bytes& packet) {
    Bytes u = {'$', channel, 0, 0};
    wire::wrBE16(&u[2], uint16_t(packet.size()));
    u.insert(u.end(), packet.begin(), packet.end());
    return u;
}

// H.264 and H.265 units used across the tests.
namespace nal {
inline const Bytes kSps264 = nalUnit({0x67, 0x42, 0x00, 0x1E}, 8);
inline const Bytes kPps264 = nalUnit({0x68, 0xCE}, 4);
inline const Bytes kSei264 = nalUnit({0x06, 0x05}, 20);
inline const Bytes kIdr264 = nalUnit({0x65, 0x88}, 3000, 3);
inline const Bytes kP264 = nalUnit({0x41, 0x9A}, 400, 5);
inline const Bytes kAud264 = {0x09, 0xF0};
inline const Bytes kVps265 = nalUnit({0x40, 0x01}, 20);
inline const Bytes kSps265 = nalUnit({0x42, 0x01}, 30);
inline const Bytes kPps265 = nalUnit({0x44, 0x01}, 6);
inline const Bytes kIdr265 = nalUnit({0x26, 0x01}, 3000, 3);
inline const Bytes kTrail265 = nalUnit({0x02, 0x01}, 400, 5);
inline const Bytes kCra265 = nalUnit({0x2A, 0x01}, 100);
}  // namespace nal

}  // namespace zaq::test
