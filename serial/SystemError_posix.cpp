#include "SystemError.h"

#include <cstring>

std::string SystemErrorText(int error)
{
    return std::strerror(error);
}
