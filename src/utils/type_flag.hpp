#pragma once
// The one-byte tag that opens every encoded value, and the stream's starting marker.
#include <cstdint>
#include <string_view>

/// Tag byte of an encoded value. Bytes from `SmallIntBase` up are inline integers.
enum class TypeFlag : std::uint8_t {
    EmptyString = 0,
    EmptyBytes = 1,
    True = 2,
    False = 3,
    None = 4,
    EmptyList = 5,
    EmptyDict = 6,
    PositiveInt = 7,
    NegativeInt = 8,
    Float = 9,
    String = 10,
    Bytes = 11,
    Bool = 12,
    List = 13,
    ConsistentTypeList = 14,
    AnyKeyDict = 15,
    Dict = 16,
    LargePointer = 17,
    AsciiString = 18,
    StructuredList = 19,
    Pointer1 = 20,
    Pointer2 = 21,
    Pointer3 = 22,
    Pointer4 = 23,
    Custom = 24,
    SmallIntBase = 30,
};

/// The byte value of a flag.
[[nodiscard]] constexpr std::uint8_t flag_byte(TypeFlag flag) noexcept {
    return static_cast<std::uint8_t>(flag);
}

/// Largest integer written inline as one byte (`SmallIntBase` + v).
inline constexpr std::uint8_t MAX_INLINE_INT = 224;
/// First byte of a dict key that is a back-reference rather than a literal key.
inline constexpr std::uint8_t KEY_POINTER_MARKER = 254;
/// First stored byte of a literal key (or string-list element) that is all ASCII.
inline constexpr std::uint8_t ASCII_MARKER = 254;
/// Escape and terminator of the long form of `varint` and `key_varint`.
inline constexpr std::uint8_t VARINT_ESCAPE = 255;
/// Every encoding starts with these three bytes.
inline constexpr std::string_view STARTING_MARKER = "<o>";
