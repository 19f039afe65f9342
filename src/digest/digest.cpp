// Hexadecimal digests of text or bytes through hashlib.
#include "digest/digest.hpp"

#include "core/state.hpp"

namespace vk::digest {
namespace {

using namespace literals;

// Text becomes its UTF-8 bytes; anything else (bytes or another buffer)
// goes to hashlib as it is, uncopied. An exact str is encoded directly,
// which gives the bytes its encode("utf-8") method would; a subclass of
// str is asked through its own encode method.
Ref as_bytes(PyObject* data) {
  if (PyUnicode_CheckExact(data)) return Ref::steal(PyUnicode_AsUTF8String(data));
  if (PyUnicode_Check(data)) return call_method(data, "encode"_id, "utf-8"_id);
  return Ref::borrow(data);
}

PyObject* calculate_hash_impl(Function*, Args<"data", "algorithm"> args) {
  Ref data = as_bytes(args.get<"data">());
  if (!data) return nullptr;
  Ref hash_object = call(args.get<"algorithm">(), data.get());
  if (!hash_object) return nullptr;
  return call_method(hash_object.get(), "hexdigest"_id).release();
}

// Which hashlib constructor a digest function uses.
struct Algorithm {
  PyObject* (*constructor)() noexcept;
};

Ref constructor(const Function* self) {
  return global("hashlib"_id, static_cast<const Algorithm*>(self->def->data)->constructor());
}

// _calculate_hash(data, hashlib.<name>), both names looked up now.
PyObject* fixed_impl(Function* self, Args<"data"> args) {
  Ref calculate = global("_calculate_hash"_id);
  if (!calculate) return nullptr;
  Ref algorithm = constructor(self);
  if (!algorithm) return nullptr;
  return call(calculate.get(), args.get<"data">(), algorithm.get()).release();
}

// hashlib.<name>(data).hexdigest(16): 16 bytes of output.
PyObject* shake_impl(Function* self, Args<"data"> args) {
  Ref data = as_bytes(args.get<"data">());
  if (!data) return nullptr;
  Ref algorithm = constructor(self);
  if (!algorithm) return nullptr;
  Ref hash_object = call(algorithm.get(), data.get());
  if (!hash_object) return nullptr;
  Ref length = Ref::steal(PyLong_FromLong(16));
  if (!length) return nullptr;
  return call_method(hash_object.get(), "hexdigest"_id, length.get()).release();
}

constexpr Algorithm kSha256{&interned<"sha256">};
constexpr Algorithm kSha384{&interned<"sha384">};
constexpr Algorithm kSha224{&interned<"sha224">};
constexpr Algorithm kSha1{&interned<"sha1">};
constexpr Algorithm kSha512{&interned<"sha512">};
constexpr Algorithm kMd5{&interned<"md5">};
constexpr Algorithm kBlake2b{&interned<"blake2b">};
constexpr Algorithm kSha3_256{&interned<"sha3_256">};
constexpr Algorithm kShake128{&interned<"shake_128">};
constexpr Algorithm kShake256{&interned<"shake_256">};
constexpr Algorithm kSha3_384{&interned<"sha3_384">};
constexpr Algorithm kSha3_512{&interned<"sha3_512">};
constexpr Algorithm kBlake2s{&interned<"blake2s">};

}  // namespace

const FunctionDef calculate_hash{.name = "_calculate_hash", .impl = impl<calculate_hash_impl>};
const FunctionDef sha256{.name = "sha256", .impl = impl<fixed_impl>, .data = &kSha256};
const FunctionDef sha384{.name = "sha384", .impl = impl<fixed_impl>, .data = &kSha384};
const FunctionDef sha224{.name = "sha224", .impl = impl<fixed_impl>, .data = &kSha224};
const FunctionDef sha1{.name = "sha1", .impl = impl<fixed_impl>, .data = &kSha1};
const FunctionDef sha512{.name = "sha512", .impl = impl<fixed_impl>, .data = &kSha512};
const FunctionDef md5{.name = "md5", .impl = impl<fixed_impl>, .data = &kMd5};
const FunctionDef blake2b{.name = "blake2b", .impl = impl<fixed_impl>, .data = &kBlake2b};
const FunctionDef sha3_256{.name = "sha3_256", .impl = impl<fixed_impl>, .data = &kSha3_256};
const FunctionDef shake_128{.name = "shake_128", .impl = impl<shake_impl>, .data = &kShake128};
const FunctionDef shake_256{.name = "shake_256", .impl = impl<shake_impl>, .data = &kShake256};
const FunctionDef sha3_384{.name = "sha3_384", .impl = impl<fixed_impl>, .data = &kSha3_384};
const FunctionDef sha3_512{.name = "sha3_512", .impl = impl<fixed_impl>, .data = &kSha3_512};
const FunctionDef blake2s{.name = "blake2s", .impl = impl<fixed_impl>, .data = &kBlake2s};

}  // namespace vk::digest
