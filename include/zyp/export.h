#pragma once
/* Marks the documented exports of the suite's libraries: C linkage, default
 * visibility (everything else in a library is hidden). */
#ifdef __cplusplus
#define ZYP_EXTERN_C extern "C"
#else
#define ZYP_EXTERN_C
#endif
#define ZYP_API ZYP_EXTERN_C __attribute__((visibility("default")))
