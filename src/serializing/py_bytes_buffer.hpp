#pragma once
// Output buffers of the encoder. The serializer is written once against the
// `PyBytesBuffer` concept and instantiated for each buffer kind, so the hot path has no
// virtual calls: an append is one bounds check, a store and an increment.
#include <Python.h>

#include <concepts>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "utils/compat.hpp"
#include "utils/compiler.hpp"
#include "utils/safe_py_pointer.hpp"

/// What the serializer needs of an output buffer. Both operations return false with a
/// Python exception set (out of memory, or the writer raised).
template <class B>
concept PyBytesBuffer = requires(B &buffer, std::uint8_t byte, std::string_view slice) {
    { buffer.push(byte) } -> std::same_as<bool>;
    { buffer.extend_from_slice(slice) } -> std::same_as<bool>;
};

/// Builds the output inside one `bytes` object, which becomes the result without a copy.
///
/// Invariant: `data_ <= cur_ <= end_`, [`data_`, `end_`) is the object's content (its
/// size is the capacity) and [`data_`, `cur_`) the output so far. Pointers rather than
/// lengths, so that an append tests and moves one pointer. The object is never shown to
/// Python code while the buffer writes into it, except by `FilePyBytesBuffer::flush`,
/// which hands it to the writer and then either gets it back unshared or replaces it
/// (`recycle`).
class RawBytesBuffer {
  public:
    /// Capacity of a new buffer, enough for most small documents; it doubles as output
    /// grows, up to LARGE.
    static constexpr std::size_t INITIAL_CAPACITY = 64;
    static constexpr std::size_t LARGE = std::size_t{1} << 20;

    /// Allocates the storage; false with MemoryError set.
    [[nodiscard]] bool init(std::size_t capacity = INITIAL_CAPACITY) noexcept {
        bytes_ =
            PyPointer::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
        if (!bytes_) {
            PyErr_NoMemory();
            return false;
        }
        data_ = cur_ = PyBytes_AS_STRING(bytes_.get());
        end_ = data_ + capacity;
        return true;
    }

