// The recursion accounting's slow half: the thread's stack bounds and the refusals.
#include "core/recursion.hpp"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <algorithm>
#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_LARGE_FRAMES 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VK_LARGE_FRAMES 1
#endif

namespace vk {
namespace {

// What a call needs below the point where it is checked: the stack used
// between two calls of the module (a few of the interpreter's frames at
// most, when a call's work calls back into Python code that calls a
// module function), and what raising and reporting RecursionError needs.
// The interpreters that guard their own stack (3.14) keep as much in
// reserve for raising RecursionError. A sanitizer build's frames are
// several times larger. Small stacks keep three quarters of their size
// for calls.
#if defined(VK_LARGE_FRAMES)
constexpr std::size_t kMargin = 256 * 1024;
#else
constexpr std::size_t kMargin = 32 * 1024;
#endif

// The bottom of this thread's stack and its size; false when unknown.
bool thread_stack(std::uintptr_t& bottom, std::size_t& size) {
#if defined(_WIN32)
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  bottom = low;
  size = high - low;
  return high > low;
#elif defined(__APPLE__)
  pthread_t self = pthread_self();
  const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
  size = pthread_get_stacksize_np(self);
  bottom = top - size;
  return size > 0;
#elif defined(__linux__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
  void* address = nullptr;
  const bool known = pthread_attr_getstack(&attr, &address, &size) == 0 && size > 0;
  pthread_attr_destroy(&attr);
  bottom = reinterpret_cast<std::uintptr_t>(address);
  return known;
#else
  (void)bottom;
  (void)size;
  return false;
#endif
}

std::uintptr_t read_stack_floor() {
  std::uintptr_t bottom = 0;
  std::size_t size = 0;
  if (!thread_stack(bottom, size)) return 0;
  return bottom + std::min(kMargin, size / 4);
}

// Each thread reads its own floor once.
thread_local std::uintptr_t thread_floor = UINTPTR_MAX;

}  // namespace

bool enter_deep_call(PyThreadState* thread, std::uintptr_t here) noexcept {
  ++thread->recursion_remaining;
  detail::StackFloor& known = detail::current_stack_floor;
  if (thread->id != known.thread_id) {
    if (thread_floor == UINTPTR_MAX) thread_floor = read_stack_floor();
    known = {thread->id, thread_floor};
  }
  if (here < known.floor) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    return false;
  }
  if (thread->recursion_remaining > 0) {
    --thread->recursion_remaining;
    return true;
  }
  // Counts one level, and gives it back when it raises.
  return Py_EnterRecursiveCall(" while calling a Python object") == 0;
}

}  // namespace vk
