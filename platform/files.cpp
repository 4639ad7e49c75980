#include "platform/files.h"

#include <atomic>

namespace belvor::platform {

namespace {
std::atomic<const FileSystem*> gFiles{nullptr};
} // namespace

const FileSystem& Files()
{
    const FileSystem* table = gFiles.load(std::memory_order_acquire);
    return table ? *table : SystemFileSystem();
}

const FileSystem* ReplaceFileSystem(const FileSystem* table)
{
    const FileSystem* previous = gFiles.exchange(table, std::memory_order_acq_rel);
    return previous ? previous : &SystemFileSystem();
}

} // namespace belvor::platform
