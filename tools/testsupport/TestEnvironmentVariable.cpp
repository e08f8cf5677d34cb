#include "TestEnvironmentVariable.h"

#include <cstdlib>

TestEnvironmentVariable::TestEnvironmentVariable(const char* name, const char* value) : m_name(name)
{
    const char* old = getenv(name);
    m_had = old != nullptr;
    if (m_had)
        m_old = old;
    set(value);
}

TestEnvironmentVariable::~TestEnvironmentVariable()
{
    set(m_had ? m_old.c_str() : nullptr);
}

void TestEnvironmentVariable::set(const char* value)
{
    if (value)
        setenv(m_name.c_str(), value, 1);
    else
        unsetenv(m_name.c_str());
}
