// str() of ComplexNumber on parts read once: the text made directly.
#include "numeric/complex_fast.hpp"
#include "numeric/complex_parts.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vk::numeric {
namespace {

// The text of an exact int or float part as an f-string field gives it,
// which for both is str(): the shortest repr for a float. ASCII, kept here
// until the result is made; make() is false with an exception set on
// failure.
class PartText {
 public:
  bool make(Num& part) {
    if (part.kind == Num::real) {
      owned_ = PyOS_double_to_string(part.value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
      if (!owned_) return false;
      text_ = owned_;
      size_ = std::strlen(owned_);
      return true;
    }
    if (part.kind == Num::whole) {
      size_ = static_cast<std::size_t>(std::to_chars(buffer_, buffer_ + sizeof(buffer_), part.integer).ptr - buffer_);
      text_ = buffer_;
      return true;
    }
    // Larger ints keep the interpreter's conversion and its digit limit.
    str_ = Ref::steal(PyObject_Str(part.held.get()));
    if (!str_) return false;
    Py_ssize_t size = 0;
    text_ = PyUnicode_AsUTF8AndSize(str_.get(), &size);
    size_ = static_cast<std::size_t>(size);
    return text_ != nullptr;
  }
  ~PartText() { PyMem_Free(owned_); }

  const char* text() const { return text_; }
  std::size_t size() const { return size_; }

 private:
  char buffer_[24];
  char* owned_ = nullptr;
  Ref str_;
  const char* text_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace

Outcome text_once(PyObject* self, Ref& result) {
  ReadOnce once;
  if (!once.read(self)) return Outcome::general;
  Num real = once(self_real);
  Num imag = once(self_imag);
  PartText real_text, imag_text;
  if (!real_text.make(real) || !imag_text.make(imag)) return Outcome::error;
  constexpr char kJoin[] = " + ";
  constexpr std::size_t kJoinSize = sizeof(kJoin) - 1;
  const std::size_t size = real_text.size() + kJoinSize + imag_text.size() + 1;
  result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  if (!result) return Outcome::error;
  char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result.get()));
  out = std::copy_n(real_text.text(), real_text.size(), out);
  out = std::copy_n(kJoin, kJoinSize, out);
  out = std::copy_n(imag_text.text(), imag_text.size(), out);
  *out = 'i';
  return Outcome::value;
}

}  // namespace vk::numeric
