#include "VLStreamUrl.h"

#include <cstdint>

namespace {

bool isAsciiAlphanumeric(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

std::string VLStreamUrl::getParameter(const std::string& url, const std::string& key)
{
    // The key, its '=' and one more character must fit; checked before any
    // subtraction so that a URL shorter than the key cannot wrap the bound.
    if (key.empty() || url.size() < key.size() + 2)
        return std::string();
    const size_t end = url.size() - key.size() - 1;
    for (size_t i = 0; i < end; ++i) {
        if (url[i] == '@')
            break;
        if (url.compare(i, key.size(), key) != 0 || url[i + key.size()] != '=')
            continue;
        const size_t start = i + key.size() + 1;
        if (url[start] == '@' && start + 1 < url.size())
            return url.substr(start + 1);
        size_t stop = start;
        while (stop < url.size() && isAsciiAlphanumeric(url[stop]))
            ++stop;
        return url.substr(start, stop - start);
    }
    return std::string();
}

unsigned int VLStreamUrl::parseUnsigned(const std::string& text)
{
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX)
            return UINT32_MAX;
    }
    return static_cast<unsigned int>(value);
}
