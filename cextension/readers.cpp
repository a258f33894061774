// tessel.engine.readers: the SQLite host's readers for typed columns.
//
// SQLite hands back an INTEGER, a REAL, a TEXT, a BLOB or None whatever a
// column's declared type, and the host reads each value as that type or
// refuses it.  A reader here takes the storage classes a column of its type
// holds nearly always (a REAL or an INTEGER in a NUMERIC column, a REAL in a
// REAL column, 0 or 1 in a BOOLEAN one) on a native path, and hands every
// other value to the host's `otherwise`, a Python callable that reads or
// refuses it (with an error naming the column).  So the host's Python code
// still decides every rare case, and the native paths give exactly what it
// gave for the common ones.
//
// Readers are made once per result and never change: their fields are set
// before anyone else can see them, so threads share them without a lock.
#include "fixed_format.h"
#include "pyref.h"
#include "restart.h"

#include <climits>
#include <cstring>

using tessel::Ref;

namespace {

struct ReaderObject {
    PyObject_HEAD
    PyObject *decimal_type;  // NumericReader: called with the text of the reading; else null
    PyObject *otherwise;     // called with every value the native path doesn't take
    Py_ssize_t scale;        // NumericReader: places after the point, 0 or more; else 0
};

inline ReaderObject *as_reader(PyObject *self) noexcept
{
    return reinterpret_cast<ReaderObject *>(self);
}

// A new reader of `type`; the fields are stolen (both references new, or null
// with an error set, which fails the construction).
PyObject *new_reader(PyTypeObject *type, PyObject *steal_decimal_type, PyObject *steal_otherwise, Py_ssize_t scale)
{
    Ref decimal_type(steal_decimal_type);
    Ref otherwise(steal_otherwise);
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    ReaderObject *reader = as_reader(self);
    reader->decimal_type = decimal_type.release();
    reader->otherwise = otherwise.release();
    reader->scale = scale;
    return self;
}

int reader_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_reader(self)->decimal_type);
    Py_VISIT(as_reader(self)->otherwise);
    return 0;
}

// No clear slot: the fields never change, so the process methods read them
// without a null test; a cycle through a reader (its `otherwise` a closure
// that holds it) is broken at the function, whose clear empties its closure.
void reader_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    ReaderObject *reader = as_reader(self);
    Py_CLEAR(reader->decimal_type);
    Py_CLEAR(reader->otherwise);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject *call_otherwise(PyObject *self, PyObject *value)
{
    return PyObject_CallOneArg(as_reader(self)->otherwise, value);
}

// ---------------------------------------------------------------------------
// NumericReader: a value as a decimal number at the column's scale

// The text of an exact int with `scale` zeros after a point: what
// '%d.00' % value gives for scale 2, so the Decimal carries the scale.  Never
// through a double, so 2**53 + 1 stays itself.
PyObject *integer_text(PyObject *value, Py_ssize_t scale)
{
    int overflow;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (overflow != 0) {
        // Past 64 bits: str() keeps the interpreter's limit on digits, as '%d' does.
        Ref digits(PyObject_Str(value));
        if (!digits || scale == 0) {
            return digits.release();
        }
        Ref zeros(PyUnicode_New(scale + 1, 127));
        if (!zeros) {
            return nullptr;
        }
        char *out = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(zeros.get()));
        out[0] = '.';
        std::memset(out + 1, '0', static_cast<std::size_t>(scale));
        return PyUnicode_Concat(digits.get(), zeros.get());
    }
    // Written straight into the new str, backwards: the zeros, the point,
    // the digits and the sign.
    const unsigned long long magnitude =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    const Py_ssize_t fraction = scale > 0 ? scale + 1 : 0;
    if (fraction > PY_SSIZE_T_MAX - 21) {
        return PyErr_NoMemory();
    }
    const Py_ssize_t length = (v < 0 ? 1 : 0) + tessel::fixed::digit_count(magnitude) + fraction;
    PyObject *text = PyUnicode_New(length, 127);
    if (text == nullptr) {
        return nullptr;
    }
    char *p = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text)) + length;
    if (scale > 0) {
        p -= scale;
        std::memset(p, '0', static_cast<std::size_t>(scale));
        *--p = '.';
    }
    p = tessel::fixed::write_digits(magnitude, p);
    if (v < 0) {
        *--p = '-';
    }
    assert(p == reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text)));
    return text;
}

