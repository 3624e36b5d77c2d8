#pragma once

// Image transform functions of the camera SDK stand-in: describe a camera buffer by its pixel
// format, describe a destination layout, and convert between the two.

#include <VmbC/VmbCommonTypes.h>

#if defined(VMBSIM_BUILDING)
#define VMBSIM_API __attribute__((visibility("default")))
#else
#define VMBSIM_API
#endif

typedef VmbUint32_t VmbPixelLayout_t;

typedef enum VmbPixelLayout {
    VmbPixelLayoutMono = 0,
    VmbPixelLayoutMonoPacked = 1,
    VmbPixelLayoutRaw = 2,
    VmbPixelLayoutRawPacked = 3,
    VmbPixelLayoutRGB = 4,
    VmbPixelLayoutBGR = 5,
    VmbPixelLayoutRGBA = 6,
    VmbPixelLayoutBGRA = 7,
} VmbPixelLayout;

typedef enum VmbBayerPattern {
    VmbBayerPatternRGGB = 0,
    VmbBayerPatternGBRG = 1,
    VmbBayerPatternGRBG = 2,
    VmbBayerPatternBGGR = 3,
    VmbBayerPatternNone = 0xff,
} VmbBayerPattern;

typedef struct VmbPixelInfo {
    VmbUint32_t BitsPerPixel;
    VmbUint32_t BitsUsed;
    VmbUint32_t Alignment;
    VmbUint32_t Endianness;
    VmbUint32_t PixelLayout;
    VmbUint32_t BayerPattern;
    VmbUint32_t Reserved;
} VmbPixelInfo;

typedef struct VmbImageInfo {
    VmbUint32_t Width;
    VmbUint32_t Height;
    VmbInt32_t Stride; // bytes per row
    VmbPixelInfo PixelInfo;
} VmbImageInfo;

// Size must hold sizeof(VmbImage) before any call, so that a caller built against another
// layout is refused instead of misread.
typedef struct VmbImage {
    VmbUint32_t Size;
    void *Data;
    VmbImageInfo ImageInfo;
} VmbImage;

typedef struct VmbTransformInfo {
    VmbUint32_t TransformType;
    VmbUint32_t Reserved[8];
} VmbTransformInfo;

#ifdef __cplusplus
extern "C" {
#endif

VMBSIM_API VmbError_t VmbSetImageInfoFromPixelFormat(VmbPixelFormat_t pixelFormat,
                                                     VmbUint32_t width, VmbUint32_t height,
                                                     VmbImage *image);
VMBSIM_API VmbError_t VmbSetImageInfoFromInputImage(const VmbImage *inputImage,
                                                    VmbPixelLayout_t outputPixelLayout,
                                                    VmbUint32_t bitsPerPixel,
                                                    VmbImage *outputImage);
VMBSIM_API VmbError_t VmbImageTransform(const VmbImage *source, VmbImage *destination,
                                        const VmbTransformInfo *parameter,
                                        VmbUint32_t parameterCount);

#ifdef __cplusplus
}
#endif
