// crypto.hpp: the AES-CBC text cipher, the module-key cipher and database fields.
#ifndef VELMORA_CRYPTO_HPP
#define VELMORA_CRYPTO_HPP

#include "module_frame.hpp"

namespace velmora::crypto {

// Bodies of exported functions: arguments already bound, in parameter order.
Ref db_encrypt(const Scope& scope, const Borrowed* args) noexcept;
Ref db_decrypt(const Scope& scope, const Borrowed* args) noexcept;
Ref get_db_sgin(const Scope& scope, const Borrowed* args) noexcept;
Ref get_db_iv(const Scope& scope, const Borrowed* args) noexcept;
Ref aes_encrypt_module(const Scope& scope, const Borrowed* args) noexcept;
Ref aes_decrypt_module(const Scope& scope, const Borrowed* args) noexcept;
Ref aes_decrypt(const Scope& scope, const Borrowed* args) noexcept;
Ref aes_encrypt(const Scope& scope, const Borrowed* args) noexcept;

}  // namespace velmora::crypto

#endif
