#pragma once

// Basic types, result codes and pixel formats shared by the object interface and the
// image transform functions of the camera SDK stand-in.

#include <cstdint>

typedef unsigned char VmbUchar_t;
typedef std::int32_t VmbInt32_t;
typedef std::uint32_t VmbUint32_t;
typedef long long VmbInt64_t;
typedef unsigned long long VmbUint64_t;
typedef std::int32_t VmbError_t;
typedef std::uint32_t VmbPixelFormat_t;

// Result codes: 0 is success, every failure is negative.
typedef enum VmbErrorType {
    VmbErrorSuccess = 0,
    VmbErrorInternalFault = -1,
    VmbErrorApiNotStarted = -2,
    VmbErrorNotFound = -3,
    VmbErrorBadHandle = -4,
    VmbErrorDeviceNotOpen = -5,
    VmbErrorInvalidAccess = -6,
    VmbErrorBadParameter = -7,
    VmbErrorStructSize = -8,
    VmbErrorMoreData = -9,
    VmbErrorWrongType = -10,
    VmbErrorInvalidValue = -11,
    VmbErrorTimeout = -12,
    VmbErrorOther = -13,
    VmbErrorResources = -14,
    VmbErrorInvalidCall = -15,
    VmbErrorNoTL = -16,
    VmbErrorNotImplemented = -17,
    VmbErrorNotSupported = -18,
    VmbErrorIncomplete = -19,
} VmbErrorType;

// Pixel formats in the standard 32-bit numbering (colour flag, bits per pixel, id).
typedef enum VmbPixelFormatType {
    VmbPixelFormatMono8 = 0x01080001,
    VmbPixelFormatBayerGR8 = 0x01080008,
    VmbPixelFormatBayerRG8 = 0x01080009,
    VmbPixelFormatBayerGB8 = 0x0108000A,
    VmbPixelFormatBayerBG8 = 0x0108000B,
    VmbPixelFormatRgb8 = 0x02180014,
    VmbPixelFormatBgr8 = 0x02180015,
} VmbPixelFormatType;

// Feature data types.
typedef enum VmbFeatureDataType {
    VmbFeatureDataUnknown = 0,
    VmbFeatureDataInt = 1,
    VmbFeatureDataFloat = 2,
    VmbFeatureDataEnum = 3,
    VmbFeatureDataString = 4,
    VmbFeatureDataBool = 5,
    VmbFeatureDataCommand = 6,
    VmbFeatureDataRaw = 7,
    VmbFeatureDataNone = 8,
} VmbFeatureDataType;

typedef enum VmbAccessModeType {
    VmbAccessModeNone = 0,
    VmbAccessModeFull = 1,
    VmbAccessModeRead = 2,
} VmbAccessModeType;
