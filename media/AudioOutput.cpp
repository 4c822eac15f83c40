#include "media/AudioOutput.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>

#include "media/g711.h"
#include "protocol/log.h"

namespace zaq {
namespace {

std::atomic<bool> g_noDeviceLogged{false};

int64_t wallMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

AudioOutput::AudioOutput(Clock clock) : m_clock(clock ? std::move(clock) : Clock(wallMicros)) {}

AudioOutput::~AudioOutput() { audioUninit(); }

void AudioOutput::audioInit() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_audioIndex = 0;
    if (m_device) return;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        if (!g_noDeviceLogged.exchange(true)) {
            zlog("Error creating audio output queue: %s", SDL_GetError());
        }
        return;
    }
    SDL_AudioSpec want{};
    want.freq = 8000;
    want.format = AUDIO_S16SYS;
    want.channels = 1;
    want.samples = 512;
    // No callback: chunks are pushed with SDL_QueueAudio. SDL converts to the device's format.
    m_device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
    if (m_device == 0) {
        if (!g_noDeviceLogged.exchange(true)) {
            zlog("Error creating audio output queue: %s", SDL_GetError());
        }
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return;
    }
    SDL_PauseAudioDevice(m_device, 0);
}

void AudioOutput::restart() {
    m_channelChangeState = 0;
    // Dropping what is still queued is what bounds the delay.
    SDL_ClearQueuedAudio(m_device);
    SDL_PauseAudioDevice(m_device, 0);
    AudioStreamCount = 0;
    ++m_restarts;
}

void AudioOutput::playAudioData(const uint8_t* data, int length) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_device || !data || length <= 0) return;
    int64_t now = m_clock();
    if (now - _audioTime > 220000 || AudioStreamCount > 399 || m_channelChangeState == 1) {
        restart();
        _audioTime = now;
    }
    // Never more than the five buffers' worth of sound waits in the queue: older audio goes.
    const Uint32 bound = Uint32(kBufferCount * kBufferBytes * 2);
    if (SDL_GetQueuedAudioSize(m_device) + Uint32(length) * 2 > bound) {
        SDL_ClearQueuedAudio(m_device);
    }
    int16_t pcm[kBufferBytes];
    for (int at = 0; at < length;) {
        int n = std::min(kBufferBytes, length - at);
        for (int i = 0; i < n; ++i) pcm[i] = muLawToLinear(data[at + i]);
        SDL_QueueAudio(m_device, pcm, Uint32(n * 2));
        ++m_audioIndex;
        at += n;
    }
    ++AudioStreamCount;
    _audioTime = now;
}

void AudioOutput::audioUninit() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_device) return;
    SDL_ClearQueuedAudio(m_device);
    SDL_CloseAudioDevice(m_device);
    m_device = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

}  // namespace zaq
