// Building blocks of the three extension modules: builtins registered with the
// shared argument parser, exception translation, module-level bindings made at
// load time, late-bound lookups and printing through Python's print.
#pragma once

#include <pybind11/pybind11.h>

#ifdef Py_GIL_DISABLED
#error "the extension modules rely on the GIL: the free-threaded build of CPython is not supported"
#endif

#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "boundary/arguments.hpp"

namespace backtest::boundary {

namespace py = pybind11;

// The body of a module function: receives the module and the parsed arguments.
using Body = py::object (*)(py::handle module, const Arguments& args);

// Runs `body`, turning C++ and pybind11 exceptions into a raised Python error.
PyObject* call_guarded(Body body, PyObject* module, const Arguments& args) noexcept;

template <const registry::Function& R, Body F>
PyObject* builtin(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments parsed;
    if (!parse_arguments(R, args, nargs, kwnames, parsed)) return nullptr;
    return call_guarded(F, module, parsed);
}

// The C entry point of a registered function, to recognise it at call time.
template <const registry::Function& R, Body F>
PyCFunction entry_point() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&builtin<R, F>));
}

// The method of the function of registry row R, whose body is F.
template <const registry::Function& R, Body F>
PyMethodDef method() {
    static const std::string doc = text_signature(R);
    return {R.name, entry_point<R, F>(), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

// A name bound in the module namespace when it is loaded: `import module as name`
// or, with an attribute, `from module import attribute as name`.
struct Import {
    const char* name;
    const char* module;
    const char* attribute = nullptr;
};

// Creates the module, binds the imports in order, then adds the functions:
// the methods of its areas (each area's bodies bound to their rows with
// `method`) in the order of its registry rows. Null with a SystemError set
// unless every row has exactly one method.
PyObject* create_module(PyModuleDef& definition, std::initializer_list<Import> imports,
                        std::span<const registry::Function* const> rows,
                        std::initializer_list<std::vector<PyMethodDef>> areas) noexcept;

// The object bound to `name` in the module's namespace now (NameError if none).
py::object module_global(py::handle module, const char* name);

// Late binding with a fast path. When a module is loaded it keeps, as strong
// references for the life of the process, the builtins that `owner` binds to
// `names` then; a later lookup takes the fast path only while it finds the very
// object kept (`is_kept`), so a replacement of any kind is called as bound. A
// name bound then to anything but the owner's own builtin of that name (a
// replacement made before the module was loaded) keeps null, which nothing is.
// Returns false with a Python error set when a name cannot be looked up.
bool keep_builtins(py::handle owner, std::span<const char* const> names, std::span<PyObject*> kept) noexcept;

inline bool is_kept(py::handle found, PyObject* kept) { return kept != nullptr && found.ptr() == kept; }

// The interpreter's builtin of that name (print, max, min, ...) as bound now.
py::object builtin(const char* name);

// One line on standard output through the interpreter's print.
void print_line(const py::str& line);

}  // namespace backtest::boundary
