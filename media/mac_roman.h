#pragma once

#include <QString>

namespace zaq {

// Camera titles arrive as Mac Roman bytes; this decodes them up to the first zero byte.
QString fromMacRoman(const char* bytes, size_t maxLength);

}  // namespace zaq
