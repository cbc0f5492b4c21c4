// crypto_cipher.cpp: the AES-CBC text cipher and the module-key cipher.
//
// UTF-8, padded to whole 16-byte blocks (n bytes of value n), AES-CBC under
// the caller's key and IV, one line of base64.  The cipher library is
// imported at every call, so only these calls fail where it is missing.  The
// text is encoded and padded (or decoded) before the key and IV are used.
#include "module_frame.hpp"

#include "crypto/crypto.hpp"

#include <cstring>

namespace velmora::crypto {
namespace {

constexpr Py_ssize_t kBlock = 16;

Name n_crypto_cipher{"Crypto.Cipher"};
Name n_AES{"AES"};
Name n_base64{"base64"};
Name n_new{"new"};
Name n_MODE_CBC{"MODE_CBC"};
Name n_encrypt{"encrypt"};
Name n_decrypt{"decrypt"};
Name n_b64encode{"b64encode"};
Name n_decodebytes{"decodebytes"};
Name n_encode{"encode"};
Name n_decode{"decode"};
Text t_utf8{"utf-8"};

// The module's own key and IV: 16 ASCII characters each, so AES-128.  Every
// installation shares them; text already encrypted under them depends on
// their never changing.
Text t_module_key{"Qm7TxR2vLp9KdW4s"};
Text t_module_iv{"Hn3YcB8uZe5JqA1f"};

// value.encode("utf-8"): strict, so a lone surrogate raises and a value
// without an encode method raises AttributeError.  An exact str takes the
// codec directly, which is what its encode method would do.
Ref encode_utf8(Borrowed value) noexcept {
  if (PyUnicode_CheckExact(value)) return Ref::steal(PyUnicode_AsUTF8String(value));
  Borrowed codec = t_utf8.get();
  if (!codec) return {};
  return call_method(value, n_encode, {codec});
}

// value.decode("utf-8"), strict.
Ref decode_utf8(Borrowed value) noexcept {
  if (PyBytes_CheckExact(value))
    return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value),
                                           "strict"));
  Borrowed codec = t_utf8.get();
  if (!codec) return {};
  return call_method(value, n_decode, {codec});
}

// The plain bytes followed by n bytes of value n, n = 16 - len % 16: a text
// that already fills whole blocks gets a whole block of padding, so the
// padding can always be told from the text.
Ref pad(Borrowed plain) noexcept {
  if (!PyBytes_Check(plain)) {
    PyErr_Format(PyExc_TypeError, "encode() returned '%.100s' instead of 'bytes'",
                 Py_TYPE(plain)->tp_name);
    return {};
  }
  const Py_ssize_t size = PyBytes_GET_SIZE(plain);
  const Py_ssize_t n = kBlock - size % kBlock;
  if (size > PY_SSIZE_T_MAX - n) return Ref::steal(PyErr_NoMemory());
  Ref padded = Ref::steal(PyBytes_FromStringAndSize(nullptr, size + n));
  if (!padded) return {};
  char* out = PyBytes_AS_STRING(padded.get());
  if (size) std::memcpy(out, PyBytes_AS_STRING(plain), static_cast<size_t>(size));
  std::memset(out + size, static_cast<int>(n), static_cast<size_t>(n));
  return padded;
}

// Strips the padding and decodes the text.  The padding is checked in full:
// a wrong key or a damaged cipher text almost never leaves valid padding, so
// it fails here instead of coming back as an empty or truncated text.
Ref unpad_and_decode(Borrowed decrypted) noexcept {
  Py_buffer view;
  if (PyObject_GetBuffer(decrypted, &view, PyBUF_SIMPLE) < 0) return {};
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  const Py_ssize_t size = view.len;
  bool valid = size > 0;
  Py_ssize_t n = 0;
  if (valid) {
    n = bytes[size - 1];
    valid = n >= 1 && n <= kBlock && n <= size;
    for (Py_ssize_t i = size - n; valid && i < size; ++i) valid = bytes[i] == n;
  }
  Ref result;
  if (valid)
    result = Ref::steal(PyUnicode_DecodeUTF8(static_cast<const char*>(view.buf), size - n,
                                             "strict"));
  else
    PyErr_SetString(PyExc_ValueError, "Padding is incorrect.");
  PyBuffer_Release(&view);
  return result;
}

// AES.new(key.encode("utf-8"), AES.MODE_CBC, iv.encode("utf-8")), evaluated
// in that order; a new cipher object per call, so each call starts at the IV.
Ref new_cipher(Borrowed aes, Borrowed key, Borrowed iv) noexcept {
  Ref factory = get_attr(aes, n_new);
  if (!factory) return {};
  Ref key_bytes = encode_utf8(key);
  if (!key_bytes) return {};
  Ref mode = get_attr(aes, n_MODE_CBC);
  if (!mode) return {};
  Ref iv_bytes = encode_utf8(iv);
  if (!iv_bytes) return {};
  return call(factory.get(), {key_bytes.get(), mode.get(), iv_bytes.get()});
}

// The module-level function `name` called with (data, key, iv), looked up
// now so that a replacement bound by the host is the one called.
Ref call_with_module_key(const Scope& scope, Name& name, Borrowed data) noexcept {
  Borrowed key = t_module_key.get();
  Borrowed iv = t_module_iv.get();
  if (!key || !iv) return {};
  return scope.call(name, {data, key, iv});
}

}  // namespace

Ref aes_encrypt(const Scope& scope, const Borrowed* args) noexcept {
  Borrowed data = args[0], key = args[1], iv = args[2];
  Ref aes = import_from(n_crypto_cipher, n_AES, scope.globals());
  if (!aes) return {};
  Ref base64 = import_statement(n_base64, scope.globals());
  if (!base64) return {};
  Ref plain = encode_utf8(data);
  if (!plain) return {};
  Ref padded = pad(plain.get());
  if (!padded) return {};
  Ref cipher = new_cipher(aes.get(), key, iv);
  if (!cipher) return {};
  Ref encrypted = call_method(cipher.get(), n_encrypt, {padded.get()});
  if (!encrypted) return {};
  Ref encoded = call_method(base64.get(), n_b64encode, {encrypted.get()});
  if (!encoded) return {};
  return decode_utf8(encoded.get());
}

Ref aes_decrypt(const Scope& scope, const Borrowed* args) noexcept {
  Borrowed data = args[0], key = args[1], iv = args[2];
  Ref aes = import_from(n_crypto_cipher, n_AES, scope.globals());
  if (!aes) return {};
  Ref base64 = import_statement(n_base64, scope.globals());
  if (!base64) return {};
  Ref decodebytes = get_attr(base64.get(), n_decodebytes);
  if (!decodebytes) return {};
  Ref text_bytes = encode_utf8(data);
  if (!text_bytes) return {};
  Ref encrypted = call(decodebytes.get(), {text_bytes.get()});
  if (!encrypted) return {};
  Ref cipher = new_cipher(aes.get(), key, iv);
  if (!cipher) return {};
  Ref decrypted = call_method(cipher.get(), n_decrypt, {encrypted.get()});
  if (!decrypted) return {};
  return unpad_and_decode(decrypted.get());
}

Ref aes_encrypt_module(const Scope& scope, const Borrowed* args) noexcept {
  return call_with_module_key(scope, n_aes_encrypt, args[0]);
}

Ref aes_decrypt_module(const Scope& scope, const Borrowed* args) noexcept {
  return call_with_module_key(scope, n_aes_decrypt, args[0]);
}

}  // namespace velmora::crypto
