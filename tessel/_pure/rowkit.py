"""Module containing C versions of core ResultProxy classes."""

# The pure-Python twin of the native tessel.rowkit: the same names, type
# names, messages and calls into the host, for interpreters without the
# native module.  tessel/__init__.py loads it under the native module's name.

# What the module holds; tessel/__init__.py gives the module these names only.
__all__ = ["BaseRow", "safe_rowproxy_reconstructor", "tuplegetter"]

import struct as _struct
from operator import index as _index
from threading import get_ident as _get_ident

# What the native module converts keys and positions to: a C long, whose
# width is the platform's (32 bits on Windows).
_LONG_MAX = (1 << (8 * _struct.calcsize("l") - 1)) - 1
_LONG_MIN = -_LONG_MAX - 1
_HEAPTYPE = 1 << 9


def _as_long(number):
    # The conversion the native module does: an int's own value (subclasses
    # included), else __index__; then the C long's range.
    number = _index(number)
    if _LONG_MIN <= number <= _LONG_MAX:
        return number
    raise OverflowError("Python int too large to convert to C long")


def _type_name(cls):
    # A type's name as the interpreter prints it in messages: a class made in
    # Python by its own name, a built-in (and the native modules' types, whose
    # twins these are) by its dotted path.
    if cls in _NATIVE_NAMES:
        return _NATIVE_NAMES[cls]
    if cls.__flags__ & _HEAPTYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


def _unset_field():
    # What the interpreter raises when its protocols are handed a null object;
    # a row made by __new__ alone has such fields.
    return SystemError("null argument to internal routine")


def _is_sequence(obj):
    # The interpreter's sequence test: item access by index, and never a dict.
    if isinstance(obj, dict):
        return False
    cls = type(obj)
    if not any("__getitem__" in vars(base) for base in cls.__mro__):
        return False  # (a metaclass's __getitem__ serves the class, not its instances)
    # Built-in mappings answer keys only; the immutable mapping's twin too.
    return not (cls.__module__ in ("builtins", "tessel.mapkit") and cls.__name__ in ("mappingproxy", "immutabledict"))


def _tuple_item(values, position):
    # Tuple item access, through the tuple's own layout (a subclass's
    # __getitem__ and __len__ are not asked): positions count from the start only.
    if not isinstance(values, tuple):
        raise SystemError("bad argument to internal function")
    if 0 <= position < _tuple_len(values):
        return _tuple_getitem(values, position)
    raise IndexError("tuple index out of range")


_tuple_len = tuple.__len__
_tuple_getitem = tuple.__getitem__
_tuple_iter = tuple.__iter__


def _one_argument(self, method, args):
    return TypeError(f"{type(self).__qualname__}.{method}() takes exactly one argument ({len(args)} given)")


def _call_spreading_tuple(obj, method, arg):
    # obj.method(arg) as the "O" call format makes it: a tuple argument (or a
    # tuple subclass) arrives as its items, one argument each.  The host's
    # hooks and methods are called that way, and hosts rely on it.
    if isinstance(arg, tuple):
        # The tuple's own items, whatever a subclass's __iter__ says.
        return getattr(obj, method)(*(arg if type(arg) is tuple else tuple(_tuple_iter(arg))))
    return getattr(obj, method)(arg)


# Host package modules, imported on first use and kept; a failed import
# stores nothing, so the next use tries again.
_host_modules = {}


def _host_attribute(module, attribute):
    found = _host_modules.get(module)
    if found is None:
        import importlib

        found = _host_modules[module] = importlib.import_module(module)
    return getattr(found, attribute)


_MISSING = object()
_UNLOOKED = object()
_object_new = object.__new__