    /// Appends one byte.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE bool push(std::uint8_t byte) noexcept {
        if (cur_ == end_) [[unlikely]] {
            if (!grow(1)) {
                return false;
            }
        }
        *cur_++ = static_cast<char>(byte);
        return true;
    }

    /// Appends a run of bytes, whatever its size.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE bool extend_from_slice(std::string_view slice) noexcept {
        if (static_cast<std::size_t>(end_ - cur_) < slice.size()) [[unlikely]] {
            if (!grow(slice.size())) {
                return false;
            }
        }
        std::memcpy(cur_, slice.data(), slice.size());
        cur_ += slice.size();
        return true;
    }

    /// Room for up to `n` bytes to be written in place and then counted by `commit`; null
    /// with MemoryError set if the buffer cannot grow. Only this buffer offers it: here
    /// a group of pushes and slices is just a copy, whereas the writer-backed buffer
    /// must see each operation.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE std::uint8_t *reserve(std::size_t n) noexcept {
        if (static_cast<std::size_t>(end_ - cur_) < n) [[unlikely]] {
            if (!grow(n)) {
                return nullptr;
            }
        }
        return reinterpret_cast<std::uint8_t *>(cur_);
    }
    /// Counts `n` bytes written after `reserve`.
    void commit(std::size_t n) noexcept { cur_ += n; }

    /// Number of bytes written since the last `take_bytes`.
    [[nodiscard]] std::size_t len() const noexcept {
        return static_cast<std::size_t>(cur_ - data_);
    }
    /// Size of the storage; `len()` bytes of it are written.
    [[nodiscard]] std::size_t capacity() const noexcept {
        return static_cast<std::size_t>(end_ - data_);
    }
    /// Where the next byte goes; room for `capacity() - len()` bytes.
    [[nodiscard]] std::uint8_t *cursor() const noexcept {
        return reinterpret_cast<std::uint8_t *>(cur_);
    }

    /// The `bytes` object trimmed to the output (borrowed: the buffer keeps it); the
    /// length restarts at 0. Needs `len() > 0`: a resize to 0 may swap in the
    /// interpreter's shared empty `bytes`, which must never be written into.
    [[nodiscard]] PyObject *take_bytes() noexcept {
        if (cur_ != end_ && !resize(len())) {
            return nullptr;
        }
        cur_ = data_;
        return bytes_.get();
    }

    /// Hands the output to the caller as a `bytes` object of its exact length; the
    /// buffer is empty after. Storage at most half again the output's size is kept
    /// rather than given back: giving it back makes the allocator map fresh memory for
    /// the next call of that size, whose every page then faults in as it is written;
    /// kept, the block returns to the heap when the caller frees it and is reused.
    [[nodiscard]] PyPointer finish() noexcept {
        const std::size_t len = this->len();
        if (len == 0 || capacity() - len > len / 2 ||
            !compat::bytes_shorten_in_place(bytes_.get(), static_cast<Py_ssize_t>(len))) {
            if (take_bytes() == nullptr) {
                return {};
            }
        }
        data_ = cur_ = end_ = nullptr;
        return std::move(bytes_);
    }

    /// Makes the storage writable again after `take_bytes` handed the object to Python
    /// code that has since returned. The object is reused only if nobody kept it, and
    /// then resized, which also drops the hash it may have cached; otherwise the buffer
    /// starts a fresh object, so a chunk kept by the writer never changes.
    [[nodiscard]] bool recycle(std::size_t chunk_len) noexcept;

  private:
    /// Makes room for `extra` more bytes: doubles while small, then grows by half (so
    /// that `finish` keeps at most a third of the storage unused), or more if that is
    /// not enough.
    VEZUVIR_COLD VEZUVIR_NOINLINE bool grow(std::size_t extra) noexcept {
        const std::size_t len = this->len();
        const std::size_t capacity = this->capacity();
        std::size_t wanted = capacity < LARGE ? capacity * 2 : capacity + capacity / 2;
        if (wanted < len + extra) {
            wanted = len + extra;
        }
        if (len + extra < len || wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX) - 64) {
            PyErr_NoMemory();
            return false;
        }
        return resize(wanted);
    }

    /// Resizes the object to `capacity` bytes, keeping what is written (at most that).
    [[nodiscard]] bool resize(std::size_t capacity) noexcept {
        const std::size_t len = this->len();
        PyObject *obj = bytes_.release();
        if (_PyBytes_Resize(&obj, static_cast<Py_ssize_t>(capacity)) < 0) {
            // The object was freed and `obj` cleared.
            data_ = cur_ = end_ = nullptr;
            PyErr_NoMemory();
            return false;
        }
        bytes_ = PyPointer::steal(obj);
        data_ = PyBytes_AS_STRING(obj);
        cur_ = data_ + len;
        end_ = data_ + capacity;
        return true;
    }

    /// The output object (owned).
    PyPointer bytes_;
    /// Its content; re-read after every resize because the object may move.
    char *data_ = nullptr;
    /// Where the next byte goes.
    char *cur_ = nullptr;
    /// End of the content.
    char *end_ = nullptr;
};

inline bool RawBytesBuffer::recycle(std::size_t chunk_len) noexcept {
    const std::size_t capacity =
        chunk_len * 2 > INITIAL_CAPACITY ? chunk_len * 2 : INITIAL_CAPACITY;
    cur_ = data_;
    if (bytes_ && compat::bytes_is_unshared(bytes_.get())) {
        return resize(capacity);
    }
    return init(capacity);
}

/// Streams the output to `writer.write` in chunks: the buffer is flushed once it holds
/// `flush_threshold` bytes, and a slice of `direct_write_threshold` bytes or more is sent
/// on its own, after what was buffered before it.
class FilePyBytesBuffer {
  public:
    /// `python_calls` counts each call to `write` as well (see `SerializationSettings`).
    FilePyBytesBuffer(PyObject *writer, std::size_t flush_threshold,
                      std::size_t direct_write_threshold, std::uint64_t &python_calls) noexcept
        : writer_(PyPointer::borrow(writer)), flush_threshold_(flush_threshold),
          direct_write_threshold_(direct_write_threshold), python_calls_(python_calls) {}

    /// Allocates the storage; false with MemoryError set.
    [[nodiscard]] bool init() noexcept {
        write_name_ = PyPointer::steal(PyUnicode_InternFromString("write"));
        if (!write_name_) {
            PyErr_NoMemory();
            return false;
        }
        if (!inner_.init()) {
            return false;
        }
        update_fast_end();
        return true;
    }

