#include "ui/widgets/VideoCIView.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QPainter>
#include <QWidget>

#include <optional>

#include "protocol/log.h"

namespace zaq {
namespace {

std::optional<VideoCIView::Backend>& chosenBackend() {
    static std::optional<VideoCIView::Backend> chosen;
    return chosen;
}

// Qt's offscreen and minimal platforms have no usable OpenGL (a QOpenGLWidget crashes there),
// and remote desktops often lack it: try a context on an offscreen surface before relying on it.
VideoCIView::Backend probeBackend() {
    QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
        return VideoCIView::Backend::Raster;
    }
    QOpenGLContext context;
    if (!context.create()) return VideoCIView::Backend::Raster;
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!surface.isValid() || !context.makeCurrent(&surface)) return VideoCIView::Backend::Raster;
    context.doneCurrent();
    return VideoCIView::Backend::Gpu;
}

// What both kinds of pane do beyond painting: report their size, turn clicks into selection
// and double clicks into the layout toggle, and repaint on the GUI thread when asked.
template <typename Widget>
class Pane : public Widget, public VideoCIView {
  public:
    Pane(int slot, const QImage& logo, QWidget* parent) : Widget(parent), VideoCIView(slot, logo) {}
    QWidget* widget() override { return this; }

  protected:
    void resizeEvent(QResizeEvent* e) override {
        Widget::resizeEvent(e);
        reportRect(this->width(), this->height());
    }
    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton) clicked(1);
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton) clicked(2);
    }
    void requestRepaint() override {
        QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
    }
};

class GpuPane final : public Pane<QOpenGLWidget> {
  public:
    using Pane::Pane;

  protected:
    void paintGL() override {
        QPainter painter(this);
        paintPane(painter, rect(), true);
    }
};

class RasterPane final : public Pane<QWidget> {
  public:
    RasterPane(int slot, const QImage& logo, QWidget* parent) : Pane(slot, logo, parent) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        // Without a GPU every pixel is scaled by the CPU: nearest-neighbour keeps 16 panes of
        // large pictures affordable.
        paintPane(painter, rect(), false);
    }
};

}  // namespace

VideoCIView::Backend VideoCIView::backend() {
    auto& chosen = chosenBackend();
    if (!chosen) {
        chosen = probeBackend();
        zlog("channel panes: %s", *chosen == Backend::Gpu ? "OpenGL" : "raster");
    }
    return *chosen;
}

void VideoCIView::setBackend(Backend backend) {
    chosenBackend() = backend;
}

VideoCIView* VideoCIView::create(int slot, const QImage& logo, QWidget* parent) {
    if (backend() == Backend::Gpu) return new GpuPane(slot, logo, parent);
    return new RasterPane(slot, logo, parent);
}

VideoCIView::VideoCIView(int slot, QImage logo) : m_ch(slot), m_logo(std::move(logo)) {}

void VideoCIView::setImage(const QImage& image) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_image = image;
    }
    ++m_imagesHandedOver;
    queueRepaint();
}

void VideoCIView::setLogo() {
    zlog("setLogo [%d]", m_ch);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_image = QImage();
    }
    queueRepaint();
}

void VideoCIView::SetLogoView(bool on) {
    m_logoMode = on;
    if (on) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_image = QImage();
    }
    widget()->update();
}

void VideoCIView::queueRepaint() {
    // One repaint in the event queue at a time; it draws whatever is newest by then.
    if (!m_repaintQueued.exchange(true)) requestRepaint();
}

bool VideoCIView::showingLogo() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_logoMode || m_image.isNull();
}

QImage VideoCIView::image() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_image;
}

void VideoCIView::paintPane(QPainter& painter, const QRect& target, bool smoothScaling) {
    // Cleared before the image is read, so an image handed over from now on queues a repaint.
    m_repaintQueued = false;
    QImage source;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_logoMode) source = m_image;
    }
    if (source.isNull()) source = m_logo;
    if (source.isNull()) {
        painter.fillRect(target, Qt::black);
    } else {
        painter.setRenderHint(QPainter::SmoothPixmapTransform, smoothScaling);
        painter.drawImage(target, source);
    }
    ++m_paints;
}

void VideoCIView::reportRect(int width, int height) {
    if (onRect) onRect(m_ch, QRectF(0, 0, width, height));
}

void VideoCIView::clicked(int clickCount) {
    if (onClicked) onClicked(m_ch, clickCount);
}

}  // namespace zaq
