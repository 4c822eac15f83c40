// The per-frame backup handling: rebuilds a frame's access unit with the live assembler and
// writes it into the slot's AVI file, with the audio collected since the last flush before
// every other key frame, the empty chunks that keep the AVI time line, the progress message,
// and a trial decode that tells the picture size for the AVI headers.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <cstring>

#include "backup/BackupDialog.h"
#include "backup/backup_writer.h"
#include "live/nal_class.h"
#include "live/rtp_payload.h"
#include "protocol/log.h"

namespace zaq {
namespace {

constexpr uint8_t kPayloadTypeH265 = 98;
constexpr size_t kFrameBytes = 32u << 20;  // a frame longer than this is dropped
constexpr uint8_t kMuLawSilence = 0x7F;

int roundUp16(int v) {
    return (v % 16) == 0 ? v : v + 16 - v % 16;
}

}  // namespace

bool BackupDialog::lengthCheck(int slot, uint32_t length) {
    bool stop = false;
    bool full;
    {
        // The check may set cmd, which the composer reads under this lock.
        std::lock_guard<std::mutex> lock(m_sendLock[slot]);
        full = BackupDataLengthCheck(
            m_backupParam[slot], slot, length, [&stop](int) { stop = true; }, m_aviMaxSize);
    }
    if (stop) GET_PARAMETER(slot, ASK_BACKUP);
    return full;
}

void BackupDialog::flushAudio(int slot, bool fillWhenEmpty) {
    tBACKUP_PARAM& p = m_backupParam[slot];
    std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
    _STREAM_BUFFER& a = m_audioBuffer;
    if (!a.buffer) return;  // no audio has come in this session
    if (a.end == 0) {
        if (!fillWhenEmpty) return;
        a.end = int32_t(a.capacity);  // a whole block of silence
    }
    if (lengthCheck(slot, uint32_t(a.end))) {
        BackupStateMassege(BACKUP_STATE_FULL, slot, 0);
        a.end = 0;
        return;
    }
    p.Data_Offset = BackupDataWrite(p, slot, p.Data_Offset, uint32_t(a.end), 1, BACKUP_TYPE_AUDIO,
                                    a.buffer.get());
    std::memset(a.buffer.get(), kMuLawSilence, a.capacity);
    a.begin = a.end = 0;
}

void BackupDialog::appendAudio(int slot, const uint8_t* data, size_t length) {
    {
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        const _STREAM_BUFFER& a = m_audioBuffer;
        // More audio between two key-frame flushes than the block holds: write what is held
        // now rather than lose the rest.
        if (a.buffer && size_t(a.end) + length > a.capacity &&
            m_backupParam[slot].DataFile1.isOpen())
            flushAudio(slot, false);
    }
    _STREAM_MGR mgr;
    mgr.type = 1;
    mgr.size = int32_t(length);
    mgr.channel = slot;
    setAudioData(mgr, data);
}

void BackupDialog::writeVideo(int slot, const uint8_t* data, size_t length, bool key) {
    tBACKUP_PARAM& p = m_backupParam[slot];
    // Empty chunks first, so that the frame lands at its own time on the AVI time line.
    while (m_pendingMicros[slot] >= kAviFrameMicros) {
        if (lengthCheck(slot, 0)) {
            BackupStateMassege(BACKUP_STATE_FULL, slot, 0);
            return;
        }
        p.Data_Offset = BackupDataWrite(p, slot, p.Data_Offset, 0, 1, BACKUP_TYPE_VIDEO, nullptr);
        m_pendingMicros[slot] -= kAviFrameMicros;
    }
    if (lengthCheck(slot, uint32_t(length))) {
        BackupStateMassege(BACKUP_STATE_FULL, slot, 0);
        return;
    }
    p.Data_Offset = BackupDataWrite(p, slot, p.Data_Offset, uint32_t(length), key ? 0 : 1,
                                    BACKUP_TYPE_VIDEO, data);
    m_pendingMicros[slot] -= kAviFrameMicros;
    p.Total_I_Interval = m_pendingMicros[slot] > 0 ? uint32_t(m_pendingMicros[slot] / 1000) : 0;
}

void BackupDialog::rtpPayloadTProc2(int slot, tPAYLOAD_BUFFER* list, int count) {
    if (slot < 0 || slot >= kMaxSlots) return;
    const uint8_t payloadType = m_payload_type;
    const int codec = payloadType == kPayloadTypeH265 ? 1 : 0;
    if (m_unitArea.size() < kAssemblyBytes) m_unitArea.resize(kAssemblyBytes);
    uint8_t* unitArea = m_unitArea.data();
    // Every access unit the assembler completes, a whole slice in one packet as much as one
    // rebuilt from fragments, belongs to this frame.
    size_t frameBytes = 0;
    bool tooLong = false;
    if (m_frame.size() < kAssemblyBytes) m_frame.resize(kAssemblyBytes);
    assembleRtpFrame(slot, payloadType, m_find_sps[size_t(slot)], list, count, unitArea,
                     [&](size_t size, bool) {
                         if (tooLong || size > kFrameBytes - frameBytes) {
                             tooLong = true;
                             return;
                         }
                         if (m_frame.size() < frameBytes + size) m_frame.resize(frameBytes + size);
                         std::memcpy(m_frame.data() + frameBytes, unitArea, size);
                         frameBytes += size;
                     });
    if (tooLong) {
        zlog("[ ch:%d ] frame over %zu bytes dropped", slot, kFrameBytes);
        return;
    }
    if (frameBytes == 0) return;

    tBACKUP_PARAM& p = m_backupParam[slot];
    int key = 0;
    getCodecType(m_frame.data(), frameBytes, codec, &key);
    p.CODEC_Type = codec;

    if (key && (p.backup_IFrameCount % 2) == 0) flushAudio(slot, true);
    writeVideo(slot, m_frame.data(), frameBytes, key != 0);

    if (key) {
        const int64_t d = p.tv.tv_sec.load() - int64_t(p.begin_time);
        double value = double(d);
        if (d > 0) value = double(d) / double(p.total_time) * 100.0;
        if (!std::isfinite(value) || value < 0) value = 0;
        p.backup_IndicatorValue = value;
        BackupStateMassege(BACKUP_STATE_WORK, slot, int64_t(value));
        ++p.backup_IFrameCount;
    }
    if (p.AVI_width < 1 || p.AVI_height < 1) probeSize(slot, m_frame.data(), frameBytes, codec);
}

void BackupDialog::probeSize(int slot, const uint8_t* data, size_t length, int codec) {
    const AVCodec* decoder = avcodec_find_decoder(codec == 1 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!decoder) {
        if (codec == 1) zlog("rtpPayLoadTPro2:%d, avcodec2H265 == NULL, error!!!", slot);
        return;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(decoder);
    if (!ctx) {
        if (codec == 1) zlog("rtpPayLoadTPro2:%d, avctx2H265 == NULL, error!!!", slot);
        return;
    }
    ctx->width = 3840;
    ctx->height = 2160;
    ctx->skip_frame = AVDISCARD_DEFAULT;
    if (codec == 1) {
        ctx->workaround_bugs = 0;
        ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
        ctx->flags2 |= AV_CODEC_FLAG2_FAST;
        ctx->err_recognition = AV_EF_CAREFUL;
        ctx->error_concealment = FF_EC_GUESS_MVS | FF_EC_DEBLOCK;
        ctx->idct_algo = 0;
    } else {
        ctx->workaround_bugs = FF_BUG_AUTODETECT;
    }
    int opened;
    {
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        opened = avcodec_open2(ctx, decoder, nullptr);
    }
    if (opened < 0) {
        zlog("rtpPayLoadTPro2:%d, avcodec_open(), error!!!", slot);
        avcodec_free_context(&ctx);
        return;
    }
    AVFrame* picture = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    // The decoder reads past the end of its input: hand it a padded copy.
    std::vector<uint8_t> padded(length + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), data, length);
    if (picture && pkt) {
        pkt->data = padded.data();
        pkt->size = int(length);
        bool got = false;
        if (avcodec_send_packet(ctx, pkt) >= 0) {
            got = avcodec_receive_frame(ctx, picture) >= 0;
            if (!got && avcodec_send_packet(ctx, nullptr) >= 0)
                got = avcodec_receive_frame(ctx, picture) >= 0;
        }
        if (got && ctx->width > 0 && ctx->height > 0) {
            tBACKUP_PARAM& p = m_backupParam[slot];
            p.AVI_width = roundUp16(ctx->width);
            p.AVI_height = roundUp16(ctx->height);
            zlog("ch[%02d org[%d=%d] correction[%d=%d]", slot, ctx->width, ctx->height, p.AVI_width,
                 p.AVI_height);
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&picture);
    {
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        avcodec_free_context(&ctx);
    }
}

}  // namespace zaq