    /// Appends one byte, then flushes if the threshold is reached.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE bool push(std::uint8_t byte) noexcept {
        if (inner_.len() < fast_end_) [[likely]] {
            *inner_.cursor() = byte;
            inner_.commit(1);
            return true;
        }
        return push_slow(byte);
    }

    /// Appends a run of bytes into the buffer, never bypassing it.
    [[nodiscard]] bool extend_from_small_slice(std::string_view slice) noexcept {
        const bool ok = inner_.extend_from_slice(slice) &&
                        (inner_.len() == 0 || inner_.len() < flush_threshold_ || flush());
        update_fast_end();
        return ok;
    }

    /// Appends a run of bytes; a long one goes straight to the writer.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE bool extend_from_slice(std::string_view slice) noexcept {
        if (slice.size() < direct_write_threshold_) [[likely]] {
            return extend_from_small_slice(slice);
        }
        return write_direct(slice);
    }

    /// Room for a group of up to `n` bytes to be written in place and counted by
    /// `commit`, or null (no error set) when the group might reach the flush threshold
    /// or hold a slice due for a direct write, or the storage is full: the caller then
    /// appends piece by piece, so that the writer sees the same chunks either way.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE std::uint8_t *try_reserve(std::size_t n) noexcept {
        // `fast_end_` is kept at the length while direct writes start at SMALL_GROUP
        // bytes or less, so a small group (a number, a short string) needs one compare.
        if (fast_end_ - inner_.len() >= n && (n <= SMALL_GROUP || n < direct_write_threshold_))
            [[likely]] {
            return inner_.cursor();
        }
        return nullptr;
    }
    /// Counts `n` bytes written after `try_reserve`; they stay below the threshold.
    void commit(std::size_t n) noexcept { inner_.commit(n); }

    /// Hands the buffered output (at least one byte) to the writer.
    [[nodiscard]] bool flush() noexcept;

    /// Flushes what is left, if anything.
    [[nodiscard]] bool finish() noexcept { return inner_.len() == 0 || flush(); }

  private:
    /// Largest group of bytes that `try_reserve` lets through on the length check alone.
    static constexpr std::size_t SMALL_GROUP = 32;

    /// `push` once the byte would fill the storage or reach the threshold.
    VEZUVIR_NOINLINE bool push_slow(std::uint8_t byte) noexcept {
        const bool ok = inner_.push(byte) && (inner_.len() < flush_threshold_ || flush());
        update_fast_end();
        return ok;
    }

    /// The fast paths may write up to the end of the storage, but no further than one
    /// byte short of the threshold: a single push can then never reach it unseen.
    void update_fast_end() noexcept {
        const std::size_t below_threshold =
            flush_threshold_ == 0 || direct_write_threshold_ <= SMALL_GROUP ? 0
                                                                            : flush_threshold_ - 1;
        fast_end_ = inner_.capacity() < below_threshold ? inner_.capacity() : below_threshold;
        if (fast_end_ < inner_.len()) {
            fast_end_ = inner_.len();
        }
    }

    VEZUVIR_COLD VEZUVIR_NOINLINE bool write_direct(std::string_view slice) noexcept {
        if (slice.empty()) {
            return true;
        }
        if (inner_.len() != 0 && !flush()) {
            return false;
        }
        PyPointer chunk = PyPointer::steal(
            PyBytes_FromStringAndSize(slice.data(), static_cast<Py_ssize_t>(slice.size())));
        if (!chunk) {
            PyErr_NoMemory();
            return false;
        }
        return call_write(chunk.get());
    }
    [[nodiscard]] bool call_write(PyObject *chunk) noexcept {
        ++python_calls_;
        PyPointer result = PyPointer::steal(
            PyObject_CallMethodObjArgs(writer_.get(), write_name_.get(), chunk, nullptr));
        return static_cast<bool>(result);
    }

    /// Where output gathers between flushes.
    RawBytesBuffer inner_;
    /// The object whose `write` receives the chunks (owned).
    PyPointer writer_;
    /// "write", made once per call.
    PyPointer write_name_;
    /// Buffered length that triggers a flush.
    std::size_t flush_threshold_;
    /// Slice length from which a slice bypasses the buffer.
    std::size_t direct_write_threshold_;
    /// `inner_` may be written without a threshold check up to this length
    /// (`update_fast_end`); never below its length.
    std::size_t fast_end_ = 0;
    /// The call's count of calls into Python code, which each `write` adds to.
    std::uint64_t &python_calls_;
};

static_assert(PyBytesBuffer<RawBytesBuffer>);
static_assert(PyBytesBuffer<FilePyBytesBuffer>);

inline bool FilePyBytesBuffer::flush() noexcept {
    const std::size_t chunk_len = inner_.len();
    // The buffer holds a reference to the chunk for the whole call, whatever `write` does.
    PyObject *chunk = inner_.take_bytes();
    if (chunk == nullptr) {
        return false;
    }
    const bool ok = call_write(chunk) && inner_.recycle(chunk_len);
    update_fast_end();
    return ok;
}
