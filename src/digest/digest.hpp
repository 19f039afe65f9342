// The digest functions: what this folder offers the module body.
#pragma once

#include "core/function.hpp"

namespace vk::digest {

extern const FunctionDef calculate_hash, sha256, sha384, sha224, sha1, sha512, md5, blake2b, sha3_256, shake_128,
    shake_256, sha3_384, sha3_512, blake2s;

}  // namespace vk::digest
