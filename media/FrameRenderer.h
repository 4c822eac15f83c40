// The render thread: every 50 ms it turns each channel's newest picture into an image with the
// channel title burnt into its top-left corner and hands it to the channel's view.
#pragma once

#include <QImage>

#include <array>
#include <atomic>
#include <functional>

#include "live/SessionThread.h"
#include "media/DecoderWorkers.h"

namespace zaq {

class ChannelView;

class FrameRenderer {
public:
    struct Host {
        std::function<ChannelView*(int slot)> viewOf;
        std::function<int()> selectedChannel;      // its title is drawn in yellow
        std::function<int(int slot)> paneWidth;    // points; 0 while the pane is unknown
    };

    FrameRenderer(StreamObject& session, DecoderWorkers& decoders, Host host);
    ~FrameRenderer() { stopRenderThread(); }

    // Stops any render thread of this session, then starts one ("renderTProc").
    void startRenderThread();
    void stopRenderThread() { renderThread.stop(); }
    void waitForRenderThreadToFinish() { renderThread.wait(); }
    bool isRunning() const { return renderThread.running(); }

    // Titles slot's newest picture and hands it to its view (render thread). A picture that
    // was already handed over with the same title, colour and size is not drawn again.
    void render(int slot);
    // The titled image of a slot's newest picture, or a null image when there is none.
    QImage titledImage(int slot, bool selected, int paneWidth, uint64_t* serial = nullptr);
    // Title font size in pixels for a picture `width` wide shown in a pane `paneWidth` wide.
    static int titleSize(int width, int paneWidth);

    std::array<std::atomic<uint64_t>, kMaxSlots> imagesRendered;

private:
    void renderTProc();

    StreamObject& m_session;
    DecoderWorkers& m_decoders;
    Host m_host;
    ThreadRef renderThread{"renderTProc"};
    struct Shown {
        uint64_t serial = 0;
        bool selected = false;
        int size = 0;
        std::string title;
    };
    std::array<Shown, kMaxSlots> m_shown;  // render thread only
};

}  // namespace zaq
