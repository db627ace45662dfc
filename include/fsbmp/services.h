// The service components every parser leans on.
#ifndef FSBMP_SERVICES_H
#define FSBMP_SERVICES_H

#include "fsbmp/services/buffer.h"
#include "fsbmp/services/crc32c.h"
#include "fsbmp/services/debug.h"
#include "fsbmp/services/error.h"
#include "fsbmp/services/fdset.h"
#include "fsbmp/services/file.h"

#endif
