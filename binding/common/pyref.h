// Small CPython helpers shared by both extension modules: an owning
// reference, the interpreter-lock release guard, the internal-failure
// exception and raising native text.
//
// Everything here runs with the GIL held, except GilRelease's own span.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>
#include <utility>

namespace ulmora::binding {

// Owns one strong reference (or nothing).
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

// Releases the GIL for its lifetime. Re-acquires it on every exit path,
// including unwinding, so an entry point's catch block always runs with the
// GIL held.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The exception type for broken internal invariants: derived directly from
// BaseException so ordinary `except Exception` handlers do not swallow it.
// Each module has its own, created once per process by its execution step
// (nullptr before that).
PyObject* internal_error_type();
// Creates the type under `qualified_name` ("module.Name") if it does not
// exist yet. Returns false with an error set.
bool ensure_internal_error_type(const char* qualified_name, const char* doc);
// Sets the internal-failure exception with `what` as its message
// (SystemError before the type exists).
void raise_internal(const char* what);

// Raises `type` with a message that may come from native code; undecodable
// bytes are replaced rather than turning into a decoding error.
void raise_text(PyObject* type, const std::string& text);

// Runs `body` and turns any C++ exception into the internal-failure
// exception, returning `on_failure` then. Used at every entry point so no
// exception ever unwinds into the interpreter.
template <class T, class F>
T guarded(T on_failure, F&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unknown internal failure");
  }
  return on_failure;
}

}  // namespace ulmora::binding
