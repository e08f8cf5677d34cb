#include "VLDesktopKeyValue.h"

VLDesktopKeyValue::VLDesktopKeyValue(const std::string& key, const std::string& value)
    : m_key(key)
    , m_value(value)
{
}

VLDesktopKeyValue::~VLDesktopKeyValue()
{
}
