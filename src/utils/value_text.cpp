#include "utils/value_text.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "utils/compat.hpp"

namespace {

/// Ints longer than this are named by their size: their digits would be a long text
/// made in more than linear time.
constexpr std::size_t BIG_INT_BITS = 640;
/// Items of a container that can reach the text: each takes a character at least.
constexpr Py_ssize_t ITEMS_SHOWN = VALUE_TEXT_LIMIT + 1;

/// The text so far, in pieces; takes at most one character more than the limit, which
/// tells that the value's text is longer.
class Pieces {
  public:
    [[nodiscard]] bool ok() const noexcept { return static_cast<bool>(list_); }
    /// Characters that may still be taken; zero or less once the text is longer than
    /// the limit.
    [[nodiscard]] Py_ssize_t room() const noexcept { return room_; }

    /// Appends a piece of text (a `str`; empty when the call that made it failed).
    [[nodiscard]] bool add(PyPointer text) noexcept {
        if (!text) {
            return false;
        }
        const Py_ssize_t n = PyUnicode_GetLength(text.get());
        if (n < 0) {
            return false;
        }
        if (room_ <= 0) {
            return true;
        }
        if (n > room_) {
            text = PyPointer::steal(PyUnicode_Substring(text.get(), 0, room_));
            if (!text) {
                return false;
            }
        }
        room_ -= n;
        return PyList_Append(list_.get(), text.get()) == 0;
    }
    [[nodiscard]] bool add(const char *ascii) noexcept {
        return add(PyPointer::steal(PyUnicode_FromString(ascii)));
    }

    /// The text: whole when it fits the limit, else cut to it, with "...".
    [[nodiscard]] PyPointer finish() noexcept {
        PyPointer empty = PyPointer::steal(PyUnicode_FromString(""));
        PyPointer text =
            empty ? PyPointer::steal(PyUnicode_Join(empty.get(), list_.get())) : PyPointer{};
        if (!text || room_ > 0) {
            return text;
        }
        PyPointer head = PyPointer::steal(PyUnicode_Substring(text.get(), 0, VALUE_TEXT_LIMIT));
        PyPointer dots = PyPointer::steal(PyUnicode_FromString("..."));
        if (!head || !dots) {
            return {};
        }
        return PyPointer::steal(PyUnicode_Concat(head.get(), dots.get()));
    }

  private:
    PyPointer list_ = PyPointer::steal(PyList_New(0));
    Py_ssize_t room_ = VALUE_TEXT_LIMIT + 1;
};

/// A container being rendered: the items that can reach the text (keys and values in
/// turn for a dict), taken before any of them is rendered.
struct Frame {
    std::vector<PyPointer> items;
    std::size_t next = 0;
    bool dict = false;
    bool one_tuple = false;
    const char *closer = "]";
};

/// The text of a value that is no container; `top` for the value itself rather than an
/// item, `room` the characters the text may still take.
PyPointer leaf_text(PyObject *obj, bool top, Py_ssize_t room) noexcept {
    if (obj == Py_None) {
        return PyPointer::steal(PyUnicode_FromString("None"));
    }
    if (PyBool_Check(obj)) {
        return PyPointer::steal(PyUnicode_FromString(obj == Py_True ? "True" : "False"));
    }
    if (PyLong_Check(obj)) {
        const std::size_t bits = compat::long_num_bits(obj);
        if (bits == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
            return {};
        }
        if (bits > BIG_INT_BITS) {
            return PyPointer::steal(PyUnicode_FromFormat("<int of %zu bits>", bits));
        }
        return PyPointer::steal(PyLong_Type.tp_repr(obj));
    }
    if (PyFloat_Check(obj)) {
        return PyPointer::steal(PyFloat_Type.tp_repr(obj));
    }
    if (PyUnicode_Check(obj)) {
        const Py_ssize_t n = std::min(PyUnicode_GetLength(obj), room);
        PyPointer prefix = PyPointer::steal(PyUnicode_Substring(obj, 0, n));
        if (!prefix || top) {
            return prefix;
        }
        return PyPointer::steal(PyObject_Repr(prefix.get()));
    }
    if (PyBytes_Check(obj)) {
        const Py_ssize_t n = std::min(PyBytes_GET_SIZE(obj), room);
        PyPointer prefix = PyPointer::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(obj), n));
        return prefix ? PyPointer::steal(PyObject_Repr(prefix.get())) : PyPointer{};
    }
    return PyPointer::steal(top ? PyObject_Str(obj) : PyObject_Repr(obj));
}

/// Adds the text of `obj`, or, for a container, its opening and a frame for its items.
bool render(PyObject *obj, bool top, Pieces &pieces, std::vector<Frame> &frames) {
    if (pieces.room() <= 0) {
        return true; // a separator took the last of the room
    }
    const bool list = PyList_Check(obj);
    const bool tuple = PyTuple_Check(obj);
    const bool dict = PyDict_Check(obj);
    if (!list && !tuple && !dict) {
        return pieces.add(leaf_text(obj, top, pieces.room()));
    }
    Frame frame;
    frame.dict = dict;
    if (dict) {
        compat::DictItems<compat::DictWalk::Stable> entries(obj);
        if (!entries.ok()) {
            return false;
        }
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        for (Py_ssize_t i = 0; i < ITEMS_SHOWN && entries.next(key, value); ++i) {
            frame.items.push_back(PyPointer::borrow(key));
            frame.items.push_back(PyPointer::borrow(value));
        }
        frame.closer = "}";
    } else {
        PyPointer shown = PyPointer::steal(list ? PyList_GetSlice(obj, 0, ITEMS_SHOWN)
                                                : PyTuple_GetSlice(obj, 0, ITEMS_SHOWN));
        if (!shown) {
            return false;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(shown.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            frame.items.push_back(PyPointer::borrow(PySequence_Fast_GET_ITEM(shown.get(), i)));
        }
        frame.closer = list ? "]" : ")";
        frame.one_tuple = tuple && PyTuple_GET_SIZE(obj) == 1;
    }
    if (!pieces.add(dict ? "{" : list ? "[" : "(")) {
        return false;
    }
    frames.push_back(std::move(frame));
    return true;
}

} // namespace

PyPointer bounded_text(PyObject *value) noexcept {
    try {
        Pieces pieces;
        if (!pieces.ok()) {
            PyErr_NoMemory();
            return {};
        }
        // Containers in a stack of our own: a value nested thousands deep costs no native
        // stack here.
        std::vector<Frame> frames;
        if (!render(value, true, pieces, frames)) {
            return {};
        }
        while (!frames.empty() && pieces.room() > 0) {
            Frame &frame = frames.back();
            if (frame.next == frame.items.size()) {
                if ((frame.one_tuple && !pieces.add(",")) || !pieces.add(frame.closer)) {
                    return {};
                }
                frames.pop_back();
                continue;
            }
            const char *separator = frame.next == 0       ? nullptr
                                    : !frame.dict         ? ", "
                                    : frame.next % 2 == 1 ? ": "
                                                          : ", ";
            if (separator != nullptr && !pieces.add(separator)) {
                return {};
            }
            // Our own reference: a new frame may move this one.
            PyPointer item = PyPointer::borrow(frame.items[frame.next++].get());
            if (!render(item.get(), false, pieces, frames)) {
                return {};
            }
        }
        return pieces.finish();
    } catch (...) {
        PyErr_NoMemory();
        return {};
    }
}
