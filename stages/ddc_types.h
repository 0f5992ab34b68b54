/* Shared types of the native interface: the complex sample and the export macro. */
#ifndef DDC_TYPES_H
#define DDC_TYPES_H

#include <stddef.h>
#include <stdint.h>

/* One complex sample: float32 real part, then float32 imaginary part (the layout of numpy.complex64). */
typedef struct cf32 {
    float re;
    float im;
} cf32_t;

#if defined(_WIN32)
#define DDC_API __declspec(dllexport)
#else
#define DDC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define DDC_EXTERN_C_BEGIN extern "C" {
#define DDC_EXTERN_C_END }
#else
#define DDC_EXTERN_C_BEGIN
#define DDC_EXTERN_C_END
#endif

#endif
