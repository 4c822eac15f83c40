#include "sim/command_block.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

#include "protocol/records.h"
#include "protocol/wire.h"

namespace zaq::sim {

uint32_t BlockView::le32(size_t off) const {
    return wire::le32At(data, size, off);
}

bool BlockView::hasMagic() const {
    return size > 8 && std::memcmp(data, "ZAQC", 4) == 0;
}

namespace {

constexpr size_t kResult = 16;  // every reply: signed result

// The reply layouts, by offset within the block.
constexpr size_t kLoginDeviceType = 17, kLoginOemType = 18, kLoginMaxChannel = 19,
                 kLoginUserRights = 20, kLoginWebPort = 22;
constexpr size_t kStatusAt = 20;
constexpr size_t kDayMaskAt = 20;
constexpr size_t kDlsBeginAt = 20, kDlsEndAt = 24, kTimeLineAt = 28;
constexpr size_t kLoginIdAt = 16, kLoginPasswordAt = 36;

// A 20-byte zero-padded text field; at 20 characters there is no terminator.
std::string loginText(const BlockView& b, size_t off) {
    std::string text;
    for (size_t i = 0; i < kLoginTextSize && b.byte(off + i) != 0; ++i) {
        text += char(b.byte(off + i));
    }
    return text;
}

bool sameLoginText(const std::string& sent, const std::string& configured) {
    return sent == configured.substr(0, kLoginTextSize);
}

int loginResult(const CommandContext& ctx, const BlockView& ask) {
    const SimOptions& o = ctx.options;
    int result = 0;
    if (o.user_id && !sameLoginText(loginText(ask, kLoginIdAt), *o.user_id)) {
        result = -2;  // Invalid ID
    } else if (o.password && !sameLoginText(loginText(ask, kLoginPasswordAt), *o.password)) {
        result = -3;  // Invalid Password
    }
    if (auto it = o.login_result.find(ctx.state.channel); it != o.login_result.end()) {
        result = it->second;
    }
    return result;
}

using Fill = void (*)(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>& r);

void fillLogin(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>& r) {
    const SimOptions& o = ctx.options;
    int result = loginResult(ctx, ask);
    ctx.state.logins++;
    ctx.state.login_result = result;
    r[kResult] = uint8_t(int8_t(result));
    if (result < 0) return;  // a refusing DVR tells nothing about itself
    r[kLoginDeviceType] = uint8_t(o.device_type);
    r[kLoginOemType] = uint8_t(o.oem_type);
    r[kLoginMaxChannel] = uint8_t(o.max_channel);
    r[kLoginUserRights] = uint8_t(o.user_rights);
    wire::wrLE16(&r[kLoginWebPort], o.web_port);
}

void fillKeepAlive(const CommandContext& ctx, const BlockView&, std::vector<uint8_t>& r) {
    // The 36 and 32 forms are cut short: the record is copied as far as the block reaches.
    r.assign(size_t(ctx.options.keepalive_form), 0);
    uint8_t status[kStatusSize];
    encodeStatus(ctx, status);
    size_t room = r.size() > kStatusAt ? std::min(kStatusSize, r.size() - kStatusAt) : 0;
    std::memcpy(r.data() + kStatusAt, status, room);
}

void fillLiveTransfer(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>&) {
    ctx.state.video = ask.byte(16) != 0;
}

void fillAudioTransfer(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>&) {
    ctx.state.audio = ask.byte(16) != 0;
}

void fillPtz(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>&) {
    ctx.state.ptz_commands++;
    ctx.state.ptz_cmd = int8_t(ask.byte(16));
    ctx.state.ptz_preset = int8_t(ask.byte(17));
}

constexpr int64_t kDaySeconds = 86400;

// Bit d - 1 for each recorded day d of the month that starts at `month` (DVR time).
uint32_t dayMaskOf(const SimOptions& o, int64_t month) {
    time_t t = time_t(month);
    tm first{};
    gmtime_r(&t, &first);
    uint32_t mask = 0;
    for (int64_t day : o.recorded_days) {
        time_t d = time_t(day);
        tm f{};
        gmtime_r(&d, &f);
        if (f.tm_year == first.tm_year && f.tm_mon == first.tm_mon) mask |= 1u << (f.tm_mday - 1);
    }
    return mask;
}

void fillLogDate(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>& r) {
    int32_t month = int32_t(ask.le32(16));
    ctx.state.logdate_month = month;
    wire::wrLE32(&r[kDayMaskAt], dayMaskOf(ctx.options, month));
}

void fillLogInfo(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>& r) {
    int32_t day = int32_t(ask.le32(16));
    ctx.state.loginfo_day = day;
    wire::wrLE32(&r[kDlsBeginAt], uint32_t(ctx.options.dls_begin));
    wire::wrLE32(&r[kDlsEndAt], uint32_t(ctx.options.dls_end));
    // A recorded day is recorded all day long: every byte of its time line is set.
    int64_t start = day - day % kDaySeconds;
    if (ctx.options.recorded_days.count(start)) {
        std::fill(r.begin() + kTimeLineAt, r.begin() + kTimeLineAt + kTimeLineSize, 1);
    }
    static_assert(kTimeLineAt + kTimeLineSize == 778);
}

void fillSearchTransfer(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>&) {
    //  16           20         24    25 .. 27   28 (36-byte form only)
    //  begin_time   end_time   cmd   flags      channel_mask
    ctx.state.search_requests++;
    ctx.state.search_begin = int32_t(ask.le32(16));
    ctx.state.search_cmd = ask.byte(24);
    ctx.state.search_mask = ask.size >= 32 ? ask.le32(28) : 0;
    int cmd = ctx.state.search_cmd;
    if ((cmd == 0 || cmd == 1) && ctx.state.search_begin != 0) {
        ctx.state.search_jumps++;
        ctx.state.search_jump_to = ctx.state.search_begin;
    }
    if (cmd == 4) ctx.state.search_steps++;
    if (cmd == 5) ctx.state.search_steps--;
}

void fillChannelName(const CommandContext& ctx, const BlockView&, std::vector<uint8_t>& r) {
    // The title takes the place of the result byte.
    std::string title = titleFor(ctx.options, ctx.state.channel < 0 ? 0 : ctx.state.channel);
    std::memcpy(&r[kResult], title.data(), std::min(title.size(), kTitleSize));
}

void fillBackup(const CommandContext& ctx, const BlockView& ask, std::vector<uint8_t>&) {
    ctx.state.backup_requests++;
    ctx.state.backup_begin = int32_t(ask.le32(16));
    ctx.state.backup_end = int32_t(ask.le32(20));
    ctx.state.backup_connection = int32_t(ask.le32(24));
    ctx.state.backup_cmd = ask.byte(28);
}

void fillResultOnly(const CommandContext&, const BlockView&, std::vector<uint8_t>&) {}

struct CommandEntry {
    uint8_t ask;
    uint8_t reply;
    uint16_t length;  // reply block length, header included
    Fill fill;
};

// clang-format off
const CommandEntry kCommands[] = {
    {ASK_LOGIN,          REPLY_LOGIN,             32,  fillLogin},
    {ASK_KEEPALIVE,      REPLY_KEEPALIVE,         112, fillKeepAlive},  // length by option
    {ASK_LIVETRANSFER,   REPLY_LIVETRANSFER,      20,  fillLiveTransfer},
    {ASK_SEARCHTRANSFER, MSG_RTSP_SEARCHTRANSFER, 20,  fillSearchTransfer},
    {ASK_LOGDATE,        MSG_RTSP_STORLOGDATE,    24,  fillLogDate},
    {ASK_LOGINFO,        MSG_RTSP_STORLOGINFO,    778, fillLogInfo},
    {ASK_PTZCONTROL,     MSG_RTSP_PTZCONTROL,     20,  fillPtz},
    {ASK_BACKUP,         REPLY_BACKUP,            20,  fillBackup},
    {ASK_ALARMOUT,       REPLY_ALARMOUT,          20,  fillResultOnly},
    {ASK_AUDIOTRANSFER,  REPLY_AUDIOTRANSFER,     20,  fillAudioTransfer},
    {ASK_CHANNELNAME,    REPLY_CHANNELNAME,       66,  fillChannelName},
};
// clang-format on

const CommandEntry* findCommand(uint8_t ask) {
    for (const CommandEntry& c : kCommands) {
        if (c.ask == ask) return &c;
    }
    return nullptr;
}

}  // namespace

void encodeStatus(const CommandContext& ctx, uint8_t out[kStatusSize]) {
    std::memset(out, 0, kStatusSize);
    wire::wrLE32(out + 0, uint32_t(std::clamp<int64_t>(ctx.seconds_open, 0, INT32_MAX)));
    out[4] = ctx.state.video ? 1 : 0;                     // video
    out[8] = ctx.state.audio ? 1 : 0;                     // audio
    wire::wrLE32(out + 12, 0);                            // hdd_space
    wire::wrBE16(out + 17, ctx.options.secure_web_port);  // sslHigh, sslLow
}

std::vector<uint8_t> answerCommand(const CommandContext& ctx, const BlockView& request) {
    if (!request.hasMagic()) return {};
    const CommandEntry* entry = findCommand(request.byte(8));
    if (!entry) return {};

    std::vector<uint8_t> reply(entry->length, 0);
    entry->fill(ctx, request, reply);
    if (reply.size() < kBlockHeaderSize + 1) reply.resize(kBlockHeaderSize + 1, 0);

    std::memcpy(reply.data(), "ZAQC", 4);
    wire::wrLE32(&reply[4], uint32_t(reply.size()));
    reply[8] = entry->reply;
    reply[9] = 1;
    reply[10] = uint8_t(ctx.options.protocol_version);
    reply[11] = 0;
    wire::wrLE32(&reply[12], request.le32(12));  // the session number the client sent
    return reply;
}

}  // namespace zaq::sim
