#include "audio/folder/folder_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace lumeno {

namespace {

FolderLock hold(const std::filesystem::path& folder, int operation) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FolderLock::unavailable;
  int rc;
  do {
    rc = ::flock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return FolderLock::held;  // the descriptor stays open for the rest of the process
  int error = errno;
  ::close(fd);
  return error == EWOULDBLOCK ? FolderLock::busy : FolderLock::unavailable;
}

}  // namespace

FolderLock holdForRecording(const std::filesystem::path& folder) { return hold(folder, LOCK_SH); }

FolderLock holdForTool(const std::filesystem::path& folder) { return hold(folder, LOCK_EX); }

}  // namespace lumeno
