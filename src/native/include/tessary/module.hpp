// Module definition: like NB_MODULE, but a failed initialisation raises its own error (an import's
// ImportError, an AttributeError, a validation error) as a Python module's body would, and the
// module dict is recorded for late-bound globals before the body runs.
#pragma once

#include <tessary/globals.hpp>

#define TESSARY_MODULE(name, variable)                                                        \
    static void tessary_##name##_body(nanobind::module_);                                      \
    static int tessary_##name##_exec(PyObject *module) {                                       \
        nanobind::detail::nb_module_exec(NB_DOMAIN_STR, module);                               \
        try {                                                                                  \
            nanobind::module_ handle = nanobind::borrow<nanobind::module_>(module);            \
            tessary::bind_module(handle);                                                      \
            tessary_##name##_body(handle);                                                     \
            return 0;                                                                          \
        } catch (...) {                                                                        \
            tessary::restore_current_exception();                                              \
            return -1;                                                                         \
        }                                                                                      \
    }                                                                                          \
    static PyModuleDef_Slot tessary_##name##_slots[] = {                                       \
        {Py_mod_exec, reinterpret_cast<void *>(tessary_##name##_exec)},                        \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},            \
        {0, nullptr},                                                                          \
    };                                                                                         \
    static PyModuleDef tessary_##name##_module = {                                             \
        PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, tessary_##name##_slots,            \
        nullptr, nullptr, nanobind::detail::nb_module_free,                                    \
    };                                                                                         \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);                      \
    extern "C" PyObject *PyInit_##name(void) { return PyModuleDef_Init(&tessary_##name##_module); } \
    static void tessary_##name##_body(nanobind::module_ variable)