class BaseRow:
    """BaseRow is a abstract base class for Row"""

    # The four fields, in slots under names no column takes.
    __slots__ = ("_BaseRow__parent", "_BaseRow__values", "_BaseRow__keymap", "_BaseRow__style")
    __module__ = "tessel.rowkit"

    def __new__(cls, *args, **kwargs):
        # The generic allocator: arguments are the initialiser's business.
        return _object_new(cls)

    def __init__(self, *args, **kwargs):
        # Keywords are accepted and ignored, as the native initialiser does.
        if len(args) != 5:
            raise TypeError(f"BaseRow expected 5 arguments, got {len(args)}")
        parent, processors, keymap, key_style, raw = args
        self.__parent = parent
        self.__values = _build_values(processors, raw)
        if type(keymap) is not dict:
            raise TypeError("keymap must be a dict")
        self.__keymap = keymap
        self.__style = (
            key_style if type(key_style) is int and _LONG_MIN <= key_style <= _LONG_MAX else _as_long(key_style)
        )

    # -- the fields as attributes

    @property
    def _parent(self):
        """ResultMetaData"""
        try:
            return self.__parent
        except AttributeError:
            raise _unset_field() from None

    @_parent.setter
    def _parent(self, value):
        metadata_class = _host_attribute("tessel.engine.result", "ResultMetaData")
        try:
            ok = isinstance(value, metadata_class)
        except Exception:
            ok = False
        if not ok:
            raise TypeError("The 'parent' attribute value must be an instance of ResultMetaData")
        self.__parent = value

    @_parent.deleter
    def _parent(self):
        raise TypeError("Cannot delete the 'parent' attribute")

    @property
    def _data(self):
        """processed data list"""
        try:
            return self.__values
        except AttributeError:
            raise _unset_field() from None

    @_data.setter
    def _data(self, value):
        if not _is_sequence(value):
            raise TypeError("The 'row' attribute value must be a sequence")
        self.__values = value

    @_data.deleter
    def _data(self):
        raise TypeError("Cannot delete the 'row' attribute")

    @property
    def _keymap(self):
        """Key to (obj, index) dict"""
        try:
            return self.__keymap
        except AttributeError:
            raise _unset_field() from None

    @_keymap.setter
    def _keymap(self, value):
        if type(value) is not dict:
            raise TypeError("The 'keymap' attribute value must be a dict")
        self.__keymap = value

    @_keymap.deleter
    def _keymap(self):
        raise TypeError("Cannot delete the 'keymap' attribute")

    @property
    def _key_style(self):
        """Return the key style"""
        try:
            return self.__style
        except AttributeError:
            return 0

    @_key_style.setter
    def _key_style(self, value):
        if type(value) is not int:
            raise TypeError("The 'key_style' attribute value must be an integer")
        self.__style = _as_long(value)

    @_key_style.deleter
    def _key_style(self):
        raise TypeError("Cannot delete the 'key_style' attribute")

    # -- the values as a sequence

    def __len__(self):
        return len(self._data)

    def __iter__(self):
        return iter(tuple(self._data))

    def __hash__(self):
        return hash(self._data)

    def __reversed__(self):
        # The sequence protocol's walk: the length, then each item by
        # position, through the class's own __getitem__ where it has one.
        if type(self).__getitem__ is not _own_getitem:
            return (self[i] for i in range(len(self) - 1, -1, -1))
        values = self._data
        return (_tuple_item(values, i) for i in range(len(values) - 1, -1, -1))

    def _values_impl(self):
        """Return the values represented by this BaseRow as a list."""
        return list(self._data)

    def __init_subclass__(cls, **kwargs):
        # The native row reads columns in its attribute lookup itself, so a
        # subclass's own __getattr__ comes after the columns, not instead.
        hook = cls.__dict__.get("__getattr__")
        if hook is not None:

            def __getattr__(self, name, _hook=hook):
                try:
                    return BaseRow.__getattr__(self, name)
                except AttributeError:
                    pass
                return _hook(self, name)

            cls.__getattr__ = __getattr__
        super().__init_subclass__(**kwargs)

    # -- key lookup

    def __getitem__(self, key):
        """implement mapping-like getitem as well as sequence getitem"""
        try:
            style = self.__style
        except AttributeError:
            style = 0
        # Styles 0 and 2 let a subscript refuse or warn; every other reads keys as keys.
        mapping = style != 0 and style != 2
        try:
            values = self.__values
            keymap = self.__keymap
        except AttributeError:
            return self.__lookup(key, mapping, style)  # a row made by __new__ alone
        # The common cases first, with no call: a position in range, and a
        # column name whose record holds a position in range.  Anything else
        # takes the whole lookup.
        if type(values) is tuple:
            if type(key) is int:
                if style != 1 and -len(values) <= key < len(values):
                    return values[key]
            elif type(key) is str and mapping:
                try:
                    record = keymap.get(key, _MISSING)
                except Exception:
                    record = _MISSING  # an uncomparable key is simply not held
                if type(record) is tuple and record:
                    position = record[0]
                    if type(position) is int and 0 <= position < len(values):
                        return values[position]
                return self.__by_key(key, mapping, style, record)
        return self.__lookup(key, mapping, style)

    # Both take exactly one argument and say so in the native words: hosts
    # call them with the "O" format, which spreads a tuple key.
    def _get_by_key_impl_mapping(self, *args):
        """implement mapping-like getitem as well as sequence getitem"""
        if len(args) != 1:
            raise _one_argument(self, "_get_by_key_impl_mapping", args)
        return self.__getitem__(args[0])

    def _get_by_key_impl(self, *args):
        """implement mapping-like getitem as well as sequence getitem"""
        if len(args) != 1:
            raise _one_argument(self, "_get_by_key_impl", args)
        try:
            style = self.__style
        except AttributeError:
            style = 0
        return self.__lookup(args[0], False, style)

    def __getattr__(self, name):
        # Reached only when the ordinary lookup found no attribute: attributes
        # win over columns of the same name.  A field never set is no column.
        if name.startswith("_BaseRow__"):
            raise AttributeError(name)
        try:
            style = self.__style
        except AttributeError:
            style = 0
        record = _UNLOOKED
        try:
            values = self.__values
            keymap = self.__keymap
        except AttributeError:
            pass
        else:
            try:
                record = keymap.get(name, _MISSING)
            except Exception:
                record = _MISSING  # an uncomparable key is simply not held
            # The common case with no call: a record holding a position in range.
            if type(record) is tuple and record and type(values) is tuple:
                position = record[0]
                if type(position) is int and 0 <= position < len(values):
                    return values[position]
        try:
            return self.__by_key(name, True, style, record)
        except KeyError:
            pass
        # Outside the handler: the new error is not chained to the KeyError.
        raise AttributeError(f"Could not locate column in row for column '{name[:200]}'")

    def __lookup(self, key, mapping, style):
        if type(key) is int:
            if style == 1:
                raise KeyError(repr(key))
            index = _as_long(key)
            values = self._data
            if index < 0:
                index += len(values)
            return _tuple_item(values, index)
        if type(key) is slice and style != 1:
            return tuple(self._data[key])
        return self.__by_key(key, mapping, style)

    def __by_key(self, key, mapping, style, record=_UNLOOKED):
        # `record`: what the key map holds for the key, when a caller has
        # looked already (_MISSING for nothing), or _UNLOOKED.
        if not mapping and style == 0:
            self.__raise_through_hook("_raise_for_nonint", key)
        if record is _UNLOOKED:
            try:
                keymap = self.__keymap
            except AttributeError:
                raise _unset_field() from None
            try:
                record = keymap.get(key, _MISSING)
            except Exception:
                record = _MISSING  # an unhashable or uncomparable key is simply not held
        if record is _MISSING:
            if type(key) is slice:
                raise KeyError("can't use slices for mapping access")
            record = getattr(self._parent, "_key_fallback")(key, None)
        index = _tuple_item(record, 0)
        if index is None:
            self.__raise_through_hook("_raise_for_ambiguous_column_name", record)
        position = index if type(index) is int and _LONG_MIN <= index <= _LONG_MAX else _as_long(index)
        if not mapping and style == 2:
            _call_spreading_tuple(self._parent, "_warn_for_nonint", key)
        # Read afresh: the warning hook may have replaced the values.
        return _tuple_item(self._data, position)

    def __raise_through_hook(self, method, arg):
        # Calls one of the hooks that must raise; the lookup fails either way.
        parent = self._parent
        getattr(parent, method)(arg)
        raise RuntimeError(f"{_type_name(type(parent))[:200]}.{method}() returned instead of raising")

    # -- pickling and filtering

    def __reduce__(self):
        """Pickle support method."""
        state = self.__getstate__()
        reconstructor = _host_attribute("tessel.engine.row", "rowproxy_reconstructor")
        # The attribute, not the type: a class that overrides __class__ is honoured.
        return (reconstructor, (self.__class__, state))

    def _filter_on_values(self, filters):
        """return a new Row with per-value filters applied to columns"""
        row_class = _host_attribute("tessel.engine.row", "Row")
        key_style = self._key_style
        try:
            parent, values, keymap = self.__parent, self.__values, self.__keymap
        except AttributeError:
            raise _unset_field() from None
        return row_class(parent, filters, keymap, key_style, values)


