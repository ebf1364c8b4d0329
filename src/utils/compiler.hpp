#pragma once
// The one place that knows which C++ compiler and standard library we are built with:
// inlining and placement hints, and the few builtins the hot paths use, each spelled for
// GCC and Clang (which share them) and for MSVC. Nothing else in the sources spells a
// compiler's extension.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#define VEZUVIR_MSVC 1
#include <intrin.h>
#include <stdlib.h>
#else
#define VEZUVIR_MSVC 0
#endif

#if VEZUVIR_MSVC
/// A function inlined wherever it is called (`inline` included).
#define VEZUVIR_ALWAYS_INLINE __forceinline
/// A lambda inlined wherever it is called; written after its parameter list. MSVC has no
/// spelling there that every version takes, and inlines such small lambdas on its own.
#define VEZUVIR_LAMBDA_INLINE
/// A function kept out of line: a rare path that would bloat its callers.
#define VEZUVIR_NOINLINE __declspec(noinline)
/// A function rarely called: its callers' branches to it are laid out as unlikely.
#define VEZUVIR_COLD
#else
#define VEZUVIR_ALWAYS_INLINE [[gnu::always_inline]] inline
#define VEZUVIR_LAMBDA_INLINE __attribute__((always_inline))
#define VEZUVIR_NOINLINE [[gnu::noinline]]
#define VEZUVIR_COLD [[gnu::cold]]
#endif

/// A thread-local read on every call: initial-exec makes it one load rather than a call,
/// which an extension module may use for a few words. ELF only; elsewhere the default.
#if defined(__ELF__) && !VEZUVIR_MSVC
#define VEZUVIR_TLS_INITIAL_EXEC [[gnu::tls_model("initial-exec")]]
#else
#define VEZUVIR_TLS_INITIAL_EXEC
#endif

namespace compiler {

/// The address of the calling function's frame, or of a word in it: where the native stack
/// is now. Stacks grow down on every platform we build for.
VEZUVIR_ALWAYS_INLINE std::uintptr_t frame_address() noexcept {
#if VEZUVIR_MSVC
    return reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#else
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

/// `value` with its bytes in the opposite order (`std::byteswap` is C++23).
VEZUVIR_ALWAYS_INLINE std::uint64_t byteswap(std::uint64_t value) noexcept {
#if VEZUVIR_MSVC
    return _byteswap_uint64(value);
#else
    return __builtin_bswap64(value);
#endif
}

/// `out = a + b`; true when the sum does not fit (`out` then holds it wrapped).
template <typename T>
requires std::is_unsigned_v<T>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool add_overflows(T a, T b, T &out) noexcept {
#if VEZUVIR_MSVC
    out = static_cast<T>(a + b);
    return out < a;
#else
    return __builtin_add_overflow(a, b, &out);
#endif
}

/// `out = a * b`; true when the product does not fit (`out` then holds it wrapped).
template <typename T>
requires std::is_unsigned_v<T>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool mul_overflows(T a, T b, T &out) noexcept {
#if VEZUVIR_MSVC
    out = static_cast<T>(a * b);
    return a != 0 && b > std::numeric_limits<T>::max() / a;
#else
    return __builtin_mul_overflow(a, b, &out);
#endif
}

/// An array of `n` default-initialized `T` (left unwritten when `T` is a scalar): what
/// `std::make_unique_for_overwrite` makes, which older standard libraries lack.
template <typename T> [[nodiscard]] std::unique_ptr<T[]> make_uninitialized_array(std::size_t n) {
    // Not make_unique: it would zero the array, which every caller overwrites.
    return std::unique_ptr<T[]>(new T[n]); // NOLINT(modernize-make-unique)
}

} // namespace compiler
