// The date mask an application shows dates with: its own, else the system's,
// else the session's sample, else a built-in one.
//
// The APPL and SYSPARM records are kept by the process engine, above this
// layer; it fills the record hooks when it starts. An empty hook reads as a
// missing record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/sysparm_record.h"

namespace kivo {

constexpr size_t kAppDateMaskLen = 60;
constexpr size_t kApplDateMaskOffset = 188;                 // in the APPL record
constexpr size_t kSysparmDateMaskOffset = SYSPARM_FORMATS;  // in the SYSPARM record
constexpr const char* kBuiltinDateMask = "06/05/0807 04:03 ~AU";

struct ut_design_recs {
  const uint8_t* (*dap)(const char* ap, const char* ver);  // APPL record, or null
  const uint8_t* (*dsysparm)();                            // SYSPARM record, or null
};

// The record hooks are foundation_hooks.design_recs (foundation/foundation.h).
// The record hooks installed now.
const ut_design_recs& ut_get_design_recs();

// True when the APPL hook is filled and has no record of `ap`/`ver`; an empty
// hook (nothing above this layer started) says nothing is missing.
bool ut_design_appl_missing(const char* ap, const char* ver);

// The application's own mask, else the system's: 1 and `mask` filled, or 0
// when neither record gives one (`mask` untouched).
int ut_design_date_msk(const char* ap, const char* ver, char* mask);

// Fills the 60-character `mask` for application `ap` (3 characters) of
// version `ver` (2). Returns 1, or 0 after a system error for a null argument.
int ut_get_date_msk(const char* ap, const char* ver, char* mask);

}  // namespace kivo