_fields_of = (BaseRow._BaseRow__parent, BaseRow._BaseRow__values, BaseRow._BaseRow__keymap)


def _build_values(processors, raw):
    # The stored values for a raw row: a tuple, processed where a processor is given.
    if type(raw) is tuple:
        fast = raw
    elif type(raw) is list:
        fast = raw
    else:
        try:
            iterator = iter(raw)
        except TypeError:
            raise TypeError("row must be a sequence") from None
        fast = list(iterator)
    if processors is None:
        return tuple(fast)
    n = len(fast)
    m = _sequence_size(processors)
    if m != n:
        raise RuntimeError(f"number of values in row ({n}) differ from number of column processors ({m})")
    # Processors run Python code that may change the lists being read: items
    # are taken afresh each time, with the lists' own bounds checks.
    values = []
    for i in range(n):
        value = fast[i]
        processor = processors[i]
        values.append(value if processor is None else processor(value))
    return tuple(values)


def _sequence_size(obj):
    # The sequence protocol's length: -1 for what has none (a dict included).
    if isinstance(obj, dict):
        return -1
    try:
        return len(obj)
    except Exception:
        return -1


def safe_rowproxy_reconstructor(*args, **kwargs):
    """reconstruct a Row instance from its pickled form."""
    if kwargs:
        raise TypeError("safe_rowproxy_reconstructor() takes no keyword arguments")
    if len(args) != 2:
        raise TypeError(f"function takes exactly 2 arguments ({len(args)} given)")
    cls, state = args
    obj = _call_spreading_tuple(cls, "__new__", cls)
    if not isinstance(obj, BaseRow):
        owner = cls if isinstance(cls, type) else type(cls)
        raise TypeError(f"{_type_name(owner)[:200]}.__new__() returned a {_type_name(type(obj))[:200]}, not a BaseRow")
    _call_spreading_tuple(obj, "__setstate__", state)
    for field in _fields_of:
        try:
            field.__get__(obj)
        except AttributeError:
            raise RuntimeError(
                "__setstate__ for BaseRow subclasses must set values for parent, row, and keymap"
            ) from None
    return obj


