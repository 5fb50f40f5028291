// The extension module: definition, execution step and registration.
#include "bank_type.hpp"
#include "call.hpp"
#include "functions.hpp"
#include "kavrel/processor.hpp"

namespace kavrel::py {

namespace {

ProcessObject all_name;
ProcessObject name_name;

PyObject* interned(ProcessObject& slot, const char* text) {
    return slot.get([text] { return PyUnicode_InternFromString(text); });
}

// Appends `name` to the module's __all__ (creating the list if absent) and
// binds `value` under it.
void add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all_key = interned(all_name, "__all__");
    Ref all = Ref::steal([&] {
        PyObject* existing = PyObject_GetAttr(module, all_key);
        if (existing != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return existing;
        PyErr_Clear();
        PyObject* fresh = PyList_New(0);
        if (fresh != nullptr && PyObject_SetAttr(module, all_key, fresh) < 0) {
            Py_DecRef(fresh);
            return static_cast<PyObject*>(nullptr);
        }
        return fresh;
    }());
    if (!PyList_Check(all.get())) type_error(all.get(), "list");
    if (PyList_Append(all.get(), name) < 0)
        panic(describe_pending("could not append __name__ to __all__"));
    if (PyObject_SetAttr(module, name, value) < 0) throw PyError{};
}

int module_exec(PyObject* module) {
    return entry_status([&] {
        // The engine chooses its kernel for this processor here, once, rather
        // than in the first computation.
        (void)active_kernel();
        if (module == nullptr) {
            if (PyErr_Occurred() == nullptr) panic("module object is null");
            throw PyError{};
        }
        type_check(module, &PyModule_Type, "module");
        PyObject* bank_type = resonator_bank_type();
        Ref class_name = Ref::steal(PyUnicode_FromString("ResonatorBank"));
        add_attribute(module, class_name.get(), bank_type);

        Ref module_name = Ref::steal(PyModule_GetNameObject(module));
        for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
            Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
            Ref name =
                Ref::steal(PyObject_GetAttr(function.get(), interned(name_name, "__name__")));
            type_check(name.get(), &PyUnicode_Type, "str");
            add_attribute(module, name.get(), function.get());
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kavrel", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kavrel::py

PyMODINIT_FUNC PyInit_kavrel(void) { return PyModuleDef_Init(&kavrel::py::module_def); }
