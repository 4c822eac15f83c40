// The RTP payload assembler.
#include "live/LiveSession.h"

namespace zaq {

void LiveSession::rtpPayloadTProc2(int slot, tPAYLOAD_BUFFER* list, int count, uint8_t* out) {}

}  // namespace zaq
