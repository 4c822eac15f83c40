// Outlets: the small interfaces through which a controller drives its window's controls. The
// Qt windows implement them with widgets; headless runs and tests use the plain ones below.
// Every member is called on the main thread.
#pragma once

#include <functional>
#include <string>

#include "ui/SplitLayout.h"

namespace zaq {

class TextOutlet {
public:
    virtual ~TextOutlet() = default;
    virtual std::string text() const = 0;  // UTF-8
    virtual void setText(const std::string& text) = 0;
    virtual void setEnabled(bool enabled) = 0;
};

// A button with a current and an alternate title/image pair.
class ButtonOutlet {
public:
    virtual ~ButtonOutlet() = default;
    virtual std::string title() const = 0;
    virtual void setTitle(const std::string& title) = 0;
    // Exchanges title and image with the alternate title and image.
    virtual void swapAlternate() = 0;
    virtual void setHighlighted(bool on) = 0;
    virtual void setEnabled(bool enabled) = 0;
};

class ProgressOutlet {
public:
    virtual ~ProgressOutlet() = default;
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
};

// A modal alert with one button.
class AlertOutlet {
public:
    virtual ~AlertOutlet() = default;
    virtual void runAlert(const std::string& title, const std::string& message,
                          const std::string& button) = 0;
};

// The box that holds the channel panes. Frames are in the box's coordinates, origin at the
// bottom left, y growing upward.
class PaneHostOutlet {
public:
    virtual ~PaneHostOutlet() = default;
    virtual Rect boxFrame() const = 0;  // only the size matters to the layouts
    virtual void setViewFrame(int slot, const Rect& frame) = 0;
    virtual void setViewHidden(int slot, bool hidden) = 0;
    // The red 3-point frame around the selected pane, or none.
    virtual void setSelectionFrame(bool visible, const Rect& frame) = 0;
};

// --- Plain outlets: keep the state, and tell an optional observer of every change.

class PlainText : public TextOutlet {
public:
    explicit PlainText(std::string text = {}) : m_text(std::move(text)) {}
    std::string text() const override { return m_text; }
    void setText(const std::string& text) override;
    void setEnabled(bool enabled) override { m_enabled = enabled; }
    bool enabled() const { return m_enabled; }
    std::function<void(const std::string&)> onChange;

private:
    std::string m_text;
    bool m_enabled = true;
};

class PlainButton : public ButtonOutlet {
public:
    PlainButton(std::string title = {}, std::string alternate = {})
        : m_title(std::move(title)), m_alternate(std::move(alternate)) {}
    std::string title() const override { return m_title; }
    void setTitle(const std::string& title) override { m_title = title; }
    void swapAlternate() override { std::swap(m_title, m_alternate); }
    void setHighlighted(bool on) override { m_highlighted = on; }
    void setEnabled(bool enabled) override { m_enabled = enabled; }
    std::string alternateTitle() const { return m_alternate; }
    bool highlighted() const { return m_highlighted; }
    bool enabled() const { return m_enabled; }

private:
    std::string m_title, m_alternate;
    bool m_highlighted = false;
    bool m_enabled = true;
};

class PlainProgress : public ProgressOutlet {
public:
    void startAnimation() override { m_spinning = true; }
    void stopAnimation() override { m_spinning = false; }
    bool spinning() const { return m_spinning; }

private:
    bool m_spinning = false;
};

class PlainAlert : public AlertOutlet {
public:
    void runAlert(const std::string& title, const std::string& message,
                  const std::string& button) override;
    int count = 0;
    std::string lastTitle, lastMessage;
};

class PlainPaneHost : public PaneHostOutlet {
public:
    explicit PlainPaneHost(double w = 1000, double h = 800) : m_box{0, 0, w, h} {
        for (bool& h : hidden) h = false;
    }
    Rect boxFrame() const override { return m_box; }
    void setViewFrame(int slot, const Rect& f) override { frames[slot] = f; }
    void setViewHidden(int slot, bool h) override { hidden[slot] = h; }
    void setSelectionFrame(bool visible, const Rect& f) override {
        selectionVisible = visible;
        selection = f;
    }
    Rect m_box;
    Rect frames[16];
    bool hidden[16];
    bool selectionVisible = false;
    Rect selection;
};

// Cuts UTF-8 text to at most maxBytes bytes without splitting a character.
std::string cutUtf8(const std::string& text, size_t maxBytes);

}  // namespace zaq
