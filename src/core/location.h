// Error locations of helpers that report as their caller: a walk's failures name the getBmp that
// runs it, at the helper's own line.
#ifndef FSBMP_LOCATION_H
#define FSBMP_LOCATION_H

#include "fsbmp/services/error.h"

#define FSBMP_AT(where) (JxCodeLocation{(where).file, (where).function, __LINE__})

#endif
