#include "sim/dvr_session.h"

#include <charconv>
#include <cstdio>

#include "sim/command_block.h"
#include "sim/rtsp_message.h"
#include "sim/sdp.h"

namespace zaq::sim {

namespace {

// Values echoed from the client lose their control characters, so a reply line stays one line.
std::string printable(std::string_view value) {
    std::string out(value.substr(0, 256));
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return out;
}

int64_t cseqNumber(std::optional<std::string_view> value) {
    int64_t n = -1;
    if (!value || !isDecimal(*value, 18)) return -1;
    std::from_chars(value->data(), value->data() + value->size(), n);
    return n;
}

// The first number of "interleaved=a-b" in a Transport value, or -1.
int interleavedChannel(std::string_view transport) {
    constexpr std::string_view kKey = "interleaved=";
    size_t at = transport.find(kKey);
    if (at == std::string_view::npos) return -1;
    int channel = -1;
    std::string_view rest = transport.substr(at + kKey.size());
    auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), channel);
    return ec == std::errc() && channel >= 0 && channel <= 255 ? channel : -1;
}

}  // namespace

const DvrSession::MethodEntry DvrSession::kMethods[] = {
    {"OPTIONS", &DvrSession::onOptions},
    {"DESCRIBE", &DvrSession::onDescribe},
    {"SETUP", &DvrSession::onSetup},
    {"PLAY", &DvrSession::onPlay},
    {"GET_PARAMETER", &DvrSession::onGetParameter},
};

DvrSession::DvrSession(const SimOptions& options, int index, StreamWants* wants)
    : options_(options), wants_(wants), opened_(std::chrono::steady_clock::now()) {
    state_.index = index;
    state_.session_id = kSessionBase + uint32_t(index) + 1;
}

DvrSession::Outcome DvrSession::handle(const InboundUnit& unit) {
    Outcome out;
    out.record.connection = state_.index;

    if (unit.kind == InboundUnit::Kind::Interleaved) {
        // Keep-alive frames and anything else a client interleaves: recorded, never answered.
        out.record.channel = state_.channel;
        out.record.method = "$";
        out.record.block = unit.body;
        return out;
    }

    state_.requests++;
    const RequestLine line = parseRequestLine(unit.header);
    Request req{unit.header, unit.body, headerField(unit.header, "CSeq")};
    if (req.cseq && !isDecimal(*req.cseq, 10)) req.cseq.reset();

    if (line.valid) {
        RtspUrl url = parseRtspUrl(line.url);
        if (url.kind >= 0) state_.kind = url.kind;
        if (url.channel >= 0) state_.channel = url.channel;
    }
    out.record.channel = state_.channel;
    out.record.method = line.method;
    out.record.cseq = cseqNumber(req.cseq);
    out.record.header = unit.header;
    if (line.method == "GET_PARAMETER") out.record.block = unit.body;

    if (options_.silent_methods.count(line.method)) return out;

    if (!line.valid) {
        out.reply = ReplyBuilder(400, "Bad Request", req.cseq).finish();
    } else {
        Handler handler = nullptr;
        for (const MethodEntry& m : kMethods) {
            if (line.method == m.method) handler = m.handler;
        }
        out.reply = handler ? (this->*handler)(req)
                            : ReplyBuilder(501, "Not Implemented", req.cseq).finish();
    }
    out.record.answered = !out.reply.empty();
    return out;
}

std::vector<uint8_t> DvrSession::onOptions(const Request& req) {
    // The client looks for the version only after the first "GET_PARAMETER", so the
    // User-Agent line must follow the method list.
    char agent[32];
    std::snprintf(agent, sizeof agent, "ZAQC-%03d", options_.protocol_version);
    return ReplyBuilder(200, "OK", req.cseq)
        .line("Public", options_.announce_get_parameter
                            ? "OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER"
                            : "OPTIONS, DESCRIBE, SETUP, PLAY")
        .line("User-Agent", agent)
        .finish();
}

std::vector<uint8_t> DvrSession::onDescribe(const Request& req) {
    std::string sdp = describeStreams(options_, state_.session_id, state_.channel);
    return ReplyBuilder(200, "OK", req.cseq)
        .line("Content-Type", "application/sdp")
        .finish(std::vector<uint8_t>(sdp.begin(), sdp.end()));
}

std::vector<uint8_t> DvrSession::onSetup(const Request& req) {
    state_.setups++;
    RequestLine line = parseRequestLine(req.header);
    std::string control = parseRtspUrl(line.url).control;
    auto transport = headerField(req.header, "Transport");
    int track = transport ? interleavedChannel(*transport) : -1;
    if (control.find("audio") != std::string::npos) {
        audio_track_ = track >= 0 ? track : 2;
    } else {
        video_track_ = track >= 0 ? track : 0;
    }
    ReplyBuilder reply(200, "OK", req.cseq);
    reply.line("Session", std::to_string(state_.session_id));
    if (transport) reply.line("Transport", printable(*transport));
    return reply.finish();
}

std::vector<uint8_t> DvrSession::onPlay(const Request& req) {
    state_.playing = true;
    auto range = headerField(req.header, "Range");
    return ReplyBuilder(200, "OK", req.cseq)
        .line("Session", sessionValue(req))
        .line("Range", range ? printable(*range) : "npt=0.000-")
        .finish();
}

std::vector<uint8_t> DvrSession::onGetParameter(const Request& req) {
    ReplyBuilder reply(200, "OK", req.cseq);
    std::vector<uint8_t> block;
    if (!req.body.empty()) {
        auto age = std::chrono::steady_clock::now() - opened_;
        CommandContext ctx{options_, state_,
                           std::chrono::duration_cast<std::chrono::seconds>(age).count()};
        block = answerCommand(ctx, BlockView{req.body.data(), req.body.size()});
    }
    // A keep-alive without block, or a command this DVR does not know: no body.
    if (block.empty()) return reply.line("Session", sessionValue(req)).finish();
    return reply.line("Content-Type", "text/parameters")
        .line("Session", sessionValue(req))
        .finish(block);
}

std::string DvrSession::sessionValue(const Request& req) const {
    auto sent = headerField(req.header, "Session");
    if (sent && isDecimal(*sent, 10)) return std::string(*sent);
    return std::to_string(state_.session_id);
}

void DvrSession::publishWants() {
    if (!wants_) return;
    wants_->channel = state_.channel;
    wants_->kind = state_.kind;
    wants_->video_track = video_track_;
    wants_->audio_track = audio_track_;
    wants_->playing = state_.playing;
    wants_->video = state_.video;
    wants_->audio = state_.audio;
    wants_->backup_begin = state_.backup_begin;
    wants_->backup_end = state_.backup_end;
    wants_->backup_cmd = state_.backup_cmd;
    wants_->backup_requests = state_.backup_requests;
    wants_->search_cmd = state_.search_cmd;
    wants_->search_begin = state_.search_begin;
    wants_->search_jumps = state_.search_jumps;
    wants_->search_jump_to = state_.search_jump_to;
    wants_->search_steps = state_.search_steps;
    wants_->search_requests = state_.search_requests;
}

}  // namespace zaq::sim