class tuplegetter:
    """tuplegetter(item, ...) --> tuplegetter object

    Return a callable object that fetches the given item(s) from its operand
    and returns them as a tuple.
    """

    __slots__ = ("_tuplegetter__items",)
    __module__ = "tessel.engine.util"

    def __new__(cls, *items, **kwargs):
        if kwargs:
            raise TypeError("tuplegetter() takes no keyword arguments")
        self = object.__new__(cls)
        self.__items = items
        return self

    def __init_subclass__(cls, **kwargs):
        raise TypeError("type 'tessel.engine.util.tuplegetter' is not an acceptable base type")

    def __call__(self, *args, **kwargs):
        if not args:
            raise TypeError("tuplegetter expected 1 argument, got 0")
        operand = args[0]
        items = self.__items
        if type(operand) is tuple:
            return tuple([operand[item] for item in items])
        if isinstance(operand, BaseRow):
            # Each item meets the method the row has when it is read: a hook
            # run for one item may change the row's class or the method.
            values = []
            for item in items:
                if not _uses_own_mapping_lookup(type(operand)):
                    values.append(_read_by_method_or_subscript(operand, item))
                    continue
                # Sure to be the row's own subscript, called directly; a tuple
                # item is spread as the "O" format spreads it: one element is
                # the key, any other count the method's own refusal.
                if isinstance(item, tuple):
                    if _tuple_len(item) != 1:
                        _call_spreading_tuple(operand, "_get_by_key_impl_mapping", item)
                    item = _tuple_getitem(item, 0)
                values.append(operand[item])
            return tuple(values)
        return tuple([_read_by_method_or_subscript(operand, item) for item in items])

    def __repr__(self):
        key = (id(self), _get_ident())
        if key in _repr_running:
            return "tessel.engine.util.tuplegetter(...)"
        _repr_running.add(key)
        try:
            items = self.__items
            if len(items) == 1:
                return f"tessel.engine.util.tuplegetter({items!r})"
            return f"tessel.engine.util.tuplegetter{items!r}"
        finally:
            _repr_running.discard(key)

    def __reduce__(self):
        """Return state information for pickling"""
        return (type(self), self.__items)


_repr_running = set()
_own_mapping = BaseRow._get_by_key_impl_mapping
_own_getattr = BaseRow.__getattr__
_own_getitem = BaseRow.__getitem__


def _read_by_method_or_subscript(operand, item):
    # The operand's _get_by_key_impl_mapping where it has one, else its subscript.
    try:
        by_method = hasattr(operand, "_get_by_key_impl_mapping")
    except Exception:
        by_method = False  # an error while testing counts as "no such method"
    if by_method:
        return _call_spreading_tuple(operand, "_get_by_key_impl_mapping", item)
    return operand[item]


def _uses_own_mapping_lookup(cls):
    # True when operand._get_by_key_impl_mapping(key) is sure to be the row's
    # own subscript: the class overrides neither it nor attribute lookup, and
    # has no instance dict that could shadow it.
    return (
        cls._get_by_key_impl_mapping is _own_mapping
        and cls.__getitem__ is _own_getitem
        and cls.__getattribute__ is _object_getattribute
        and cls.__dictoffset__ == 0
    )


_object_getattribute = object.__getattribute__

_NATIVE_NAMES = {BaseRow: "tessel.rowkit.BaseRow", tuplegetter: "tessel.engine.util.tuplegetter"}
