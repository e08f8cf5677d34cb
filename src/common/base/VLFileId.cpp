#include "VLFileId.h"

#include <utility>

VLFileId::VLFileId(const std::string& entityId, const VLFileFormat* format) : m_entityId(entityId), m_format(format)
{
}

VLFileId::VLFileId(std::string entityId, uint32_t formatId)
    : m_entityId(std::move(entityId)), m_format(VLFileFormat::find(formatId))
{
}

bool VLFileId::operator==(const VLFileId& other) const
{
    return m_format->getId() == other.m_format->getId() && m_entityId == other.m_entityId;
}

bool VLFileId::operator<(const VLFileId& other) const
{
    // std::string::compare goes through char_traits<char>::compare, which compares
    // as unsigned char, so bytes >= 0x80 sort after ASCII.
    int order = m_entityId.compare(other.m_entityId);
    if (order != 0)
        return order < 0;
    return m_format->getId() < other.m_format->getId();
}

std::ostream& operator<<(std::ostream& out, const VLFileId& fileId)
{
    return out << fileId.entityId() << '_' << fileId.getFormat()->getId();
}
