// Files: the one place the core opens, reads, writes, syncs, renames,
// truncates and removes files. Whole-file reads, atomic whole-file
// replacement, and a test seam through which any of those calls can be made
// to fail (ENOSPC, EIO, a short write) or to stop the process right there.
//
// Every failure is StoreError::Io carrying the system's description, e.g.
// "No such file or directory (os error 2)".
//
// Fault seam. Each call below counts as one file operation. A test either
// installs a hook (set_fault_hook), or sets ULMORA_FAULT for a child process
// (read once, at the process's first file operation):
//   ULMORA_FAULT=<action>@<n>[:<op>][:<errno>]
// acts at the n-th operation (1-based) of kind <op> (open, read, write,
// fsync, rename, truncate, unlink; any kind when absent): "kill" raises
// SIGKILL before the operation runs, "fail" fails it with <errno> (ENOSPC,
// EIO, EACCES, EROFS, EDQUOT; EIO when absent), "short" writes half of a
// write's bytes and then fails it with <errno>. A malformed value injects
// nothing. ULMORA_FAULT_TRACE=1 prints "file_op <n> <op> <path>" on standard
// error before each operation, so a test can count the operations of a run.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "base/error.h"

namespace ulmora {

// StoreError::Io with the system's description of the errno value `err`.
StoreError io_error(int err);

namespace file {

enum class Op : uint8_t { kOpen, kRead, kWrite, kFsync, kRename, kTruncate, kUnlink };
const char* op_name(Op op);

// What the seam does to one operation.
struct Fault {
  enum Action : uint8_t { kNone, kFail, kShortWrite, kKill } action = kNone;
  int error = 0;  // errno for kFail and kShortWrite
};

// Called before every file operation with its kind, its path and its 1-based
// sequence number in this process. Installed hooks replace the environment
// rule; an empty function removes the hook. Not for concurrent use with
// file operations of other threads (tests install it before they start).
using FaultHook = std::function<Fault(Op op, const std::string& path, uint64_t seq)>;
void set_fault_hook(FaultHook hook);
// File operations run so far in this process.
uint64_t op_count();

// An open file descriptor, closed on destruction.
class File {
 public:
  // open(2) with O_CLOEXEC added.
  static Result<File> open(const std::string& path, int flags, mode_t mode = 0644);
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Up to n bytes from the current offset; 0 only at end of file.
  Result<size_t> read_some(void* buf, size_t n);
  // n bytes, or fewer only at end of file.
  Result<size_t> read_full(void* buf, size_t n);
  // n bytes at `offset` (pread), or fewer only at end of file; the file
  // offset stays where it was. One read operation for the fault seam.
  Result<size_t> read_at(uint64_t offset, void* buf, size_t n) const;
  // All n bytes; a failed write leaves what was written in the file.
  Status write_all(const void* data, size_t n);
  Status sync();       // fsync
  Status sync_data();  // fdatasync: contents and size, not timestamps
  Status truncate(uint64_t len);
  Result<uint64_t> size() const;

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// rename(2): atomic replacement of `to` on one file system.
Status rename(const std::string& from, const std::string& to);
// unlink(2); a missing file is not an error.
Status remove(const std::string& path);
// fsync of the directory that holds `path`, so a rename or a new name there
// survives a crash.
Status sync_dir(const std::string& path);
bool exists(const std::string& path);

// Bytes on the heap without the zero-fill a std::vector would do first.
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(size_t capacity) : data_(new uint8_t[capacity]), capacity_(capacity) {}
  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  void set_size(size_t n) { size_ = n; }  // n <= capacity()
  std::span<const uint8_t> span() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

// The whole file, sized from its metadata and read in large chunks (files
// that grow while being read, and non-regular files, are read to the end).
Result<Bytes> read_all(const std::string& path);

// The temporary name a replacement of `path` is written under first:
// "<path>.tmp.<pid>".
std::string temp_path_for(const std::string& path);

// Replaces `path` atomically with what `fill` writes: a temporary file in
// the same directory is written, fsynced, renamed over `path`, and the
// directory fsynced. On any failure the temporary file is removed and
// `path` keeps its old content. `fsync` = false skips both fsyncs (tests
// and throwaway files only).
Status write_atomic(const std::string& path, const std::function<Status(File&)>& fill, bool fsync = true);
Status write_atomic(const std::string& path, std::span<const uint8_t> data, bool fsync = true);

}  // namespace file
}  // namespace ulmora
