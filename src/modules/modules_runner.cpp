// modules_runner.cpp: module_run, which checks a module and a method name,
// finds the module file under the class directory, has the host load it and
// calls the method of the module's entry object.
//
// Expected failures come back as public.returnMsg(False, message); every
// other exception propagates unchanged, except inside the one guarded block
// that makes the entry object and reads the method from it.
#include "module_frame.hpp"

#include "modules/modules.hpp"

#include "host/host_calls.hpp"

namespace velmora::modules {
namespace {

Name n_format{"format"};
Name n_main{"main"};
Name n_path_check{"path_check"};
Name n_get_module_list{"get_module_list"};
Name n_model_index{"model_index"};
Name n_module_get_object{"module_get_object"};

// The module file patterns, filled in with str.format.
Text t_chosen{"{}/{}Model/{}Model.py"};
Text t_project{"{}/projectModel/{}Model.py"};
Text t_search{"{}/{}/{}Model.py"};

Text t_msg_empty{"模块名称和模块方法名称不能为空!"};
Text t_msg_special{"模块名或方法名不能包含特殊符号!"};
Text t_msg_missing{"模块[%s]不存在"};
Text t_msg_not_loaded{"模块[%s]不存在!"};
Text t_msg_entry_failed{"模块入口实例化失败"};
Text t_msg_no_method{"在[%s]模块中找不到[%s]方法"};

// public.returnMsg(False, message % values), `%` being the interpreter's
// operator (so a tuple value is spread over the placeholders as usual).
Ref fail_with(const Scope& scope, Text& message, Borrowed values) noexcept {
  Borrowed format = message.get();
  if (format == nullptr) return {};
  Ref text = Ref::steal(PyNumber_Remainder(format, values));
  if (!text) return {};
  return host::return_msg(scope, text.get());
}

// `key in request`, the key given as text.
Truth has_key(Borrowed request, Name& key) noexcept {
  Borrowed key_text = key.get();
  if (key_text == nullptr) return Truth::error;
  return contains(request, key_text);
}

// path_check(name), looked up now so a replacement bound on the module is
// the one asked.
Truth name_passes(const Scope& scope, Borrowed name) noexcept {
  Ref result = scope.call(n_path_check, {name});
  if (!result) return Truth::error;
  return truth(result.get());
}

// The text str.format("{}", value) puts into a path, as an exact str.  A str
// subclass (or whatever __format__ hands back) may answer `in` and
// __format__ differently from the characters it holds; the characters are
// what the file system sees, so they are what gets checked and used.
Ref exact_text(Borrowed value) noexcept {
  Ref formatted = format_of(value);
  if (!formatted || PyUnicode_CheckExact(formatted.get())) return formatted;
  return Ref::steal(PyUnicode_FromObject(formatted.get()));
}

// pattern.format(public.get_class_path(), first[, second])
Ref module_path(const Scope& scope, Text& pattern, Borrowed first,
                Borrowed second = nullptr) noexcept {
  Borrowed pattern_text = pattern.get();
  if (pattern_text == nullptr) return {};
  Ref class_path = host::get_class_path(scope);
  if (!class_path) return {};
  if (second == nullptr) return call_method(pattern_text, n_format, {class_path.get(), first});
  return call_method(pattern_text, n_format, {class_path.get(), first, second});
}

// The outcome of choosing the module file: a path, or a finished answer
// (a refusal result, or a null Ref with the error set) to return at once.
struct Choice {
  Ref path;
  Ref answer;
  bool settled = false;
};

Choice settled(Ref answer) noexcept { return {Ref(), std::move(answer), true}; }

// The directory the caller named through args.model_index.  Its text goes
// into the path of a file that is then executed, so it has to pass the same
// name check as the module and method names: "../" in it would otherwise run
// code from anywhere on disk.
Choice chosen_directory(const Scope& scope, Borrowed path_name, Borrowed args) noexcept {
  Ref model_index = get_attr(args, n_model_index);
  if (!model_index) return settled({});
  Truth given = truth(model_index.get());
  if (given == Truth::error) return settled({});
  if (given == Truth::no) return {module_path(scope, t_project, path_name), Ref(), false};
  // The text that is checked is the very text put into the path.
  Ref directory = exact_text(model_index.get());
  if (!directory) return settled({});
  Truth passes = name_passes(scope, directory.get());
  if (passes == Truth::error) return settled({});
  if (passes == Truth::no) return settled(host::return_msg(scope, t_msg_special));
  return {module_path(scope, t_chosen, directory.get(), path_name), Ref(), false};
}

// Searches the listed module directories in order and stops at the first
// candidate that exists; the last candidate otherwise; none for an empty
// list (a null path with no error set).
Choice searched_directory(const Scope& scope, Borrowed path_name) noexcept {
  Ref module_list = scope.call(n_get_module_list, {});
  if (!module_list) return settled({});
  Ref dirs = Ref::steal(PyObject_GetIter(module_list.get()));
  if (!dirs) return settled({});
  Ref candidate;
  while (Ref module_dir = Ref::steal(PyIter_Next(dirs.get()))) {
    candidate = module_path(scope, t_search, module_dir.get(), path_name);
    if (!candidate) return settled({});
    Truth exists = os_path_exists(scope, candidate.get());
    if (exists == Truth::error) return settled({});
    if (exists == Truth::yes) break;
  }
  if (PyErr_Occurred()) return settled({});
  return {std::move(candidate), Ref(), false};
}

// main() of the loaded module, then getattr(entry, def_name, None).  Any
// exception at all ends here as the entry-failure result; if making that
// result raises in turn, the discarded exception becomes its context, as an
// except block would leave it.
Ref entry_method(const Scope& scope, Borrowed def_object, Borrowed def_name, bool* failed) noexcept {
  *failed = false;
  Ref entry;
  if (Ref main = get_attr(def_object, n_main)) entry = call(main.get(), {});
  Ref method;
  if (entry) {
    method = get_attr(entry.get(), def_name);
    if (!method && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      method = Ref::borrow(Py_None);
    }
  }
  if (method) return method;
  *failed = true;
  CaughtError discarded = CaughtError::fetch();
  Ref result = host::return_msg(scope, t_msg_entry_failed);
  if (!result) discarded.chain_into_pending();
  return result;
}

}  // namespace

Ref module_run(const Scope& scope, const Borrowed* args) noexcept {
  Borrowed mod_name = args[0];
  Borrowed def_name = args[1];
  Borrowed request = args[2];

  Truth named = truth(mod_name);
  if (named == Truth::yes) named = truth(def_name);
  if (named == Truth::error) return {};
  if (named == Truth::no) return host::return_msg(scope, t_msg_empty);

  // The module name as it goes into every path of this call.  For anything
  // but an exact str, the object's own answer to path_check says nothing
  // about its text (a list passes whatever it holds), so that text, taken
  // once, has to pass as well.
  Ref converted;
  Borrowed path_name = mod_name;
  Truth clean = name_passes(scope, mod_name);
  if (clean == Truth::yes && !PyUnicode_CheckExact(mod_name)) {
    converted = exact_text(mod_name);
    if (!converted) return {};
    path_name = converted.get();
    clean = name_passes(scope, path_name);
  }
  if (clean == Truth::yes) clean = name_passes(scope, def_name);
  if (clean == Truth::error) return {};
  if (clean == Truth::no) return host::return_msg(scope, t_msg_special);

  Truth directory_given = has_key(request, n_model_index);
  if (directory_given == Truth::error) return {};
  Choice choice = directory_given == Truth::yes ? chosen_directory(scope, path_name, request)
                                                : searched_directory(scope, path_name);
  if (choice.settled) return std::move(choice.answer);
  if (!choice.path) {
    if (PyErr_Occurred()) return {};
    return fail_with(scope, t_msg_missing, mod_name);
  }
  Borrowed mod_file = choice.path.get();

  Truth exists = os_path_exists(scope, mod_file);
  if (exists == Truth::error) return {};
  if (exists == Truth::no) return fail_with(scope, t_msg_missing, mod_name);

  Ref def_object = host::get_script_object(scope, mod_file);
  if (!def_object) return {};
  Truth loaded = truth(def_object.get());
  if (loaded == Truth::error) return {};
  if (loaded == Truth::no) return fail_with(scope, t_msg_not_loaded, mod_name);

  bool entry_failed = false;
  Ref run_object = entry_method(scope, def_object.get(), def_name, &entry_failed);
  if (entry_failed || !run_object) return run_object;

  Truth found = truth(run_object.get());
  if (found == Truth::error) return {};
  if (found == Truth::no) {
    Ref names = Ref::steal(PyTuple_Pack(2, mod_name, def_name));
    if (!names) return {};
    return fail_with(scope, t_msg_no_method, names.get());
  }

  Truth wants_object = asks_for_object(request, n_module_get_object);
  if (wants_object == Truth::error) return {};
  if (wants_object == Truth::yes) return run_object;

  // Outside the guard: whatever the method raises reaches the caller.
  return call(run_object.get(), {request});
}

}  // namespace velmora::modules
