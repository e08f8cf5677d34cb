#ifndef VL_FILE_FORMAT_H
#define VL_FILE_FORMAT_H

#include <cstdint>

// One row of the static table of audio formats. Rows are built before main and
// never change; any thread may read them. Every VLFileFormat pointer passed
// around the core points at a row of this table.
class VLFileFormat
{
public:
    // Number of rows in the table.
    static const int TABLE_SIZE = 27;

    VLFileFormat(uint32_t id, bool isDefault, bool isSecondaryClass, bool isPrimaryClass, bool isEnabled);
    virtual ~VLFileFormat() {}

    uint32_t getId() const { return m_id; }
    // Within its class, the format fetched into the cache when nothing fits.
    bool isDefault() const { return m_isDefault; }
    // In the class searched for a request of any format other than 6.
    bool isSecondaryClass() const { return m_isSecondaryClass; }
    // In the class searched for a request of format 6.
    bool isPrimaryClass() const { return m_isPrimaryClass; }
    // Takes part in file searches at all.
    bool isEnabled() const { return m_isEnabled; }

    // Formats are equal when their ids are (flags are not compared).
    bool operator==(const VLFileFormat& other) const { return m_id == other.m_id; }
    bool operator!=(const VLFileFormat& other) const { return m_id != other.m_id; }

    // The first row; the TABLE_SIZE rows follow it in search-preference order.
    static const VLFileFormat* getTable();
    // The row with that id, or the first row (id 6) when none has it. Never null.
    static const VLFileFormat* find(uint32_t id);

private:
    uint32_t m_id;
    bool m_isDefault;
    bool m_isSecondaryClass;
    bool m_isPrimaryClass;
    bool m_isEnabled;
};

#endif
