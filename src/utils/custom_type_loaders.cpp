#include "utils/custom_type_loaders.hpp"

#include "utils/compat.hpp"

bool parse_loads_custom_types_dict(PyObject *obj, LoadsCustomTypes &out,
                                   std::vector<PyPointer> &held) {
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "custom_types must be a dict");
        return false;
    }
    // Own each pair the moment the dict lends it: nothing in this loop runs Python code.
    std::vector<PyPointer> pairs;
    pairs.reserve(2 * static_cast<std::size_t>(PyDict_Size(obj)));
    compat::DictItems items(obj);
    if (!items.ok()) {
        return false;
    }
    PyObject *key = nullptr;
    PyObject *converter = nullptr;
    while (items.next(key, converter)) {
        pairs.push_back(PyPointer::borrow(key));
        pairs.push_back(PyPointer::borrow(converter));
    }
    LoadsCustomTypes map;
    map.reserve(pairs.size() / 2);
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
        if (!PyCallable_Check(pairs[i + 1].get())) {
            PyErr_SetString(PyExc_TypeError, "custom_types value must be a function");
            return false;
        }
        const PyKey identifier(pairs[i].get());
        if (identifier.hash == -1 && PyErr_Occurred()) {
            return false;
        }
        map.insert_or_assign(identifier, pairs[i + 1].get());
        if (PyErr_Occurred() != nullptr) [[unlikely]] {
            return false; // an identifier's `__eq__` raised what must pass through
        }
    }
    held = std::move(pairs);
    out = std::move(map);
    return true;
}
