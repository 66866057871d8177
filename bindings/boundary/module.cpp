#include "boundary/module.hpp"

#include <exception>
#include <memory>
#include <new>
#include <string_view>

namespace backtest::boundary {

PyObject* call_guarded(Body body, PyObject* module, const Arguments& args) noexcept {
    try {
        return body(module, args).release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

namespace {

// The methods of the areas in the order of the rows, ending with the null
// entry. False with a SystemError set unless every row has exactly one method.
bool order_methods(std::span<const registry::Function* const> rows,
                   std::initializer_list<std::vector<PyMethodDef>> areas, std::vector<PyMethodDef>& table) {
    std::size_t methods = 0;
    for (const std::vector<PyMethodDef>& area : areas) methods += area.size();
    for (const registry::Function* row : rows) {
        const PyMethodDef* found = nullptr;
        for (const std::vector<PyMethodDef>& area : areas) {
            for (const PyMethodDef& method : area) {
                if (std::string_view(method.ml_name) != row->name) continue;
                if (found != nullptr) {
                    PyErr_Format(PyExc_SystemError, "%s has two methods", row->name);
                    return false;
                }
                found = &method;
            }
        }
        if (found == nullptr) {
            PyErr_Format(PyExc_SystemError, "%s has no method", row->name);
            return false;
        }
        table.push_back(*found);
    }
    if (methods != rows.size()) {
        PyErr_SetString(PyExc_SystemError, "a method has no row in the registry");
        return false;
    }
    table.push_back({nullptr, nullptr, 0, nullptr});
    return true;
}

}  // namespace

PyObject* create_module(PyModuleDef& definition, std::initializer_list<Import> imports,
                        std::span<const registry::Function* const> rows,
                        std::initializer_list<std::vector<PyMethodDef>> areas) noexcept {
    std::unique_ptr<std::vector<PyMethodDef>> methods;
    try {
        methods = std::make_unique<std::vector<PyMethodDef>>();
        if (!order_methods(rows, areas, *methods)) return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* module = PyModule_Create(&definition);
    if (module == nullptr) return nullptr;
    for (const Import& import : imports) {
        PyObject* bound = PyImport_ImportModule(import.module);
        if (bound != nullptr && import.attribute != nullptr) {
            PyObject* attribute = PyObject_GetAttrString(bound, import.attribute);
            Py_SETREF(bound, attribute);
        }
        const int status = bound == nullptr ? -1 : PyModule_AddObjectRef(module, import.name, bound);
        Py_XDECREF(bound);
        if (status < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (PyModule_AddFunctions(module, methods->data()) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    // the table stays as long as the module, which lives as long as the process
    methods.release();
    return module;
}

py::object module_global(py::handle module, const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module.ptr()), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

namespace {

// `owner`'s own builtin of that name: created by the owner (bound to it) and
// named so, which tells it from another of the owner's builtins bound to this name.
bool is_own_builtin(py::handle owner, const char* name, py::handle object) {
    if (!PyCFunction_Check(object.ptr()) || PyCFunction_GetSelf(object.ptr()) != owner.ptr()) return false;
    return py::str(object.attr("__name__")).equal(py::str(name));
}

}  // namespace

bool keep_builtins(py::handle owner, std::span<const char* const> names, std::span<PyObject*> kept) noexcept {
    try {
        for (std::size_t i = 0; i < names.size(); ++i) {
            py::object bound = py::reinterpret_steal<py::object>(PyObject_GetAttrString(owner.ptr(), names[i]));
            if (!bound) return false;
            Py_XSETREF(kept[i], is_own_builtin(owner, names[i], bound) ? bound.release().ptr() : nullptr);
        }
        return true;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return false;
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

void print_line(const py::str& line) { builtin("print")(line); }

}  // namespace backtest::boundary
