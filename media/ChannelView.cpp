#include "media/ChannelView.h"

namespace zaq {

void CaptureView::setImage(const QImage& image) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_last = image;
    ++m_images;
    m_showingLogo = false;
}

void CaptureView::setLogo() {
    ++m_logos;
    m_showingLogo = true;
}

QImage CaptureView::lastImage() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_last;
}

}  // namespace zaq
