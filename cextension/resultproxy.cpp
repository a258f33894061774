// tessel.rowkit: BaseRow, the base of the host package's result rows, and
// tuplegetter, which picks several items out of a row at once.
//
// The module is one translation unit; its parts live in cextension/rowkit/,
// included here in the order they build on each other.  This file holds the
// type tables and the module's initialisation.
#include "restart.h"
#include "rowkit/tuplegetter.h"

namespace {
PyMethodDef baserow_methods[] = {
    {"_values_impl", baserow_values_impl, METH_NOARGS, "Return the values represented by this BaseRow as a list."},
    {"__reduce__", baserow_reduce, METH_NOARGS, "Pickle support method."},
    {"_get_by_key_impl", baserow_get_by_key_impl, METH_O, "implement mapping-like getitem as well as sequence getitem"},
    {"_get_by_key_impl_mapping", baserow_subscript, METH_O,
     "implement mapping-like getitem as well as sequence getitem"},
    {"_filter_on_values", baserow_filter_on_values, METH_O,
     "return a new Row with per-value filters applied to columns"},
    {"__init_subclass__", tessel::as_cfunction(baserow_init_subclass), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "Give the subclass BaseRow's fast construction while it keeps BaseRow's __new__ and __init__."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef baserow_getset[] = {
    {"_parent", baserow_get_parent, baserow_set_parent, "ResultMetaData", nullptr},
    {"_data", baserow_get_data, baserow_set_data, "processed data list", nullptr},
    {"_keymap", baserow_get_keymap, baserow_set_keymap, "Key to (obj, index) dict", nullptr},
    {"_key_style", baserow_get_key_style, baserow_set_key_style, "Return the key style", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods baserow_as_sequence = {
    .sq_length = baserow_length,
    .sq_item = baserow_item,
};

PyMappingMethods baserow_as_mapping = {
    .mp_length = baserow_length,
    .mp_subscript = baserow_subscript,
    .mp_ass_subscript = nullptr,
};

PyTypeObject BaseRowType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.rowkit.BaseRow",
    .tp_basicsize = sizeof(BaseRowObject),
    .tp_itemsize = 0,
    .tp_dealloc = baserow_dealloc,
    .tp_as_sequence = &baserow_as_sequence,
    .tp_as_mapping = &baserow_as_mapping,
    .tp_hash = baserow_hash,
    .tp_getattro = baserow_getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "BaseRow is a abstract base class for Row",
    .tp_traverse = baserow_traverse,
    .tp_iter = baserow_iter,
    .tp_methods = baserow_methods,
    .tp_getset = baserow_getset,
    .tp_init = baserow_init,
    .tp_new = PyType_GenericNew,
    .tp_vectorcall = baserow_vectorcall,
};

PyMethodDef tuplegetter_methods[] = {
    {"__reduce__", tuplegetter_reduce, METH_NOARGS, "Return state information for pickling"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject TupleGetterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.engine.util.tuplegetter",
    .tp_basicsize = sizeof(TupleGetterObject),
    .tp_itemsize = 0,
    .tp_dealloc = tuplegetter_dealloc,
    .tp_vectorcall_offset = offsetof(TupleGetterObject, vectorcall),
    .tp_repr = tuplegetter_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_doc = "tuplegetter(item, ...) --> tuplegetter object\n\nReturn a callable object that fetches the given "
              "item(s) from its operand\nand returns them as a tuple.\n",
    .tp_traverse = tuplegetter_traverse,
    .tp_methods = tuplegetter_methods,
    .tp_new = tuplegetter_new,
};

PyMethodDef rowkit_functions[] = {
    {"safe_rowproxy_reconstructor", safe_rowproxy_reconstructor, METH_VARARGS,
     "reconstruct a Row instance from its pickled form."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef rowkit_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rowkit",
    .m_doc = "Module containing C versions of core ResultProxy classes.",
    .m_size = -1,
    .m_methods = rowkit_functions,
};

tessel::StaticTypes<2> rowkit_types{{&BaseRowType, &TupleGetterType}, {}, false, false};

// The end of the interpreter everything cached here describes (restart.h).
// What it held is gone with it, so nothing is released, only forgotten.
void forget_interpreter()
{
    tessel::restore_types(rowkit_types);
    result_module_cache = nullptr;
    row_module_cache = nullptr;
    mapping_method_name = nullptr;
    own_mapping_method = nullptr;
    getitem_name = nullptr;
    own_getitem = nullptr;
    forget_not_an_attribute();
    main_interpreter = nullptr;
}

}  // namespace

PyMODINIT_FUNC PyInit_rowkit(void)
{
    if (tessel::ready_types(rowkit_types, forget_interpreter) < 0) {
        return nullptr;
    }
    if (mapping_method_name == nullptr) {
        mapping_method_name = PyUnicode_InternFromString("_get_by_key_impl_mapping");
        if (mapping_method_name == nullptr) {
            return nullptr;
        }
        // Borrowed: BaseRow's own method, held by the type's dict until the
        // interpreter ends (forget_interpreter drops it then).
        own_mapping_method = tessel::compat::type_lookup_for_identity(&BaseRowType, mapping_method_name);
        assert(own_mapping_method != nullptr);
    }
    if (getitem_name == nullptr) {
        getitem_name = PyUnicode_InternFromString("__getitem__");
        if (getitem_name == nullptr) {
            return nullptr;
        }
        own_getitem = tessel::compat::type_lookup_for_identity(&BaseRowType, getitem_name);
        assert(own_getitem != nullptr);
    }
    main_interpreter = PyInterpreterState_Main();
    Ref module(PyModule_Create2(&rowkit_module, PYTHON_API_VERSION));
    if (!module || tessel::compat::declare_gil_use(module.get()) < 0 ||
        tessel::add_type(module.get(), "BaseRow", &BaseRowType) < 0 ||
        tessel::add_type(module.get(), "tuplegetter", &TupleGetterType) < 0) {
        return nullptr;
    }
    return module.release();
}
