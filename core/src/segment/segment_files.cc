#include "segment/segment_files.h"

#include <fcntl.h>
#include <cerrno>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <memory>
#include <optional>

namespace ulmora {

namespace {

// realpath(3), or nothing when it fails.
std::optional<std::string> real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> p(::realpath(path.c_str(), nullptr), &::free);
  if (!p) return std::nullopt;
  return std::string(p.get());
}

}  // namespace

std::string segment_file_path(const std::string& path) {
  if (path.empty()) return path;
  if (auto whole = real_path(path)) return *whole;
  // Not there (yet), or a dangling link: resolve the directory only.
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return path;
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  auto real_dir = real_path(dir);
  if (!real_dir) return path;
  return *real_dir == "/" ? "/" + name : *real_dir + "/" + name;
}

StoreError replaced_during_load_error(const std::string& path) {
  return StoreError::Io("segment " + path + " was replaced while it was being loaded, " +
                        std::to_string(kLoadAttempts) + " times in a row; try again");
}

Result<SnapshotPin> SnapshotPin::take(const std::string& path) {
  auto f = file::File::open(path, O_RDONLY);
  if (!f.ok()) return f.error();
  struct stat st;
  if (::fstat(f->fd(), &st) != 0) return io_error(errno);
  return SnapshotPin(std::move(f.value()), st);
}

bool SnapshotPin::still_named() const {
  struct stat pinned, named;
  if (::fstat(file_.fd(), &pinned) != 0 || ::stat(file_.path().c_str(), &named) != 0) return false;
  return pinned.st_dev == named.st_dev && pinned.st_ino == named.st_ino;
}

bool SnapshotPin::unchanged() const {
  struct stat now;
  if (!still_named() || ::fstat(file_.fd(), &now) != 0) return false;
  return now.st_size == taken_.st_size && now.st_mtim.tv_sec == taken_.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == taken_.st_mtim.tv_nsec;
}

}  // namespace ulmora
