#include "vimbaexception.h"

#include <fmt/format.h>

VimbaException::VimbaException(std::int32_t code, std::string message)
    : code(code)
    , message(std::move(message))
    , formatted(fmt::format("Vimba Exception: code={}, message={}", code, this->message)) {}

void checkVmb(VmbError_t code, const std::string &message) {
    if (code != 0)
        throw VimbaException(code, message);
}
