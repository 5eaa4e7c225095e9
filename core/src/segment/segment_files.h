// The files of a segment: which file a path names, and loads that read a
// snapshot and a log that were on disk together.
//
// Names. The snapshot, its log, its lock and its temporary files are named
// after the file the given path resolves to, so a segment opened through a
// symlink (or "a/../seg.snap") has one lock and one log whatever the name.
//
// Consistent loads. A load reads the snapshot P, then the log W, by name,
// while compaction (or a forced build) renames a new snapshot over P and
// then a new log over W. A load that read the old snapshot and then the new
// log would lose records. So the snapshot's file stays open from before the
// load reads it until after the log has been opened; then P must still name
// that file. Every rename puts a new inode under P, and the open descriptor
// keeps the old inode from being reused, so "P unchanged" proves that the
// snapshot read and the log opened were P and W at one instant, and every
// pair the writers leave on disk loads to the acknowledged state
// (docs/compaction.md). Otherwise the whole load runs again.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <utility>

#include "base/error.h"
#include "base/file.h"

namespace ulmora {

// The file `path` names: realpath of an existing file; for a name that does
// not exist (yet), realpath of its directory plus the name. When neither
// resolves, `path` as given, so that the operation that follows reports
// the error it reports today.
std::string segment_file_path(const std::string& path);

// Loads tried before a load that kept meeting a replaced snapshot fails.
inline constexpr int kLoadAttempts = 10;

// Io error of a load that met a replaced snapshot on every attempt.
StoreError replaced_during_load_error(const std::string& path);

// The file a path named when pinned, held open.
class SnapshotPin {
 public:
  static Result<SnapshotPin> take(const std::string& path);
  // Whether `path` still names the pinned file (false also when it names
  // nothing now).
  bool still_named() const;
  // still_named(), and the file's size and modification time are those it
  // had when pinned (a copy written over it in place changes them).
  bool unchanged() const;

 private:
  SnapshotPin(file::File f, const struct stat& st) : file_(std::move(f)), taken_(st) {}
  file::File file_;
  struct stat taken_;
};

// Runs `load` (which reads the snapshot at `path` and then its log) with
// the snapshot pinned, until the snapshot was not replaced during the run.
// A failed run whose snapshot was replaced is retried too (it may have read
// a mixed pair); any other failure is returned as it is.
template <class T>
Result<T> load_consistent(const std::string& path, const std::function<Result<T>()>& load) {
  for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
    auto pin = SnapshotPin::take(path);
    if (!pin.ok()) return pin.error();
    Result<T> loaded = load();
    if (pin->still_named()) return loaded;
  }
  return replaced_during_load_error(path);
}

}  // namespace ulmora
