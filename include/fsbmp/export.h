// Symbol visibility of the library's public interface.
#ifndef FSBMP_EXPORT_H
#define FSBMP_EXPORT_H

#if defined(FSBMP_BUILDING_LIBRARY)
#define FSBMP_API __attribute__((visibility("default")))
#else
#define FSBMP_API
#endif

#endif
