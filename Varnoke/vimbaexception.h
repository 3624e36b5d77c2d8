#pragma once

#include <VmbC/VmbCommonTypes.h>

#include <cstdint>
#include <exception>
#include <string>

// Every checked failure of the camera SDK travels as this exception.
class VimbaException : public std::exception {
public:
    VimbaException(std::int32_t code, std::string message);

    const char *what() const noexcept override { return formatted.c_str(); }

    std::int32_t code;   // the SDK's result code (never 0)
    std::string message; // the failed operation, as named by the call site
    std::string formatted;
};

// Returns for 0 (success); throws VimbaException(code, message) for anything else.
void checkVmb(VmbError_t code, const std::string &message);
