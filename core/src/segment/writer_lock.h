// WriterLock: the exclusive writer lock of a segment, an flock(2) on a lock
// file beside the snapshot ("<snapshot>.lock", named after the file the
// snapshot path resolves to, so every name of a segment finds one lock).
// The log is never locked itself, since compaction replaces it by rename.
// The lock file is created on first use and never removed (removing it
// would let two writers lock two different inodes). The lock is released
// when the object dies or the process ends, however it ends.
#pragma once

#include <optional>
#include <string>

#include "base/error.h"
#include "base/file.h"

namespace ulmora {

std::string lock_path_for(const std::string& snapshot_path);

class WriterLock {
 public:
  // Takes the lock of the resolved `snapshot_path` (segment_file_path)
  // without waiting. `create` = false: when no lock file exists, returns an
  // empty lock (nobody can hold it). `*busy` is set when another open file
  // description holds the lock; the error then names `shown_path` (the path
  // as the caller gave it). Other failures are Io.
  static Result<WriterLock> acquire(const std::string& snapshot_path, bool create, bool* busy,
                                    const std::string& shown_path);

  WriterLock(WriterLock&&) noexcept = default;
  WriterLock& operator=(WriterLock&&) noexcept = default;
  bool held() const { return file_.has_value(); }
  void release() { file_.reset(); }

 private:
  WriterLock() = default;
  std::optional<file::File> file_;
};

}  // namespace ulmora
