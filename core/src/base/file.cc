#include "base/file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>

#include "base/env_registry.h"

namespace ulmora {

StoreError io_error(int err) {
  return StoreError::Io(std::error_code(err, std::system_category()).message() + " (os error " +
                        std::to_string(err) + ")");
}

namespace file {
namespace {

// ---- Fault seam ---------------------------------------------------------

struct EnvRule {
  Fault fault;
  bool any_op = true;
  Op op = Op::kOpen;
  uint64_t nth = 0;  // 0: inactive
};

int errno_named(std::string_view name) {
  if (name == "ENOSPC") return ENOSPC;
  if (name == "EIO") return EIO;
  if (name == "EACCES") return EACCES;
  if (name == "EROFS") return EROFS;
  if (name == "EDQUOT") return EDQUOT;
  return 0;
}

bool op_named(std::string_view name, Op& op) {
  for (Op o : {Op::kOpen, Op::kRead, Op::kWrite, Op::kFsync, Op::kRename, Op::kTruncate, Op::kUnlink}) {
    if (name == op_name(o)) {
      op = o;
      return true;
    }
  }
  return false;
}

// "<action>@<n>[:<op>][:<errno>]"; anything malformed leaves the rule off.
EnvRule parse_rule(std::string_view text) {
  EnvRule r;
  size_t at = text.find('@');
  if (at == std::string_view::npos) return {};
  std::string_view action = text.substr(0, at);
  if (action == "kill") r.fault.action = Fault::kKill;
  else if (action == "fail") r.fault.action = Fault::kFail;
  else if (action == "short") r.fault.action = Fault::kShortWrite;
  else return {};
  r.fault.error = EIO;
  std::string_view rest = text.substr(at + 1);
  size_t colon = rest.find(':');
  std::string_view num = rest.substr(0, colon);
  uint64_t n = 0;
  if (num.empty() || num.size() > 18) return {};
  for (char c : num) {
    if (c < '0' || c > '9') return {};
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  while (colon != std::string_view::npos) {
    rest = rest.substr(colon + 1);
    colon = rest.find(':');
    std::string_view part = rest.substr(0, colon);
    if (Op op; op_named(part, op)) {
      r.any_op = false;
      r.op = op;
    } else if (int e = errno_named(part)) {
      r.fault.error = e;
    } else {
      return {};
    }
  }
  r.nth = n;
  return r;
}

struct Seam {
  std::mutex mu;
  FaultHook hook;
  std::atomic<bool> hooked{false};
  std::atomic<uint64_t> seq{0};
  uint64_t per_op[7] = {};
  EnvRule rule;
  bool trace = false;

  Seam() {
    const char* v = std::getenv(env::kFault.name);
    if (v) rule = parse_rule(v);
    const char* t = std::getenv(env::kFaultTrace.name);
    trace = t && std::string_view(t) == "1";
  }
};

Seam& seam() {
  static Seam s;
  return s;
}

// Runs the seam for one operation; kKill never returns.
Fault check(Op op, const std::string& path) {
  Seam& s = seam();
  uint64_t seq = s.seq.fetch_add(1, std::memory_order_relaxed) + 1;
  if (s.trace) std::fprintf(stderr, "file_op %llu %s %s\n", static_cast<unsigned long long>(seq), op_name(op), path.c_str());
  Fault f;
  if (s.hooked.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.hook) f = s.hook(op, path, seq);
  } else if (s.rule.nth != 0) {
    std::lock_guard<std::mutex> lock(s.mu);
    uint64_t n = s.rule.any_op ? seq : ++s.per_op[static_cast<int>(op)];
    if ((s.rule.any_op || s.rule.op == op) && n == s.rule.nth) f = s.rule.fault;
  }
  if (f.action == Fault::kKill) {
    std::fflush(stderr);
    ::kill(::getpid(), SIGKILL);
    ::_exit(137);  // not reached
  }
  if (f.action == Fault::kShortWrite && op != Op::kWrite) f.action = Fault::kFail;
  if (f.action != Fault::kNone && f.error == 0) f.error = EIO;
  return f;
}

}  // namespace

const char* op_name(Op op) {
  switch (op) {
    case Op::kOpen: return "open";
    case Op::kRead: return "read";
    case Op::kWrite: return "write";
    case Op::kFsync: return "fsync";
    case Op::kRename: return "rename";
    case Op::kTruncate: return "truncate";
    case Op::kUnlink: return "unlink";
  }
  return "?";
}

void set_fault_hook(FaultHook hook) {
  Seam& s = seam();
  std::lock_guard<std::mutex> lock(s.mu);
  s.hook = std::move(hook);
  s.hooked.store(static_cast<bool>(s.hook), std::memory_order_release);
}

uint64_t op_count() { return seam().seq.load(std::memory_order_relaxed); }

// ---- File -----------------------------------------------------------------

Result<File> File::open(const std::string& path, int flags, mode_t mode) {
  if (Fault f = check(Op::kOpen, path); f.action != Fault::kNone) return io_error(f.error);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_error(errno);
  return File(fd, path);
}

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<size_t> File::read_some(void* buf, size_t n) {
  if (Fault f = check(Op::kRead, path_); f.action != Fault::kNone) return io_error(f.error);
  for (;;) {
    ssize_t r = ::read(fd_, buf, n);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) return io_error(errno);
  }
}

Result<size_t> File::read_full(void* buf, size_t n) {
  size_t done = 0;
  auto* p = static_cast<uint8_t*>(buf);
  while (done < n) {
    auto r = read_some(p + done, n - done);
    if (!r.ok()) return r.error();
    if (*r == 0) break;
    done += *r;
  }
  return done;
}

Result<size_t> File::read_at(uint64_t offset, void* buf, size_t n) const {
  if (Fault f = check(Op::kRead, path_); f.action != Fault::kNone) return io_error(f.error);
  size_t done = 0;
  auto* p = static_cast<uint8_t*>(buf);
  while (done < n) {
    ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

Status File::write_all(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (Fault f = check(Op::kWrite, path_); f.action != Fault::kNone) {
    if (f.action == Fault::kShortWrite && n > 1) (void)!::write(fd_, p, n / 2);
    return io_error(f.error);
  }
  while (n > 0) {
    ssize_t w = ::write(fd_, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    if (w == 0) return io_error(ENOSPC);
    p += w;
    n -= static_cast<size_t>(w);
  }
  return Status::Ok();
}

Status File::sync() {
  if (Fault f = check(Op::kFsync, path_); f.action != Fault::kNone) return io_error(f.error);
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return io_error(errno);
  }
  return Status::Ok();
}

Status File::sync_data() {
  if (Fault f = check(Op::kFsync, path_); f.action != Fault::kNone) return io_error(f.error);
  while (::fdatasync(fd_) != 0) {
    if (errno != EINTR) return io_error(errno);
  }
  return Status::Ok();
}

Status File::truncate(uint64_t len) {
  if (Fault f = check(Op::kTruncate, path_); f.action != Fault::kNone) return io_error(f.error);
  if (::ftruncate(fd_, static_cast<off_t>(len)) != 0) return io_error(errno);
  return Status::Ok();
}

Result<uint64_t> File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return io_error(errno);
  return static_cast<uint64_t>(st.st_size);
}

// ---- Paths ----------------------------------------------------------------

Status rename(const std::string& from, const std::string& to) {
  if (Fault f = check(Op::kRename, to); f.action != Fault::kNone) return io_error(f.error);
  if (::rename(from.c_str(), to.c_str()) != 0) return io_error(errno);
  return Status::Ok();
}

Status remove(const std::string& path) {
  if (Fault f = check(Op::kUnlink, path); f.action != Fault::kNone) return io_error(f.error);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return io_error(errno);
  return Status::Ok();
}

Status sync_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  auto d = File::open(dir, O_RDONLY | O_DIRECTORY);
  if (!d.ok()) return d.error();
  return d->sync();
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// ---- Whole files ----------------------------------------------------------

Result<Bytes> read_all(const std::string& path) {
  auto f = File::open(path, O_RDONLY);
  if (!f.ok()) return f.error();
  struct stat st;
  if (::fstat(f->fd(), &st) != 0) return io_error(errno);
  // One spare byte, so that the read that finds the end needs no growth.
  size_t capacity = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 65536;
  Bytes out(capacity);
  size_t n = 0;
  for (;;) {
    if (n == out.capacity()) {
      Bytes bigger(out.capacity() * 2);
      std::memcpy(bigger.data(), out.data(), n);
      out = std::move(bigger);
    }
    auto r = f->read_some(out.data() + n, out.capacity() - n);
    if (!r.ok()) return r.error();
    if (*r == 0) break;
    n += *r;
  }
  out.set_size(n);
  return out;
}

std::string temp_path_for(const std::string& path) { return path + ".tmp." + std::to_string(::getpid()); }

Status write_atomic(const std::string& path, const std::function<Status(File&)>& fill, bool fsync) {
  const std::string tmp = temp_path_for(path);
  Status st = [&]() -> Status {
    auto f = File::open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!f.ok()) return f.error();
    ULMORA_TRY(fill(*f));
    if (fsync) ULMORA_TRY(f->sync());
    return Status::Ok();
  }();
  if (st.ok()) st = file::rename(tmp, path);
  if (!st.ok()) {
    (void)file::remove(tmp);
    return st;
  }
  if (fsync) ULMORA_TRY(sync_dir(path));
  return Status::Ok();
}

Status write_atomic(const std::string& path, std::span<const uint8_t> data, bool fsync) {
  return write_atomic(path, [&](File& f) { return f.write_all(data.data(), data.size()); }, fsync);
}

}  // namespace file
}  // namespace ulmora
