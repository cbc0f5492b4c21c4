// modules_path_check.cpp: path_check, the test a module or method name must
// pass before it is built into a file path or used to look a method up.
#include "module_frame.hpp"

#include "modules/modules.hpp"

#include <array>
#include <cstddef>
#include <utility>

namespace velmora::modules {
namespace {

// The refused character sequences, in the order they are tested.  Only the
// first two are longer than one character; the fast scan below relies on
// that (see the static_assert).
constexpr const char* kForbidden[] = {
    "./", "..", ",",  ";",  ":",  "?",  "'",  "\"", "<",  ">",
    "|",  "\\", "\n", "\r", "\t", "\b", "\a", "\f", "\v", "*",
    "%",  "&",  "$",  "#",  "@",  "!",  "~",  "`",  "^",  "(",
    ")",  "+",  "=",  "{",  "}",  "[",  "]",
};
constexpr std::size_t kForbiddenCount = std::size(kForbidden);
static_assert(kForbiddenCount == 37);

constexpr std::size_t length_of(const char* s) {
  std::size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

constexpr bool only_dot_pairs_are_long() {
  for (const char* entry : kForbidden) {
    std::size_t n = length_of(entry);
    if (n == 0 || n > 2) return false;
    if (n == 2 && (entry[0] != '.' || (entry[1] != '/' && entry[1] != '.'))) return false;
    if (n == 1 && static_cast<unsigned char>(entry[0]) >= 0x80) return false;
  }
  return true;
}
static_assert(only_dot_pairs_are_long(),
              "the single-pass scan knows only one-character ASCII entries and \"./\", \"..\"");

// Which ASCII code points are refused on their own.
constexpr std::array<bool, 128> single_table() {
  std::array<bool, 128> table{};
  for (const char* entry : kForbidden) {
    if (length_of(entry) == 1) table[static_cast<unsigned char>(entry[0])] = true;
  }
  return table;
}
constexpr std::array<bool, 128> kRefused = single_table();

// One pass over the code points: a refused character anywhere, or a "."
// followed by "/" or ".", refuses the name.  Since the answer is only yes or
// no, the order of the entries cannot show through for an exact str.
template <typename Char>
bool scan_passes(const Char* data, Py_ssize_t length) noexcept {
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = data[i];
    if (c >= 128) continue;
    if (kRefused[c]) return false;
    if (c == '.' && i + 1 < length) {
      Py_UCS4 next = data[i + 1];
      if (next == '/' || next == '.') return false;
    }
  }
  return true;
}

template <std::size_t... I>
std::array<Text, kForbiddenCount> make_texts(std::index_sequence<I...>) noexcept {
  return {Text{kForbidden[I]}...};
}
// The same entries as interpreter texts, for names that are not exact str.
std::array<Text, kForbiddenCount> forbidden_texts =
    make_texts(std::make_index_sequence<kForbiddenCount>{});

Ref answer(bool passes) noexcept { return Ref::borrow(passes ? Py_True : Py_False); }

}  // namespace

Ref path_check(const Scope&, const Borrowed* args) noexcept {
  Borrowed path = args[0];
  if (PyUnicode_CheckExact(path)) {
    if (!str_ready(path)) return {};
    const void* data = PyUnicode_DATA(path);
    Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    switch (PyUnicode_KIND(path)) {
      case PyUnicode_1BYTE_KIND:
        return answer(scan_passes(static_cast<const Py_UCS1*>(data), length));
      case PyUnicode_2BYTE_KIND:
        return answer(scan_passes(static_cast<const Py_UCS2*>(data), length));
      default:
        return answer(scan_passes(static_cast<const Py_UCS4*>(data), length));
    }
  }
  // Anything else may define its own membership test (a str subclass with
  // __contains__, a list, ...): ask it about each entry in order, exactly as
  // `entry in path` would, and let its errors through.
  for (Text& entry : forbidden_texts) {
    Borrowed text = entry.get();
    if (text == nullptr) return {};
    Truth found = contains(path, text);
    if (found == Truth::error) return {};
    if (found == Truth::yes) return answer(false);
  }
  return answer(true);
}

}  // namespace velmora::modules
