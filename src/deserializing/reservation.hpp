#pragma once
// How much room a decoding call may set aside for items it has not read yet.
//
// A container declares its item count before its items. Making it that large at once
// spares the growth steps, but a count is only a promise: checked alone against the
// bytes that remain, every level of a nesting may promise the same bytes again, and 900
// nested dicts declaring 90,000 entries each would hold gigabytes for 187 KB of input.
// So each call keeps one ledger of the input its open containers have been promised:
//
//     data: |<o>|.... P opened ....|.... C opened ....|..........................| len
//                    ^pos_P         ^pos_C
//           P claims [pos_P, pos_P + slots_P * m_P)
//           C claims [max(pos_C, end of P's claim), ... + slots_C * m_C)
//
// A container's claim starts where the claims of the containers around it end (or at
// its own position, if that is further), and covers `min_item_bytes` per slot: the least
// input an item takes. Claims therefore never overlap, and the slots reserved by all
// open containers together never exceed the input bytes after the outermost one. A
// valid encoding always has the bytes it declares, so there every container gets room
// for all its items; hostile counts get only what the input can pay for, and the
// container grows as its items really arrive.
#include <algorithm>
#include <cstddef>
#include <cstdint>

/// The input offset up to which the containers open in one call have claimed bytes.
struct SlotLedger {
    std::size_t claimed_to = 0;
};

/// Room for the items of one container, taken from its call's ledger for as long as the
/// container is being filled; the only way a decoder sizes a container ahead of its
/// items.
class Reservation {
  public:
    /// Slots a container may have without a claim: no more than a new list or dict holds
    /// anyway, so nesting them cannot multiply anything.
    static constexpr std::uint64_t UNCLAIMED_SLOTS = 8;

    /// Room for up to `n` items of at least `min_item_bytes` input bytes each, after the
    /// first `ready` of them, which are already decoded (counted in `count` and `slots`).
    Reservation(SlotLedger &ledger, std::size_t len, std::size_t pos, std::uint64_t n,
                std::size_t min_item_bytes, std::uint64_t ready = 0) noexcept
        : count_(n) {
        if (n <= UNCLAIMED_SLOTS) [[likely]] {
            // Most containers are this small: room that the container's own header bytes
            // pay for, given without a claim.
            slots_ = n;
            return;
        }
        ledger_ = &ledger;
        saved_ = ledger.claimed_to;
        const std::size_t from = std::max(pos, saved_);
        const std::size_t room = from < len ? (len - from) / min_item_bytes : 0;
        const std::uint64_t later = n - std::min(n, ready);
        const std::uint64_t granted = std::min<std::uint64_t>(later, room);
        slots_ = n - later + granted;
        ledger.claimed_to = from + static_cast<std::size_t>(granted) * min_item_bytes;
    }

    /// Room for all `n` items of a container whose items take no input of their own, or
    /// that are all made before any other container opens (packed lists): the decoder
    /// has bounded `n` itself (by the bytes that remain, or by `max_free_elements`).
    [[nodiscard]] static Reservation unclaimed(std::uint64_t n) noexcept { return Reservation(n); }

    Reservation(const Reservation &) = delete;
    Reservation &operator=(const Reservation &) = delete;
    ~Reservation() {
        // The container is complete (or abandoned): its items no longer need room.
        if (ledger_ != nullptr) {
            ledger_->claimed_to = saved_;
        }
    }

    /// The items the container declares.
    [[nodiscard]] std::uint64_t count() const noexcept { return count_; }
    /// How many of them it may be sized for before they are read; at most `count()`.
    [[nodiscard]] std::uint64_t slots() const noexcept { return slots_; }

  private:
    explicit Reservation(std::uint64_t n) noexcept : count_(n), slots_(n) {}

    SlotLedger *ledger_ = nullptr;
    std::size_t saved_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t slots_ = 0;
};
