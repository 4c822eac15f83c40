#include "ui/Outlets.h"

namespace zaq {

void PlainText::setText(const std::string& text) {
    m_text = text;
    if (onChange) onChange(text);
}

void PlainAlert::runAlert(const std::string& title, const std::string& message,
                          const std::string&) {
    ++count;
    lastTitle = title;
    lastMessage = message;
}

std::string cutUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t n = maxBytes;
    // Step back over continuation bytes so the cut falls before a character's first byte.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

}  // namespace zaq
