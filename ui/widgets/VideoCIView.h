// The channel pane of the live window: shows its channel's newest titled image, or the logo,
// stretched to the whole pane. The render thread hands images over; the pane keeps the newest
// one under a small lock and asks the GUI thread for a repaint, which draws it.
//
// Two kinds of pane share this behaviour: a GPU pane (QOpenGLWidget, painted with QPainter on
// the GL paint engine) and a raster pane (a plain QWidget). One kind is chosen per process.
#pragma once

#include <QImage>
#include <QRectF>

#include <atomic>
#include <functional>
#include <mutex>

#include "media/ChannelView.h"

class QPainter;
class QWidget;

namespace zaq {

class VideoCIView : public ChannelView {
  public:
    enum class Backend { Gpu, Raster };

    // The kind of pane of this process. Chosen at the first call, after the QGuiApplication
    // exists: raster on the "offscreen" and "minimal" platforms and wherever an OpenGL context
    // cannot be made current; GPU otherwise. GUI thread.
    static Backend backend();
    // Fixes the kind before the first pane is made (a command-line choice). GUI thread.
    static void setBackend(Backend backend);
    // A pane of the process's kind for `slot`. GUI thread.
    static VideoCIView* create(int slot, const QImage& logo, QWidget* parent = nullptr);

    ~VideoCIView() override = default;

    virtual QWidget* widget() = 0;
    int slot() const { return m_ch; }

    // A press selects (1), a double click toggles the single-channel layout (2). GUI thread.
    std::function<void(int slot, int clickCount)> onClicked;
    // The rectangle the pane draws into, in its own coordinates, after each size change.
    std::function<void(int slot, const QRectF& rect)> onRect;

    // Render thread: the newest image replaces one not yet drawn; a repaint is queued.
    void setImage(const QImage& image) override;
    // Decoder worker or render thread: the logo until the next image.
    void setLogo() override;
    // GUI thread: logo mode on (every repaint shows the logo; the last image is dropped) or off.
    void SetLogoView(bool on) override;

    // What the next repaint shows: the logo, or else the image. Any thread.
    bool showingLogo() const;
    QImage image() const;
    int imagesHandedOver() const { return m_imagesHandedOver; }
    int paints() const { return m_paints; }

  protected:
    VideoCIView(int slot, QImage logo);

    // Draws the logo or the image stretched into `target`. GUI thread, from the paint event.
    void paintPane(QPainter& painter, const QRect& target, bool smoothScaling);
    void reportRect(int width, int height);
    void clicked(int clickCount);
    // Queues a repaint on the GUI thread. Any thread.
    virtual void requestRepaint() = 0;

  private:
    void queueRepaint();

    const int m_ch;
    const QImage m_logo;  // shared, read-only

    // --- Protected by m_lock
    mutable std::mutex m_lock;
    QImage m_image;  // the newest image; null until one arrives and after setLogo

    std::atomic<bool> m_logoMode{true};
    std::atomic<bool> m_repaintQueued{false};
    std::atomic<int> m_imagesHandedOver{0};
    std::atomic<int> m_paints{0};
};

}  // namespace zaq
