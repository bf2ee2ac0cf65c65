// Identifiers and version fixed when the driver is built. The driver has no
// configuration of any kind: everything it needs to know about the device is
// here and, for what the interface itself reports, in kernel_abi.h.
#pragma once

#include <cstdint>

// wMid/wPid of the capability records. No manufacturer or product identifier
// has been registered for this device with the multimedia layer, so the
// driver reports the values reserved for exactly that case, MM_UNMAPPED and
// MM_PID_UNMAPPED (0xFFFF): applications then see an unregistered device
// rather than one that borrows another vendor's identity.
constexpr uint16_t kManufacturerId = 0xFFFF;
constexpr uint16_t kProductId = 0xFFFF;

// 4.1.13: major in the top nibble of the high byte, minor in its low nibble,
// build in the low byte.
constexpr uint32_t vDriverVersion = 0x410D;
