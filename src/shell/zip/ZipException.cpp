#include "ZipException.h"

ZipException::ZipException(std::string reason)
    : ZipException(0, std::move(reason))
{
}

ZipException::ZipException(int64_t error, std::string reason)
    : m_error(error)
    , m_reason(std::move(reason))
    , m_what(error ? m_reason + " (error " + std::to_string(error) + ")" : m_reason)
{
}
