#include "TestFolder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

TestFolder::TestFolder()
{
    char pattern[] = "/tmp/velora-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made)
        perror("TestFolder: mkdtemp");
    m_path = made ? made : "/tmp";
}

TestFolder::~TestFolder()
{
    if (m_path == "/tmp")
        return;
    std::string command = "rm -rf '" + m_path + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "TestFolder: could not remove %s\n", m_path.c_str());
}

std::string TestFolder::folder(const std::string& name) const
{
    std::string path = file(name);
    mkdir(path.c_str(), 0755);
    return path;
}

bool TestFolder::exists(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

size_t TestFolder::sizeOf(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? size_t(status.st_size) : 0;
}

std::string TestFolder::read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool TestFolder::write(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return bool(out);
}
