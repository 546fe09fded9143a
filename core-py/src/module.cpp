// The extension module kelvara_py: the Registry class and system_context().
//
// The Registry takes part in cyclic garbage collection because its callback
// table holds arbitrary Python callables, which may refer back to it.
#include "call_frame.hpp"
#include "error/core_error.hpp"

namespace nb = nanobind;
using namespace kelvara;
using namespace kelvara::py;

namespace {

int registry_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    const PyRegistry* r = nb::inst_ptr<PyRegistry>(self);
    for (const auto& [_, callback] : r->fns) Py_VISIT(callback.ptr());
    return 0;
}

int registry_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    // Move the callables out first: dropping one may run arbitrary code.
    FnTable dropped;
    dropped.swap(nb::inst_ptr<PyRegistry>(self)->fns);
    dropped.clear();
    return 0;
}

PyType_Slot registry_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(registry_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(registry_clear)},
    {0, nullptr},
};

}  // namespace

NB_MODULE(kelvara_py, m) {
    convert::init_known_keys();
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const CoreError& e) {
            // Sized, not NUL-terminated: messages quote host text, which may hold NUL.
            const std::string& msg = e.message();
            PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
            if (text) {
                PyErr_SetObject(PyExc_RuntimeError, text);
                Py_DECREF(text);
            }
        }
    });

    RegistryClass cls(m, "Registry", nb::type_slots(registry_slots), nb::is_weak_referenceable());
    cls.def(nb::init<>());
    add_config(cls);
    add_schema(cls);
    add_perm(cls);
    add_rbac(cls);
    add_datasource(cls);
    add_pipeline(cls);
    add_plan(cls);
    add_compute(cls);

    m.def("system_context", [] {
        nb::dict ctx;
        ctx["internal"] = true;
        return ctx;
    });
}
