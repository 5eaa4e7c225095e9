#include "segment/writer_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace ulmora {

std::string lock_path_for(const std::string& snapshot_path) { return snapshot_path + ".lock"; }

Result<WriterLock> WriterLock::acquire(const std::string& snapshot_path, bool create, bool* busy,
                                       const std::string& shown_path) {
  *busy = false;
  const std::string path = lock_path_for(snapshot_path);
  WriterLock lock;
  if (!create && !file::exists(path)) return lock;
  auto f = file::File::open(path, create ? O_RDWR | O_CREAT : O_RDWR, 0644);
  if (!f.ok()) {
    // Removed between the check and the open: nobody holds it.
    if (!create && !file::exists(path)) return lock;
    return f.error();
  }
  while (::flock(f->fd(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      *busy = true;
      return StoreError::Io("segment " + shown_path + " is open for writing by another process or handle");
    }
    return io_error(errno);
  }
  lock.file_.emplace(std::move(f.value()));
  return lock;
}

}  // namespace ulmora
