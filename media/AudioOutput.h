// Audio output of the selected channel: G.711 mu-law chunks expanded to 16-bit PCM and queued
// on an SDL audio device (8000 Hz, mono). The queue restarts after a gap of more than 220 ms,
// after every 400 chunks and when the selected channel changes, which bounds how far the sound
// lags behind the picture.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace zaq {

class AudioOutput {
public:
    using Clock = std::function<int64_t()>;  // microseconds of wall-clock time

    explicit AudioOutput(Clock clock = {});
    ~AudioOutput();

    // Opens and starts the device; harmless without one (logged once per process). Idempotent.
    // Any thread (the comm thread calls it).
    void audioInit();
    // Queues one chunk; called on the receive thread under the stream-buffer lock, never
    // blocks on another thread of the session.
    void playAudioData(const uint8_t* data, int length);
    // Stops and closes the device. Idempotent. Main thread, after the receive thread stopped.
    void audioUninit();

    // The selected channel changed (main thread): the next chunk restarts the queue.
    void channelChanged() { m_channelChangeState = 1; }

    // For tests and diagnostics.
    int restarts() const { return m_restarts; }
    int buffersQueued() const { return m_audioIndex; }
    bool hasDevice() const { return m_device != 0; }

    static constexpr int kBufferBytes = 1920;  // mu-law bytes per output buffer (240 ms)
    static constexpr int kBufferCount = 5;     // the queue never holds more than this

private:
    void restart();

    Clock m_clock;
    std::mutex m_lock;  // guards the device against init/uninit from other threads
    uint32_t m_device = 0;  // --- Protected by m_lock
    int64_t _audioTime = 0;
    int AudioStreamCount = 0;
    std::atomic<int> m_audioIndex{0};
    std::atomic<int> m_restarts{0};
    std::atomic<uint8_t> m_channelChangeState{0};
};

}  // namespace zaq