// The text of a float at the scale, as '%.{scale}f' % value gives it.
PyObject *float_text(double x, Py_ssize_t scale)
{
    if (scale > INT_MAX) {
        // % itself takes no such precision; neither does the host's reading.
        PyErr_SetString(PyExc_ValueError, "precision too big");
        return nullptr;
    }
    return tessel::fixed::format_str(x, static_cast<int>(scale));
}

PyObject *numericreader_process(PyObject *self, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    const ReaderObject *reader = as_reader(self);
    Ref text;
    if (PyFloat_CheckExact(value)) {
        text.reset(float_text(PyFloat_AS_DOUBLE(value), reader->scale));
    }
    else if (PyLong_CheckExact(value)) {
        text.reset(integer_text(value, reader->scale));
    }
    else {
        return call_otherwise(self, value);
    }
    if (!text) {
        return nullptr;
    }
    return tessel::call_one_arg(reader->decimal_type, text.get());
}

PyObject *numericreader_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static const char *const kKeywords[] = {"decimal_type", "scale", "otherwise", nullptr};
    PyObject *decimal_type;  // borrowed from args
    Py_ssize_t scale;
    PyObject *otherwise;  // borrowed from args
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnO:NumericReader", tessel::compat::keyword_list(kKeywords),
                                     &decimal_type, &scale, &otherwise)) {
        return nullptr;
    }
    if (scale < 0) {
        PyErr_SetString(PyExc_ValueError, "scale must be 0 or more");
        return nullptr;
    }
    return new_reader(type, Py_NewRef(decimal_type), Py_NewRef(otherwise), scale);
}

PyObject *numericreader_reduce(PyObject *self, PyObject *)
{
    const ReaderObject *reader = as_reader(self);
    return Py_BuildValue("O(OnO)", Py_TYPE(self), reader->decimal_type, reader->scale, reader->otherwise);
}

// ---------------------------------------------------------------------------
// RealReader: a value as a float, only where a float holds it exactly

// The double an int equals exactly, when it fits 64 bits and one does.
inline bool exact_double(long long v, double *out) noexcept
{
    const double d = static_cast<double>(v);
    // 2**63 has a double but no long long: the round trip must not be tried on it.
    if (d >= 9223372036854775808.0 || static_cast<long long>(d) != v) {
        return false;
    }
    *out = d;
    return true;
}

PyObject *realreader_process(PyObject *self, PyObject *value)
{
    if (value == Py_None || PyFloat_CheckExact(value)) {
        return Py_NewRef(value);
    }
    if (PyLong_CheckExact(value)) {
        int overflow;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        double d;
        if (overflow == 0 && exact_double(v, &d)) {
            return PyFloat_FromDouble(d);
        }
    }
    return call_otherwise(self, value);
}

// RealReader(otherwise) and BooleanReader(otherwise); `format` names the type
// in argument errors.
template <const char *format>
PyObject *otherwise_reader_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static const char *const kKeywords[] = {"otherwise", nullptr};
    PyObject *otherwise;  // borrowed from args
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, tessel::compat::keyword_list(kKeywords), &otherwise)) {
        return nullptr;
    }
    return new_reader(type, nullptr, Py_NewRef(otherwise), 0);
}

constexpr char kRealReaderFormat[] = "O:RealReader";

// ---------------------------------------------------------------------------
// BooleanReader: 0 and 1 (or 0.0 and 1.0) as False and True

