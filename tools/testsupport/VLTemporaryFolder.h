#ifndef VL_TEMPORARY_FOLDER_H
#define VL_TEMPORARY_FOLDER_H

// Test support: a fresh folder under $TMPDIR (or /tmp), removed with everything
// in it when the object goes away. Header-only; not used by the core itself.

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <iterator>
#include <stdio.h>
#include <string>
#include <unistd.h>

class VLTemporaryFolder
{
public:
    VLTemporaryFolder()
    {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/velora-test.XXXXXX";
        if (mkdtemp(&pattern[0]))
            m_path = pattern;
    }
    ~VLTemporaryFolder()
    {
        if (!m_path.empty())
            nftw(m_path.c_str(), &removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    VLTemporaryFolder(const VLTemporaryFolder&) = delete;
    VLTemporaryFolder& operator=(const VLTemporaryFolder&) = delete;

    const std::string& path() const { return m_path; }
    std::string path(const std::string& name) const { return m_path + "/" + name; }

    // Writes `content` to the file `name` below the folder; returns its path.
    std::string writeFile(const std::string& name, const std::string& content) const
    {
        std::string file = path(name);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << content;
        return file;
    }

    static std::string readFile(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    static int removeEntry(const char* path, const struct stat*, int, struct FTW*)
    {
        ::remove(path);
        return 0;
    }

    std::string m_path;
};

#endif
