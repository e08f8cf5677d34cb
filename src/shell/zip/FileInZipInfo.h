#ifndef FILE_IN_ZIP_INFO_H
#define FILE_IN_ZIP_INFO_H

#include <cstdint>
#include <ctime>
#include <string>

// What the central directory says of one entry of a zip archive. An
// immutable value.
class FileInZipInfo
{
public:
    // `level`: 0 stored, -1 default, 9 best, 1 fastest (see ZipFile).
    // `date`: the entry's modification time, read in the local calendar.
    FileInZipInfo(std::string name, uint64_t length, int level, bool crypted, uint64_t size, std::time_t date,
                  uint64_t crc32);

    const std::string& name() const { return m_name; }
    // The uncompressed size.
    uint64_t length() const { return m_length; }
    int level() const { return m_level; }
    bool crypted() const { return m_crypted; }
    // The compressed size.
    uint64_t size() const { return m_size; }
    std::time_t date() const { return m_date; }
    uint64_t crc32() const { return m_crc32; }

private:
    std::string m_name;
    uint64_t m_length;
    int m_level;
    bool m_crypted;
    uint64_t m_size;
    std::time_t m_date;
    uint64_t m_crc32;
};

#endif
