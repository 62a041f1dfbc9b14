// Module entry: builds the nine submodules and registers their functions.
#include <pthread.h>

#include <array>

#include "augmentation/fft_plan_cache.hpp"
#include "batch/pool.hpp"
#include "bindings/bindings.hpp"

namespace qm {
namespace {

using py::Ref;

// Appends `name` to module.__all__ (creating the list on first use), then
// sets the attribute.
void add(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_current();
        PyErr_Clear();
        all = py::check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            py::throw_current();
        }
    }
    Ref all_ref(all);
    if (!PyList_Check(all)) py::throw_type_error("'" + py::type_name(all) + "' object is not an instance of 'list'");
    Ref name_obj(PyUnicode_FromString(name));
    if (PyList_Append(all, name_obj.get()) < 0) fault("could not append __name__ to __all__");
    if (PyObject_SetAttrString(module, name, value) < 0) py::throw_current();
}

void add_submodule(PyObject* parent, PyObject* sys_modules, const char* name, const py::FunctionTable& functions) {
    Ref sub(PyModule_New(name));
    Ref module_name(PyUnicode_FromString(name));
    for (const py::FunctionDef* def : functions) {
        Ref fn(PyCFunction_NewEx(const_cast<PyMethodDef*>(&def->method), nullptr, module_name.get()));
        Ref fn_name(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!PyUnicode_Check(fn_name.get()))
            py::throw_type_error("'" + py::type_name(fn_name.get()) + "' object is not an instance of 'str'");
        const char* fn_text = PyUnicode_AsUTF8(fn_name.get());
        if (fn_text == nullptr) py::throw_current();
        add(sub.get(), fn_text, fn.get());
    }
    add(parent, name, sub.get());
    std::string key = std::string("quillmarten._lib.") + name;
    if (PyDict_SetItemString(sys_modules, key.c_str(), sub.get()) < 0) py::throw_current();
}

// Every lock a forked child could inherit held, in the order taken before a
// fork: the pools', then the FFT plan cache's, then the borrow registry's.
// No lock of one part is ever taken while a lock of another is held.
std::array<ForkHooks, 3> fork_hooks;

void before_fork() {
    for (const ForkHooks& h : fork_hooks) h.prepare();
}

void after_fork_in_parent() {
    for (auto h = fork_hooks.rbegin(); h != fork_hooks.rend(); ++h) h->parent();
}

void after_fork_in_child() {
    for (auto h = fork_hooks.rbegin(); h != fork_hooks.rend(); ++h) h->child();
}

// Creates the process-wide state that a fork must see consistent and
// registers the fork handlers, once, before any call can take one of the
// locks: a handler registered while a fork is under way would miss it.
void install_fork_hooks() {
    static const bool installed = [] {
        fork_hooks = {pool_fork_hooks(), fft_plan_fork_hooks(), py::borrow_fork_hooks()};
        if (::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) throw std::bad_alloc();
        return true;
    }();
    (void)installed;
}

int lib_module_exec(PyObject* module) {
    try {
        install_fork_hooks();
        if (!PyModule_Check(module))
            py::throw_type_error("'" + py::type_name(module) + "' object is not an instance of 'module'");
        Ref title(PyUnicode_FromString("Quillmarten: accelerated native generators for synthetic time series."));
        add(module, "__doc__", title.get());
        Ref sys_modules = Ref::borrow(PySys_GetObject("modules"));
        if (!sys_modules) py::throw_type_error("sys.modules is not available");
        using namespace bindings;
        add_submodule(module, sys_modules.get(), "augmentation", augmentation_functions);
        add_submodule(module, sys_modules.get(), "pattern_injection", pattern_injection_functions);
        add_submodule(module, sys_modules.get(), "distributions", distributions_functions);
        add_submodule(module, sys_modules.get(), "statistical", statistical_functions);
        add_submodule(module, sys_modules.get(), "stochastic", stochastic_functions);
        add_submodule(module, sys_modules.get(), "volatility", volatility_functions);
        add_submodule(module, sys_modules.get(), "multivariate", multivariate_functions);
        add_submodule(module, sys_modules.get(), "domain", domain_functions);
        add_submodule(module, sys_modules.get(), "batch", batch_functions);
        return 0;
    } catch (...) {
        py::translate_exception();
        return -1;
    }
}

PyModuleDef_Slot lib_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&lib_module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef lib_def = {
    PyModuleDef_HEAD_INIT, "_lib", nullptr, 0, nullptr, lib_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit__lib() { return PyModuleDef_Init(&qm::lib_def); }
