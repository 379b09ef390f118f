// ComPtr, the owning smart pointer for interface pointers: it Releases what
// it holds, so that a reference can never leak on an early return.
// Public: hosts use it.
#pragma once

#include <utility>

#include "com/unknown.h"

namespace zq::com {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  /// Shares `p`: AddRefs it.
  ComPtr(T* p) : p_(p) {
    if (p_ != nullptr) {
      p_->AddRef();
    }
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { reset(); }
  ComPtr& operator=(const ComPtr& o) {
    ComPtr(o).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    ComPtr(std::move(o)).swap(*this);
    return *this;
  }

  /// Takes over a reference the caller owns, without AddRef.
  static ComPtr adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  /// The interface T of `source`, AddRef'd: null when it has none.
  template <class From>
  static ComPtr queryFrom(From* source) {
    ComPtr c;
    if (source != nullptr) {
      void* out = nullptr;
      if (SUCCEEDED(source->QueryInterface(iidOf<T>(), &out))) {
        c.p_ = static_cast<T*>(out);
      }
    }
    return c;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  /// Releases what is held and gives the slot for an out-parameter.
  T** put() {
    reset();
    return &p_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }
  /// Gives up the reference to the caller, who releases it.
  T* detach() { return std::exchange(p_, nullptr); }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) {
      p->Release();
    }
  }
  void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

 private:
  T* p_ = nullptr;
};

}  // namespace zq::com
