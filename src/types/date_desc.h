// Standard-date descriptors for the two stored forms that the engine's own
// records use: universal text and 8-byte binary date and time.
#pragma once

#include <cstdint>

#include "types/std_date.h"

namespace kivo {

// A descriptor of the universal-form text `buffer` (`length` characters),
// levels century to hundredths, ready for cv_ntos_date / cv_ston_date.
void UNIVERSAL_DATE(std_date* desc, uint8_t* buffer, uint16_t length);

// A descriptor of the 8-byte binary date and time at `binary` (day number,
// levels century to hundredths), converted to parts. Returns the result of
// the conversion: 1 valid, 0 invalid.
int GREG_BIN_TO_STD(std_date* desc, uint8_t* binary);

}  // namespace kivo
