// SelfSignedCertificateGenerator: a new RSA key and a self-signed
// certificate for it, written as PEM files.
//
// Both are built in full before anything is written, so a refused name or
// validity period leaves the disk untouched. Each goes to a new file beside
// its path, the key's created readable by its owner only, and the two then
// replace their paths: an existing key file never receives the new key
// under its old (possibly wider) permissions, no other process can have the
// new key file open, and a failed write leaves the old pair as it was.
#include <cerrno>

#include "core/errors.hpp"
#include "core/state.hpp"
#include "servers/init.hpp"
#include "servers/servers.hpp"
#include "core/sibling.hpp"
#include "core/with.hpp"

namespace vk::servers {
namespace {

using namespace literals;

// opener(path, flags): os.open(path, flags | os.O_EXCL, 0o600), so the
// file is new and private from the moment it exists.
PyObject* private_opener_impl(Function*, Args<"path", "flags"> args) {
  Ref os_open = global("os"_id, "open"_id);
  if (!os_open) return nullptr;
  Ref excl = global("os"_id, "O_EXCL"_id);
  if (!excl) return nullptr;
  Ref flags = Ref::steal(PyNumber_Or(args.get<"flags">(), excl.get()));
  if (!flags) return nullptr;
  Ref mode = Ref::steal(PyLong_FromLong(0600));
  if (!mode) return nullptr;
  return call(os_open.get(), args.get<"path">(), flags.get(), mode.get()).release();
}

const FunctionDef private_opener{.name = "opener", .impl = impl<private_opener_impl>};

// os.path.normcase(os.path.realpath(os.fsdecode(path)))
Ref resolved(PyObject* os, PyObject* os_path, PyObject* path) {
  Ref fsdecode = getattr(os, "fsdecode"_id);
  if (!fsdecode) return {};
  Ref realpath = getattr(os_path, "realpath"_id);
  if (!realpath) return {};
  Ref normcase = getattr(os_path, "normcase"_id);
  if (!normcase) return {};
  Ref text = call(fsdecode.get(), path);
  if (!text) return {};
  Ref real = call(realpath.get(), text.get());
  if (!real) return {};
  return call(normcase.get(), real.get());
}

// Both paths naming one file would leave only one of the two behind while
// reporting both stored, and could put the key where the certificate is
// expected: refuse before anything is written.
bool distinct_files(PyObject* os, PyObject* key_path, PyObject* certificate_path) {
  Ref os_path = getattr(os, "path"_id);
  if (!os_path) return false;
  Ref key_file = resolved(os, os_path.get(), key_path);
  if (!key_file) return false;
  Ref certificate_file = resolved(os, os_path.get(), certificate_path);
  if (!certificate_file) return false;
  const int same = PyObject_RichCompareBool(key_file.get(), certificate_file.get(), Py_EQ);
  if (same < 0) return false;
  if (same) {
    PyErr_Format(PyExc_ValueError, "private_key_path and certificate_path name the same file: %R",
                 certificate_path);
    return false;
  }
  return true;
}

// Writes `data` to a new file beside `target` (through `opener` when given,
// else created exclusively); `staged` names it as soon as it may exist.
bool write_staged(PyObject* os, PyObject* target, PyObject* data, PyObject* opener, Ref& staged) {
  Ref file = open_sibling(os, target, staged, [&](PyObject* name) {
    return opener ? call_kw(state().open, 2, kwnames<"opener">(), name, "wb"_id, opener) : call(state().open, name, "xb"_id);
  });
  const bool ok =
      file && with_block(file.get(), [&](PyObject* f) { return static_cast<bool>(call_method(f, "write"_id, data)); });
  if (!ok && staged) blame_target(staged.get(), target);
  return ok;
}

// A folder at `path` is refused as opening it would be, before either file
// moves: a move refused half way would leave a new key beside an old
// certificate.
bool not_a_folder(PyObject* os, PyObject* path) {
  Ref os_path = getattr(os, "path"_id);
  if (!os_path) return false;
  Ref answer = call_method(os_path.get(), "isdir"_id, path);
  if (!answer) return false;
  const int folder = PyObject_IsTrue(answer.get());
  if (folder <= 0) return folder == 0;
  errno = EISDIR;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  return false;
}

// Writes the key and the certificate to new files beside their paths, then
// moves both into place, the key first. A failure before the moves leaves
// both paths as they were and removes the new files.
bool write_pair(PyObject* self, PyObject* key_pem, PyObject* certificate_pem) {
  Ref os = global("os"_id);
  if (!os) return false;
  Ref fspath = getattr(os.get(), "fspath"_id);
  if (!fspath) return false;
  Ref replace = getattr(os.get(), "replace"_id);
  if (!replace) return false;
  Ref key_path = getattr(self, "private_key_path"_id);
  if (!key_path) return false;
  key_path = call(fspath.get(), key_path.get());
  if (!key_path) return false;
  Ref certificate_path = getattr(self, "certificate_path"_id);
  if (!certificate_path) return false;
  certificate_path = call(fspath.get(), certificate_path.get());
  if (!certificate_path || !distinct_files(os.get(), key_path.get(), certificate_path.get())) return false;
  Ref opener = make_function(private_opener, {.qualname = "SelfSignedCertificateGenerator.generate.<locals>.opener"});
  if (!opener) return false;

  Ref staged_key, staged_certificate;
  const bool ok = write_staged(os.get(), key_path.get(), key_pem, opener.get(), staged_key) &&
                  write_staged(os.get(), certificate_path.get(), certificate_pem, nullptr, staged_certificate) &&
                  not_a_folder(os.get(), key_path.get()) && not_a_folder(os.get(), certificate_path.get()) &&
                  call(replace.get(), staged_key.get(), key_path.get()) &&
                  (staged_key = Ref(), call(replace.get(), staged_certificate.get(), certificate_path.get()));
  if (!ok) {
    if (staged_key) remove_quietly(os.get(), staged_key.get());
    if (staged_certificate) remove_quietly(os.get(), staged_certificate.get());
  }
  return ok;
}

// x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
Ref common_name_only(PyObject* x509, PyObject* common_name) {
  Ref name_type = getattr(x509, "Name"_id);
  if (!name_type) return {};
  Ref attribute_type = getattr(x509, "NameAttribute"_id);
  if (!attribute_type) return {};
  Ref oid = global("NameOID"_id, "COMMON_NAME"_id);
  if (!oid) return {};
  Ref attribute = call(attribute_type.get(), oid.get(), common_name);
  if (!attribute) return {};
  Ref attributes = Ref::steal(PyList_New(1));
  if (!attributes) return {};
  PyList_SET_ITEM(attributes.get(), 0, attribute.release());
  return call(name_type.get(), attributes.get());
}

// builder = builder.<step>(argument)
bool chain(Ref& builder, PyObject* step, PyObject* argument) {
  builder = call_method(builder.get(), step, argument);
  return static_cast<bool>(builder);
}

// The signed certificate for `key`, named and valid as the instance says.
Ref build_certificate(PyObject* self, PyObject* key) {
  Ref x509 = global("x509"_id);
  if (!x509) return {};
  Ref common_name = getattr(self, "common_name"_id);
  if (!common_name) return {};
  Ref name = common_name_only(x509.get(), common_name.get());
  if (!name) return {};

  Ref builder_type = getattr(x509.get(), "CertificateBuilder"_id);
  if (!builder_type) return {};
  Ref builder = call(builder_type.get());
  if (!builder || !chain(builder, "subject_name"_id, name.get()) || !chain(builder, "issuer_name"_id, name.get()))
    return {};
  Ref public_key = call_method(key, "public_key"_id);
  if (!public_key || !chain(builder, "public_key"_id, public_key.get())) return {};
  Ref random_serial = getattr(x509.get(), "random_serial_number"_id);
  if (!random_serial) return {};
  Ref serial = call(random_serial.get());
  if (!serial || !chain(builder, "serial_number"_id, serial.get())) return {};

  // Two readings of the clock: the period ends validity_days after the
  // second one.
  Ref datetime_module = global("datetime"_id);
  if (!datetime_module) return {};
  Ref datetime_type = getattr(datetime_module.get(), "datetime"_id);
  if (!datetime_type) return {};
  Ref not_before = call_method(datetime_type.get(), "utcnow"_id);
  if (!not_before || !chain(builder, "not_valid_before"_id, not_before.get())) return {};
  Ref now = call_method(datetime_type.get(), "utcnow"_id);
  if (!now) return {};
  Ref timedelta = getattr(datetime_module.get(), "timedelta"_id);
  if (!timedelta) return {};
  Ref days = getattr(self, "validity_days"_id);
  if (!days) return {};
  Ref period = call_kw(timedelta.get(), 0, kwnames<"days">(), days.get());
  if (!period) return {};
  Ref not_after = Ref::steal(PyNumber_Add(now.get(), period.get()));
  if (!not_after || !chain(builder, "not_valid_after"_id, not_after.get())) return {};

  Ref san_type = getattr(x509.get(), "SubjectAlternativeName"_id);
  if (!san_type) return {};
  Ref dns_type = getattr(x509.get(), "DNSName"_id);
  if (!dns_type) return {};
  common_name = getattr(self, "common_name"_id);
  if (!common_name) return {};
  Ref dns_name = call(dns_type.get(), common_name.get());
  if (!dns_name) return {};
  Ref dns_names = Ref::steal(PyList_New(1));
  if (!dns_names) return {};
  PyList_SET_ITEM(dns_names.get(), 0, dns_name.release());
  Ref san = call(san_type.get(), dns_names.get());
  if (!san) return {};
  Ref add_extension = getattr(builder.get(), "add_extension"_id);
  if (!add_extension) return {};
  builder = call_kw(add_extension.get(), 1, kwnames<"critical">(), san.get(), Py_False);
  if (!builder) return {};

  Ref sha256_type = global("hashes"_id, "SHA256"_id);
  if (!sha256_type) return {};
  Ref sha256 = call(sha256_type.get());
  if (!sha256) return {};
  return call_method(builder.get(), "sign"_id, key, sha256.get());
}

PyObject* generate_impl(Function*, Args<"self"> args) {
  PyObject* self = args.get<"self">();

  Ref generate_private_key = global("rsa"_id, "generate_private_key"_id);
  if (!generate_private_key) return nullptr;
  Ref exponent = Ref::steal(PyLong_FromLong(65537));
  if (!exponent) return nullptr;
  Ref key_size = getattr(self, "key_size"_id);
  if (!key_size) return nullptr;
  Ref key = call_kw(generate_private_key.get(), 0, kwnames<"public_exponent", "key_size">(), exponent.get(),
                    key_size.get());
  if (!key) return nullptr;

  Ref serialization = global("serialization"_id);
  if (!serialization) return nullptr;
  Ref encoding = getattr(serialization.get(), "Encoding"_id);
  if (!encoding) return nullptr;
  Ref private_format = getattr(serialization.get(), "PrivateFormat"_id);
  if (!private_format) return nullptr;
  Ref no_encryption_type = getattr(serialization.get(), "NoEncryption"_id);
  if (!no_encryption_type) return nullptr;
  Ref pem = getattr(encoding.get(), "PEM"_id);
  if (!pem) return nullptr;
  Ref pkcs8 = getattr(private_format.get(), "PKCS8"_id);
  if (!pkcs8) return nullptr;
  Ref no_encryption = call(no_encryption_type.get());
  if (!no_encryption) return nullptr;
  Ref private_bytes = getattr(key.get(), "private_bytes"_id);
  if (!private_bytes) return nullptr;
  Ref key_pem = call_kw(private_bytes.get(), 0, kwnames<"encoding", "format", "encryption_algorithm">(), pem.get(),
                        pkcs8.get(), no_encryption.get());
  if (!key_pem) return nullptr;

  Ref certificate = build_certificate(self, key.get());
  if (!certificate) return nullptr;
  Ref certificate_pem = call_method(certificate.get(), "public_bytes"_id, pem.get());
  if (!certificate_pem) return nullptr;

  if (!write_pair(self, key_pem.get(), certificate_pem.get())) return nullptr;

  Ref key_path = getattr(self, "private_key_path"_id);
  if (!key_path) return nullptr;
  Ref key_text = format(key_path.get());
  if (!key_text) return nullptr;
  Ref certificate_path = getattr(self, "certificate_path"_id);
  if (!certificate_path) return nullptr;
  Ref certificate_text = format(certificate_path.get());
  if (!certificate_text) return nullptr;
  Ref line = concat({new_str("The self-signed certificate is generated, the private key is stored in ").get(),
                     key_text.get(), new_str(", and the certificate is stored in ").get(), certificate_text.get(),
                     new_str(" .").get()});
  if (!print_line(line.get())) return nullptr;
  return Py_NewRef(Py_None);
}

constexpr const char* kInitDoc =
    "\n"
    "        初始化生成器\n"
    "\n"
    "        :param common_name: 证书的通用名称（CN），通常是域名或服务器名称\n"
    "        :param private_key_path: 私钥文件的保存路径\n"
    "        :param certificate_path: 证书文件的保存路径\n"
    "        :param key_size: 私钥的位数，默认为 2048\n"
    "        :param validity_days: 证书的有效期（天），默认为 365 天\n"
    "        ";

constexpr const char* kGenerateDoc =
    "\n"
    "        生成自签名证书\n"
    "        ";

}  // namespace

const FunctionDef certificate_init{
    .name = "__init__",
    .impl = impl<store_parameters<"common_name", "private_key_path", "certificate_path", "key_size", "validity_days">>,
    .doc = kInitDoc,
    .defaults = [] { return build("(ssii)", "private_key.pem", "certificate.pem", 2048, 365); },
};
const FunctionDef certificate_generate{
    .name = "generate", .impl = impl<generate_impl>, .doc = kGenerateDoc};

}  // namespace vk::servers
