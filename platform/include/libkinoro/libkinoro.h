// The whole video database library interface.
#ifndef KINORO_PLATFORM_INCLUDE_LIBKINORO_LIBKINORO_H_
#define KINORO_PLATFORM_INCLUDE_LIBKINORO_LIBKINORO_H_

#include "libkinoro/api.h"
#include "libkinoro/records.h"
#include "libkinoro/util.h"

#endif  // KINORO_PLATFORM_INCLUDE_LIBKINORO_LIBKINORO_H_
