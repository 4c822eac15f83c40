#include "sim/transcript.h"

#include <cerrno>
#include <cstring>

namespace zaq::sim {

int TranscriptRecord::code() const {
    if (method != "GET_PARAMETER" || block.size() < 9) return -1;
    if (std::memcmp(block.data(), "ZAQC", 4) != 0) return -1;
    return block[8];
}

Transcript::~Transcript() {
    closeFile();
}

bool Transcript::openFile(const std::string& path, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::lock_guard lock(mu_);
    if (file_) std::fclose(file_);
    file_ = f;
    return true;
}

void Transcript::closeFile() {
    std::lock_guard lock(mu_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

void Transcript::append(TranscriptRecord record) {
    {
        std::lock_guard lock(mu_);
        if (file_) {
            std::string line = formatLine(record);
            std::fprintf(file_, "%s\n", line.c_str());
            std::fflush(file_);  // readable while the simulator runs
        }
        bytes_ += record.header.size() + record.block.size();
        records_.push_back(std::move(record));
        while (records_.size() > 1 && (records_.size() > kMaxRecords || bytes_ > kMaxBytes)) {
            bytes_ -= records_.front().header.size() + records_.front().block.size();
            records_.pop_front();
        }
        ++total_;
    }
    if (listener_) listener_();
}

std::vector<TranscriptRecord> Transcript::snapshot() const {
    std::lock_guard lock(mu_);
    return {records_.begin(), records_.end()};
}

uint64_t Transcript::total() const {
    std::lock_guard lock(mu_);
    return total_;
}

std::string Transcript::formatLine(const TranscriptRecord& r) {
    std::string line =
        "conn=" + std::to_string(r.connection) + " ch=" + std::to_string(r.channel) + " ";
    // The method comes from the client; keep the line a line.
    for (char c : r.method)
        line += (c >= 0x21 && c <= 0x7e) ? c : '?';
    if (r.method.empty()) line += "-";
    line += " cseq=" + std::to_string(r.cseq);
    if (int code = r.code(); code >= 0) line += " code=" + std::to_string(code);
    if (!r.block.empty()) {
        static const char kHex[] = "0123456789abcdef";
        line += " block=";
        for (uint8_t b : r.block) {
            line += kHex[b >> 4];
            line += kHex[b & 15];
        }
    }
    if (!r.answered && r.method != "$") line += " unanswered";
    return line;
}

}  // namespace zaq::sim