PyObject *booleanreader_process(PyObject *self, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(value))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(value));
        if (v == 0 || v == 1) {
            return Py_NewRef(v ? Py_True : Py_False);
        }
    }
    else if (PyFloat_CheckExact(value)) {
        const double d = PyFloat_AS_DOUBLE(value);
        if (d == 0.0 || d == 1.0) {  // -0.0 too, as it equals 0
            return Py_NewRef(d == 1.0 ? Py_True : Py_False);
        }
    }
    return call_otherwise(self, value);
}

// RealReader and BooleanReader are made from `otherwise` alone.
PyObject *reader_reduce_otherwise(PyObject *self, PyObject *)
{
    return Py_BuildValue("O(O)", Py_TYPE(self), as_reader(self)->otherwise);
}

constexpr char kBooleanReaderFormat[] = "O:BooleanReader";

// ---------------------------------------------------------------------------
// Types

PyMethodDef numericreader_methods[] = {
    {"process", numericreader_process, METH_O, "The reading of one value."},
    {"__reduce__", numericreader_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef realreader_methods[] = {
    {"process", realreader_process, METH_O, "The reading of one value."},
    {"__reduce__", reader_reduce_otherwise, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef booleanreader_methods[] = {
    {"process", booleanreader_process, METH_O, "The reading of one value."},
    {"__reduce__", reader_reduce_otherwise, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject NumericReaderType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.engine.readers.NumericReader",
    .tp_basicsize = sizeof(ReaderObject),
    .tp_itemsize = 0,
    .tp_dealloc = reader_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "NumericReader(decimal_type, scale, otherwise)\n--\n\n"
              "Reads a NUMERIC column's values: a REAL formatted at the scale, an INTEGER\n"
              "with the scale's zeros, both passed to decimal_type as text; otherwise(value)\n"
              "for anything else.",
    .tp_traverse = reader_traverse,
    .tp_methods = numericreader_methods,
    .tp_new = numericreader_new,
};

PyTypeObject RealReaderType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.engine.readers.RealReader",
    .tp_basicsize = sizeof(ReaderObject),
    .tp_itemsize = 0,
    .tp_dealloc = reader_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "RealReader(otherwise)\n--\n\n"
              "Reads a REAL column's values: a float as it is, an INTEGER a float holds\n"
              "exactly as that float; otherwise(value) for anything else.",
    .tp_traverse = reader_traverse,
    .tp_methods = realreader_methods,
    .tp_new = otherwise_reader_new<kRealReaderFormat>,
};

PyTypeObject BooleanReaderType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.engine.readers.BooleanReader",
    .tp_basicsize = sizeof(ReaderObject),
    .tp_itemsize = 0,
    .tp_dealloc = reader_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "BooleanReader(otherwise)\n--\n\n"
              "Reads a BOOLEAN column's values: 0 and 1 (or 0.0 and 1.0) as False and\n"
              "True; otherwise(value) for anything else.",
    .tp_traverse = reader_traverse,
    .tp_methods = booleanreader_methods,
    .tp_new = otherwise_reader_new<kBooleanReaderFormat>,
};

PyModuleDef readers_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "readers",
    .m_doc = "The SQLite host's native readers for typed columns.",
    .m_size = -1,
};

tessel::StaticTypes<3> readers_types{{&NumericReaderType, &RealReaderType, &BooleanReaderType}, {}, false, false};

// The end of the interpreter the types were readied for (restart.h).
void forget_interpreter()
{
    tessel::restore_types(readers_types);
}

}  // namespace

PyMODINIT_FUNC PyInit_readers(void)
{
    if (tessel::ready_types(readers_types, forget_interpreter) < 0) {
        return nullptr;
    }
    Ref module(PyModule_Create2(&readers_module, PYTHON_API_VERSION));
    if (!module || tessel::compat::declare_gil_use(module.get()) < 0) {
        return nullptr;
    }
    if (tessel::add_type(module.get(), "NumericReader", &NumericReaderType) < 0 ||
        tessel::add_type(module.get(), "RealReader", &RealReaderType) < 0 ||
        tessel::add_type(module.get(), "BooleanReader", &BooleanReaderType) < 0) {
        return nullptr;
    }
    return module.release();
}
