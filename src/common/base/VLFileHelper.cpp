#include "VLFileHelper.h"

#include <ctime>
#include <memory>

#include "VLMappedFile.h"
#include "VLPlatformFactory.h"

bool VLFileHelper::isWritable(const std::string& directory)
{
    std::string path = directory + getSeparator() + "." + std::to_string(static_cast<long long>(time(nullptr))) + ".tmp";
    std::unique_ptr<VLMappedFile> probe(VLPlatformFactory::instance()->createMappedFile(path));

    bool result = probe->resize(8192, true);
    if (result) {
        result = probe->open();
        probe->close();
    }
    // Removed whatever happened above: a sizing that failed after the file was
    // created (a full disk) must not leave the probe behind. When nothing was
    // created, the failed removal changes nothing.
    if (!removeFile(probe->getPath()))
        result = false;
    return result;
}
