// Whether a checksum mismatch refuses the block. Always, except in a fuzzing build: there it
// would stop nearly every mutated input at the first checksum and hide the code behind it.
#ifndef FSBMP_CHECKSUMS_H
#define FSBMP_CHECKSUMS_H

namespace fsbmp {

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
const bool kChecksumsRefuse = false;
#else
const bool kChecksumsRefuse = true;
#endif

}  // namespace fsbmp

#endif
