// How deep calls of the module's functions may go: each call counts once
// against the recursion limit, as a def's frame does, and is refused with
// RecursionError when the thread's C stack is nearly used up, so that
// recursion through the module ends in RecursionError at any limit and on
// any thread's stack.
#pragma once

#include "core/ref.hpp"

#include <cstdint>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace vk {

namespace detail {
// The lowest stack address from which the current thread may start a
// call: the bottom of its stack, as the operating system reports it, plus
// a margin for what runs between two calls and for raising the error; 0
// when the bounds cannot be known (then only the limit counts). Kept for
// the thread that called last, by its thread state's id, which the
// interpreter never gives to another thread state; only touched with the
// interpreter lock held.
struct StackFloor {
  std::uint64_t thread_id = 0;  // no thread state has id 0
  std::uintptr_t floor = 0;
};
inline StackFloor current_stack_floor;

// The stack address of the calling frame.
#if defined(__GNUC__) || defined(__clang__)
#define VK_STACK_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#else
#define VK_STACK_ADDRESS() reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress())
#endif
}  // namespace detail

// The slow half of enter_call, for a call whose count ran out (or the
// limit was raised meanwhile: the interpreter's own check decides), whose
// stack looked short, or that runs on another thread than the last call.
// The level enter_call took is given back first; true when the call may go
// on, counted once; false with RecursionError set, and nothing taken, when
// it must not.
bool enter_deep_call(PyThreadState* thread, std::uintptr_t here) noexcept;

// Takes one level for a call whose frame is at the stack address `here`,
// or refuses it with RecursionError set. Every level taken is given back
// by leave_call.
inline bool enter_call(PyThreadState* thread, std::uintptr_t here) noexcept {
  const detail::StackFloor& known = detail::current_stack_floor;
  if (thread->recursion_remaining-- <= 0 || thread->id != known.thread_id || here < known.floor) [[unlikely]]
    return enter_deep_call(thread, here);
  return true;
}

inline void leave_call(PyThreadState* thread) noexcept { ++thread->recursion_remaining; }

// True when `levels` nested calls from the stack address `here` would each
// be taken without a refusal. A shortcut that stands for calls it does not
// make goes ahead only then, and otherwise makes them, so that it is
// refused exactly where they would be.
inline bool calls_would_be_taken(PyThreadState* thread, int levels, std::uintptr_t here) noexcept {
  const detail::StackFloor& known = detail::current_stack_floor;
  return thread->recursion_remaining >= levels && thread->id == known.thread_id && here >= known.floor;
}

}  // namespace vk
