// What clients sent, one record per request (and per interleaved unit), for tests and the
// transcript file. Connection threads append; any thread reads a copy.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zaq::sim {

struct TranscriptRecord {
    int connection = -1;         // connection number, in order of acceptance from 0
    int channel = -1;            // the connection's DVR channel after this request, -1 = none
    std::string method;          // request method; "$" for an interleaved unit
    int64_t cseq = -1;           // -1 = none or not a number
    std::string header;          // the request's header text
    std::vector<uint8_t> block;  // GET_PARAMETER body; the unit itself for "$"
    bool answered = false;       // a reply was queued

    // Command code (block byte 8) of a GET_PARAMETER block with the "ZAQC" magic; -1 otherwise.
    int code() const;
};

class Transcript {
  public:
    // The in-memory copy keeps the newest records only, so long runs and hostile clients stay
    // bounded: at most this many records and this many bytes of headers and blocks.
    static constexpr size_t kMaxRecords = 100000;
    static constexpr size_t kMaxBytes = 32u << 20;

    ~Transcript();

    // Starts writing lines to `path` (truncating it). False with a reason when it cannot.
    bool openFile(const std::string& path, std::string* error);
    void closeFile();

    void append(TranscriptRecord record);
    std::vector<TranscriptRecord> snapshot() const;
    uint64_t total() const;  // records appended since start, including those dropped

    // Called after every append, outside the lock (DvrSim wakes its waiters with it).
    void setListener(std::function<void()> listener) { listener_ = std::move(listener); }

    // "conn=0 ch=3 GET_PARAMETER cseq=12 code=16 block=5a414..." (no line end).
    static std::string formatLine(const TranscriptRecord& record);

  private:
    std::function<void()> listener_;  // set before connections start, then read-only

    // --- Protected by mu_
    mutable std::mutex mu_;
    std::deque<TranscriptRecord> records_;
    size_t bytes_ = 0;  // header and block bytes held in records_
    uint64_t total_ = 0;
    std::FILE* file_ = nullptr;
};

}  // namespace zaq::sim
