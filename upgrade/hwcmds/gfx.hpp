// COPYGFX's look at the graphics adapter, for the command and its tests.
#pragma once

#include <cstdint>

namespace tolvanex {

// Which driver fits the adapter: 1 the 1 MB one, 2 the 2 MB one, 0 the generic one. Unlocks the
// chip's extended registers on the way and leaves them so.
uint16_t GfxDetectChip();

} // namespace tolvanex
