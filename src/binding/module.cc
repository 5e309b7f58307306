// The module's entry point: `tollivane` with TollivaneCore and __version__.
#include <Python.h>

#include "binding/change_watch_type.h"
#include "binding/core_type.h"
#include "binding/log_scan_type.h"
#include "binding/py_ref.h"

namespace tollivane::binding {
namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tollivane",
    nullptr,  // no module doc
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr, nullptr, nullptr, nullptr,
};

// The module and its class are made once per process and live as long as it.
bool g_initialised = false;

PyObject* init_module() {
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError, "tollivane may be initialised only once per interpreter process");
    return nullptr;
  }
  OwnedRef module = OwnedRef::steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  if (!create_log_scan_type()) return nullptr;
  if (!create_change_watch_type()) return nullptr;
  OwnedRef type = OwnedRef::steal(create_core_type());
  if (!type) return nullptr;
  if (PyModule_AddType(module.get(), reinterpret_cast<PyTypeObject*>(type.get())) != 0) return nullptr;
  // TOLLIVANE_VERSION comes from the build, out of the same pyproject.toml
  // line the package metadata is made from, so the two cannot disagree.
  if (PyModule_AddStringConstant(module.get(), "__version__", TOLLIVANE_VERSION) != 0) return nullptr;
  g_initialised = true;
  return module.release();
}

}  // namespace
}  // namespace tollivane::binding

PyMODINIT_FUNC PyInit_tollivane() { return tollivane::binding::init_module(); }
