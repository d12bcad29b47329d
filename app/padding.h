#pragma once
// Power-of-two padding by edge replication.

// The smallest power of two that is at least 4 and at least side.
[[nodiscard]] unsigned paddedSide(unsigned side) noexcept;
