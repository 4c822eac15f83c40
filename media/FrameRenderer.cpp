#include "media/FrameRenderer.h"

#include <QFont>
#include <QPainter>

#include <algorithm>
#include <chrono>

#include "media/ChannelView.h"
#include "media/mac_roman.h"
#include "protocol/cancel.h"
#include "protocol/log.h"

namespace zaq {
namespace {

QFont titleFont(int pixelSize) {
    // The metric twin of the classic bold sans title font; any bold sans where it is missing.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    font.setPixelSize(std::max(1, pixelSize));
    return font;
}

}  // namespace

FrameRenderer::FrameRenderer(StreamObject& session, DecoderWorkers& decoders, Host host)
    : m_session(session), m_decoders(decoders), m_host(std::move(host)) {
    for (auto& n : imagesRendered)
        n = 0;
}

void FrameRenderer::startRenderThread() {
    renderThread.start([this] { renderTProc(); });
}

int FrameRenderer::titleSize(int width, int paneWidth) {
    float ratio = paneWidth > 0 ? float(width) / float(paneWidth) : 1.0f;
    return int(14.0f * std::max(1.0f, ratio));
}

QImage FrameRenderer::titledImage(int slot, bool selected, int paneWidth, uint64_t* serial) {
    SlotPicture& pic = m_decoders.picture(slot);
    QImage image;
    {
        std::lock_guard<std::mutex> lock(pic.lock);
        if (pic.width <= 0 || pic.height <= 0 || pic.rgb.empty()) return {};
        // One copy out of the decoder's picture; the view keeps this image.
        image = QImage(pic.rgb.data(), pic.width, pic.height, pic.lineSize, QImage::Format_RGB888)
                    .convertToFormat(QImage::Format_RGB32);
        if (serial) *serial = pic.serial;
    }
    int size = titleSize(image.width(), paneWidth);
    std::string title = m_session.channelName(slot);
    QPainter painter(&image);
    painter.setFont(titleFont(size));
    painter.setPen(selected ? QColor(255, 255, 0) : QColor(255, 255, 255));
    painter.drawText(QPointF(4, size + 4), fromMacRoman(title.c_str(), title.size()));
    return image;
}

void FrameRenderer::render(int slot) {
    if (m_decoders.cur_width[slot] <= 0 || m_decoders.cur_height[slot] <= 0) return;
    ChannelView* view = m_host.viewOf ? m_host.viewOf(slot) : nullptr;
    if (!view) return;
    bool selected = m_host.selectedChannel && m_host.selectedChannel() == slot;
    int pane = m_host.paneWidth ? m_host.paneWidth(slot) : 0;
    std::string title = m_session.channelName(slot);
    Shown& shown = m_shown[size_t(slot)];
    {
        SlotPicture& pic = m_decoders.picture(slot);
        std::lock_guard<std::mutex> lock(pic.lock);
        int size = titleSize(pic.width, pane);
        // The view already shows exactly this: nothing to draw.
        if (pic.serial == shown.serial && selected == shown.selected && size == shown.size &&
            title == shown.title) {
            return;
        }
        shown.size = size;
    }
    uint64_t serial = 0;
    QImage image = titledImage(slot, selected, pane, &serial);
    if (image.isNull()) return;
    shown.serial = serial;
    shown.selected = selected;
    shown.title = title;
    view->setImage(image);
    ++imagesRendered[slot];
}

void FrameRenderer::renderTProc() {
    zlog("begin - renderTProc()");
    int n = std::clamp(int(m_session.m_loginParam[0].max_channel), 0, int(kMaxSlots));
    for (auto& s : m_shown)
        s = {};
    // A pass every 50 ms, counted from pass start to pass start: sleeping 50 ms after the
    // work of 16 slots would give fewer than 20 images a second per pane. A late pass starts
    // the next period from now rather than running passes back to back.
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now();
    while (!currentThreadCancelled() && m_session.m_last_errno >= 0) {
        next += std::chrono::milliseconds(50);
        const auto now = Clock::now();
        if (next > now)
            sleepMs(std::chrono::duration<double, std::milli>(next - now).count());
        else
            next = now;
        for (int slot = 0; slot < n; ++slot) {
            if (m_session.m_lastFrameTime[slot] != 0) render(slot);
        }
    }
    zlog("renderThread Cancelled");
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        if (ChannelView* view = m_host.viewOf ? m_host.viewOf(slot) : nullptr) view->setLogo();
    }
    zlog("end render thread !!");
}

}  // namespace zaq
