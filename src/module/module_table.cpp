// module_table.cpp: the one list of exported functions, in binding order.
#include "module_frame.hpp"

#include "module_table.hpp"

#include "catalogue/catalogue.hpp"
#include "crypto/crypto.hpp"
#include "modules/modules.hpp"
#include "plugins/plugins.hpp"

#include <string_view>

namespace velmora {
namespace {

constexpr const char kGetModuleDoc[] =
    "\n"
    "    @name 获取模块\n"
    "    @param filename<string> 模块文件名\n"
    "    @return module<object> 模块对象\n"
    "    ";

constexpr FunctionDef kTable[] = {
    {"get_plugin_list", 1, {"force"}, 1L, nullptr, catalogue::get_plugin_list},
    {"update_plugin_list", 0, {}, std::nullopt, nullptr, catalogue::update_plugin_list},
    {"plugin_run", 3, {"plugin_name", "def_name", "args"}, std::nullopt, nullptr, plugins::plugin_run},
    {"load_so_plugin", 1, {"so_path"}, std::nullopt, nullptr, plugins::load_so_plugin},
    {"module_run", 3, {"mod_name", "def_name", "args"}, std::nullopt, nullptr, modules::module_run},
    {"get_module_list", 0, {}, std::nullopt, nullptr, modules::get_module_list},
    {"get_module", 1, {"filename"}, std::nullopt, kGetModuleDoc, modules::get_module},
    {"path_check", 1, {"path"}, std::nullopt, nullptr, modules::path_check},
    {"db_encrypt", 1, {"data"}, std::nullopt, nullptr, crypto::db_encrypt},
    {"db_decrypt", 1, {"data"}, std::nullopt, nullptr, crypto::db_decrypt},
    {"__get_db_sgin", 0, {}, std::nullopt, nullptr, crypto::get_db_sgin},
    {"__get_db_iv", 0, {}, std::nullopt, nullptr, crypto::get_db_iv},
    {"__aes_encrypt_module", 1, {"data"}, std::nullopt, nullptr, crypto::aes_encrypt_module},
    {"__aes_decrypt_module", 1, {"data"}, std::nullopt, nullptr, crypto::aes_decrypt_module},
    {"__aes_decrypt", 3, {"data", "key", "iv"}, std::nullopt, nullptr, crypto::aes_decrypt},
    {"__aes_encrypt", 3, {"data", "key", "iv"}, std::nullopt, nullptr, crypto::aes_encrypt},
};

constexpr bool named(const FunctionDef& row, std::string_view name) { return row.name == name; }
// The import-time catalogue refresh calls update_plugin_list, which calls
// get_plugin_list; both must exist then, and nothing else yet.
static_assert(kBoundBeforeRefresh == 2 && named(kTable[0], "get_plugin_list") &&
                  named(kTable[1], "update_plugin_list"),
              "the catalogue refresh needs exactly its two functions bound before it");

}  // namespace

std::span<const FunctionDef> function_table() noexcept { return kTable; }

}  // namespace velmora
