#include "platform/files.h"

#include "platform/seams.h"

namespace belvor::platform {

const FileSystem& Files()
{
    const FileSystem* table = CurrentSeams().Files;
    return table ? *table : SystemFileSystem();
}

} // namespace belvor::platform
