// The POSIX Env's file calls below a store directory. Each opens the store
// directory, then every part of the name from it with openat, O_NOFOLLOW and
// O_DIRECTORY, so no link is ever followed on the way; results are those the
// Env calls of the same names promise (platform/env.h).
#ifndef BRACKENFOLD_PLATFORM_ENV_POSIX_STORE_FILES_H_
#define BRACKENFOLD_PLATFORM_ENV_POSIX_STORE_FILES_H_

#include <cstdio>
#include <memory>
#include <string>

#include "platform/env.h"

namespace brackenfold {

int PosixCreateFileIn(const std::string& directory, const std::string& name,
                      std::FILE** stream);
int PosixOpenFileIn(const std::string& directory, const std::string& name,
                    const char* mode, std::FILE** stream);
EntryKind PosixKindIn(const std::string& directory, const std::string& name);
bool PosixRemoveFileIn(const std::string& directory, const std::string& name);
// 0 when moved, otherwise the errno.
int PosixMoveFileIn(const std::string& directory, const std::string& from,
                    const std::string& to);
std::unique_ptr<HeldLockFile> PosixCreateLockFileIn(
    const std::string& directory, const std::string& name, int* error);

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_ENV_POSIX_STORE_FILES_H_
