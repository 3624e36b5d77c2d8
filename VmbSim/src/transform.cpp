// Image transform functions of the SDK stand-in: RGB8, BGR8, Mono8 and the four 8-bit Bayer
// layouts in; packed 8-bit RGB or BGR out.

#include <VmbImageTransform/VmbTransform.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>

namespace {

struct FormatInfo {
    VmbPixelFormat_t format;
    VmbUint32_t bitsPerPixel;
    VmbUint32_t layout;
    VmbUint32_t bayer;
};

const FormatInfo Formats[] = {
    {VmbPixelFormatMono8, 8, VmbPixelLayoutMono, VmbBayerPatternNone},
    {VmbPixelFormatBayerRG8, 8, VmbPixelLayoutRaw, VmbBayerPatternRGGB},
    {VmbPixelFormatBayerGB8, 8, VmbPixelLayoutRaw, VmbBayerPatternGBRG},
    {VmbPixelFormatBayerGR8, 8, VmbPixelLayoutRaw, VmbBayerPatternGRBG},
    {VmbPixelFormatBayerBG8, 8, VmbPixelLayoutRaw, VmbBayerPatternBGGR},
    {VmbPixelFormatRgb8, 24, VmbPixelLayoutRGB, VmbBayerPatternNone},
    {VmbPixelFormatBgr8, 24, VmbPixelLayoutBGR, VmbBayerPatternNone},
};

} // namespace

extern "C" {

VmbError_t VmbSetImageInfoFromPixelFormat(VmbPixelFormat_t pixelFormat, VmbUint32_t width,
                                          VmbUint32_t height, VmbImage *image) {
    if (!image)
        return VmbErrorBadParameter;
    if (image->Size < sizeof(VmbImage))
        return VmbErrorStructSize;
    for (const FormatInfo &f : Formats) {
        if (f.format != pixelFormat)
            continue;
        image->ImageInfo.Width = width;
        image->ImageInfo.Height = height;
        image->ImageInfo.Stride = VmbInt32_t(width * (f.bitsPerPixel / 8));
        image->ImageInfo.PixelInfo = VmbPixelInfo{f.bitsPerPixel, 8, 0, 0, f.layout, f.bayer, 0};
        return VmbErrorSuccess;
    }
    return VmbErrorBadParameter;
}

VmbError_t VmbSetImageInfoFromInputImage(const VmbImage *inputImage,
                                         VmbPixelLayout_t outputPixelLayout,
                                         VmbUint32_t bitsPerPixel, VmbImage *outputImage) {
    if (!inputImage || !outputImage)
        return VmbErrorBadParameter;
    if (inputImage->Size < sizeof(VmbImage) || outputImage->Size < sizeof(VmbImage))
        return VmbErrorStructSize;
    if ((outputPixelLayout != VmbPixelLayoutRGB && outputPixelLayout != VmbPixelLayoutBGR) ||
        bitsPerPixel != 8)
        return VmbErrorNotImplemented;
    outputImage->ImageInfo.Width = inputImage->ImageInfo.Width;
    outputImage->ImageInfo.Height = inputImage->ImageInfo.Height;
    outputImage->ImageInfo.Stride = VmbInt32_t(inputImage->ImageInfo.Width * 3);
    outputImage->ImageInfo.PixelInfo =
        VmbPixelInfo{24, 8, 0, 0, outputPixelLayout, VmbBayerPatternNone, 0};
    return VmbErrorSuccess;
}

VmbError_t VmbImageTransform(const VmbImage *source, VmbImage *destination,
                             const VmbTransformInfo *, VmbUint32_t) {
    if (!source || !destination || !source->Data || !destination->Data)
        return VmbErrorBadParameter;
    if (source->Size < sizeof(VmbImage) || destination->Size < sizeof(VmbImage))
        return VmbErrorStructSize;
    const VmbImageInfo &in = source->ImageInfo;
    const VmbImageInfo &out = destination->ImageInfo;
    if (in.Width != out.Width || in.Height != out.Height || in.Width == 0 || in.Height == 0)
        return VmbErrorBadParameter;
    const bool toRgb = out.PixelInfo.PixelLayout == VmbPixelLayoutRGB;
    if ((!toRgb && out.PixelInfo.PixelLayout != VmbPixelLayoutBGR) ||
        out.PixelInfo.BitsPerPixel != 24)
        return VmbErrorNotImplemented;

    const int w = int(in.Width), h = int(in.Height);
    cv::Mat dst(h, w, CV_8UC3, destination->Data, size_t(out.Stride));
    switch (in.PixelInfo.PixelLayout) {
    case VmbPixelLayoutRGB:
    case VmbPixelLayoutBGR: {
        cv::Mat src(h, w, CV_8UC3, source->Data, size_t(in.Stride));
        if ((in.PixelInfo.PixelLayout == VmbPixelLayoutRGB) == toRgb)
            src.copyTo(dst);
        else
            cv::cvtColor(src, dst, cv::COLOR_RGB2BGR);
        return VmbErrorSuccess;
    }
    case VmbPixelLayoutMono: {
        cv::Mat src(h, w, CV_8UC1, source->Data, size_t(in.Stride));
        cv::cvtColor(src, dst, cv::COLOR_GRAY2RGB);
        return VmbErrorSuccess;
    }
    case VmbPixelLayoutRaw: {
        cv::Mat src(h, w, CV_8UC1, source->Data, size_t(in.Stride));
        // OpenCV names Bayer codes after the second row's pattern: an RGGB sensor is its
        // "BG" pattern, and so on.
        int code;
        switch (in.PixelInfo.BayerPattern) {
        case VmbBayerPatternRGGB:
            code = toRgb ? cv::COLOR_BayerBG2RGB : cv::COLOR_BayerBG2BGR;
            break;
        case VmbBayerPatternGBRG:
            code = toRgb ? cv::COLOR_BayerGR2RGB : cv::COLOR_BayerGR2BGR;
            break;
        case VmbBayerPatternGRBG:
            code = toRgb ? cv::COLOR_BayerGB2RGB : cv::COLOR_BayerGB2BGR;
            break;
        case VmbBayerPatternBGGR:
            code = toRgb ? cv::COLOR_BayerRG2RGB : cv::COLOR_BayerRG2BGR;
            break;
        default:
            return VmbErrorNotImplemented;
        }
        cv::cvtColor(src, dst, code);
        return VmbErrorSuccess;
    }
    default:
        return VmbErrorNotImplemented;
    }
}

} // extern "C"
