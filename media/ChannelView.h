// What the media pipeline needs of a channel's pane. The live and playback windows implement it
// with their video panes; headless runs and tests use CaptureView.
#pragma once

#include <QImage>

#include <atomic>
#include <mutex>

namespace zaq {

class ChannelView {
public:
    virtual ~ChannelView() = default;
    // A titled picture to show, stretched to the pane (render thread). The view keeps its own
    // reference; the caller may reuse nothing of it.
    virtual void setImage(const QImage& image) = 0;
    // Shows the logo once; the next picture replaces it (decoder worker, render thread).
    virtual void setLogo() = 0;
    // Logo mode on or off, without drawing (main thread).
    virtual void SetLogoView(bool on) = 0;
};

// A view without a screen: keeps the last picture and counts what it was handed. Any thread.
class CaptureView : public ChannelView {
public:
    void setImage(const QImage& image) override;
    void setLogo() override;
    void SetLogoView(bool on) override { m_logoMode = on; }

    QImage lastImage() const;
    int images() const { return m_images; }
    int logos() const { return m_logos; }
    bool logoMode() const { return m_logoMode; }
    // True when the last thing handed over was the logo.
    bool showingLogo() const { return m_showingLogo; }

private:
    mutable std::mutex m_lock;
    QImage m_last;  // --- Protected by m_lock
    std::atomic<int> m_images{0}, m_logos{0};
    std::atomic<bool> m_logoMode{true}, m_showingLogo{true};
};

}  // namespace zaq
