// What start-up calls of the terminal utilities.
#pragma once

namespace kivo {

// The key-definition utility. Returns when the user wants to run the
// system afterwards; otherwise ends the process.
void kivokeys();

}  // namespace kivo
