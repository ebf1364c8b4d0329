// `_plain_json`: whether json's own encoder renders a decoded tree exactly as the command
// line's JSON writer does, so that the writer may hand it the tree whole.
//
//   _plain_json(value, max_depth, max_chars, /) -> bool
//
// True when every container is an exact list or dict lying fewer than `max_depth` levels
// below `value`, every dict key is an exact str, no dict has a tag name ("$bytes",
// "$float", "$dict", "$custom") as its only key, and every other value is exactly a str,
// int, float, bool, None or bytes. NaN and the infinities pass: json's encoder refuses them
// itself, and renders bytes through the writer's own hook. The strings and keys together
// must hold at most `max_chars` characters: a tree decoded from a few kilobytes may refer to
// one long string thousands of times, and its text is then written in pieces, not built
// whole. The same answer in Python costs
// a third of the encoding; here it costs a few percent of it.
//
// The walk runs no Python code, so the tree cannot change under it: it holds borrowed
// references only.
#include <array>
#include <vector>

#include "entry_points.hpp"
#include "utils/compat.hpp"

namespace {

constexpr std::array<const char *, 4> TAG_NAMES = {"$bytes", "$float", "$dict", "$custom"};

[[nodiscard]] bool is_tag_name(PyObject *key) noexcept {
    for (const char *tag : TAG_NAMES) {
        if (PyUnicode_CompareWithASCIIString(key, tag) == 0) {
            return true;
        }
    }
    return false;
}

/// A container still to be read, `depth` levels below the root.
struct Pending {
    PyObject *container;
    Py_ssize_t depth;
};

/// The walk of one call: containers go on a stack of their own, so any depth is safe.
class PlainWalk {
  public:
    PlainWalk(Py_ssize_t max_depth, Py_ssize_t max_chars) noexcept
        : max_depth_(max_depth), chars_left_(max_chars) {}

    /// 1 plain, 0 not, -1 with an exception set.
    [[nodiscard]] int run(PyObject *root) {
        if (!visit(root, 0)) {
            return 0;
        }
        while (!stack_.empty()) {
            const Pending top = stack_.back();
            stack_.pop_back();
            const int answer = PyList_CheckExact(top.container) != 0
                                   ? read_list(top.container, top.depth + 1)
                                   : read_dict(top.container, top.depth + 1);
            if (answer != 1) {
                return answer;
            }
        }
        return 1;
    }

  private:
    /// Queues a container; false for what json's encoder would not render as we do.
    [[nodiscard]] bool visit(PyObject *value, Py_ssize_t depth) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyList_Type || type == &PyDict_Type) {
            if (depth >= max_depth_) {
                return false;
            }
            stack_.push_back({value, depth});
            return true;
        }
        if (type == &PyUnicode_Type) {
            return take_chars(value);
        }
        return type == &PyLong_Type || type == &PyFloat_Type || value == Py_None ||
               type == &PyBool_Type || type == &PyBytes_Type;
    }

    /// Counts a string's characters against the budget; false once it is spent.
    [[nodiscard]] bool take_chars(PyObject *text) noexcept {
        chars_left_ -= PyUnicode_GET_LENGTH(text);
        return chars_left_ >= 0;
    }

    [[nodiscard]] int read_list(PyObject *list, Py_ssize_t depth) {
        const Py_ssize_t size = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!visit(PyList_GET_ITEM(list, i), depth)) {
                return 0;
            }
        }
        return 1;
    }

    [[nodiscard]] int read_dict(PyObject *dict, Py_ssize_t depth) {
        const bool single = PyDict_GET_SIZE(dict) == 1;
        compat::DictItems<compat::DictWalk::Stable> items(dict);
        if (!items.ok()) {
            return -1;
        }
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (items.next(key, value)) {
            if (!PyUnicode_CheckExact(key) || (single && is_tag_name(key)) || !take_chars(key) ||
                !visit(value, depth)) {
                return 0;
            }
        }
        return 1;
    }

    Py_ssize_t max_depth_;
    Py_ssize_t chars_left_;
    std::vector<Pending> stack_;
};

} // namespace

PyObject *plain_json_impl(PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3 || PyLong_CheckExact(args[1]) == 0 || PyLong_CheckExact(args[2]) == 0) {
        PyErr_SetString(PyExc_TypeError,
                        "_plain_json() takes a value, an int depth and an int character count");
        return nullptr;
    }
    const Py_ssize_t max_depth = PyLong_AsSsize_t(args[1]);
    if (max_depth == -1 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    const Py_ssize_t max_chars = PyLong_AsSsize_t(args[2]);
    if (max_chars == -1 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    const int answer = PlainWalk(max_depth, max_chars).run(args[0]);
    if (answer < 0) {
        return nullptr;
    }
    return PyBool_FromLong(answer);
}
