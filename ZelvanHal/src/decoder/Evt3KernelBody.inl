// Body of the fast decoding loop; included by the translation units that build each variant with
// EVT3_KERNEL_NAME (the function), EVT3_KERNEL_NS (a namespace private to the variant), for the
// AVX2 + BMI2 variant EVT3_KERNEL_AVX2 set, and for the AVX-512 variant both EVT3_KERNEL_AVX2 and
// EVT3_KERNEL_AVX512 set.
#include <cstring>

#include "Evt3Kernel.h"

#ifndef EVT3_KERNEL_AVX512
#define EVT3_KERNEL_AVX512 0
#endif

#if EVT3_KERNEL_AVX2
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelvan::detail {
namespace EVT3_KERNEL_NS {

#if EVT3_KERNEL_AVX2
// Makes a loop constant (a vector) opaque to the compiler, so that it is built once: short of registers, a
// compiler may otherwise build it again in every round with a broadcast that competes with the shuffles
// of the loop; an opaque value stays in a register or is read back from the stack.
template <typename Vector>
inline Vector pinned(Vector x) {
    __asm__("" : "+v"(x));
    return x;
}
#endif

// Per word type (bits 15..12), what the fast loop does, as masks; no branch depends on the type.
struct Tables {
    uint64_t step_x[16];    // sizeof(Event2D) for ADDR_X: the candidate event counts
    uint64_t row_bits[16];  // ADDR_Y: where the 11-bit row goes in the event head
    uint64_t row_keep[16];  // ADDR_Y: 0 (the row is replaced), others: all ones
    uint64_t low_bits[16];  // TIME_LOW: the 12 low time bits
    uint64_t low_keep[16];  // TIME_LOW: everything but the 12 low time bits
};

constexpr Tables makeTables() {
    Tables t{};
    for (int i = 0; i < 16; ++i) {
        t.step_x[i] = i == 0x2 ? sizeof(Event2D) : 0;
        t.row_bits[i] = i == 0x0 ? 0x07FF0000ull : 0;
        t.row_keep[i] = i == 0x0 ? 0 : ~0ull;
        t.low_bits[i] = i == 0x6 ? 0xFFFull : 0;
        t.low_keep[i] = i == 0x6 ? ~0xFFFull : ~0ull;
    }
    return t;
}

alignas(64) constexpr Tables kTables = makeTables();

// For each 4-bit mask, the positions of its set bits in ascending order, laid out as the first
// eight bytes of two pairs of events: {p0, 0, p1, 0}, {p2, 0, p3, 0}.
struct NibbleTable {
    uint64_t offsets[16][8];
};

constexpr NibbleTable makeNibbleTable() {
    NibbleTable t{};
    for (int m = 0; m < 16; ++m) {
        int n = 0;
        for (int bit = 0; bit < 4; ++bit) {
            if (m & (1 << bit)) t.offsets[m][2 * n++] = static_cast<uint64_t>(bit);
        }
    }
    return t;
}

alignas(64) constexpr NibbleTable kNibbles = makeNibbleTable();

// Types of four words read as one little-endian 64-bit value: VECT_BASE_X, VECT_12, VECT_12, VECT_8.
constexpr uint64_t kGroupTypeMask = 0xF000F000F000F000ull;
constexpr uint64_t kGroupTypes = 0x5000400040003000ull;

// Whether four words read as one 64-bit value are an ADDR_Y followed by the first three words of a group.
inline bool isRowBeforeGroup(uint64_t words) {
    return (words & 0xF000) == 0 && ((words >> 16) & kGroupTypeMask) == (kGroupTypes & 0xFFFFFFFFFFFFull);
}

// The 32 pixel bits of a group read as one 64-bit value (its VECT_12, VECT_12 and VECT_8 masks).
inline uint32_t groupMask(uint64_t group) {
    return static_cast<uint32_t>((group >> 16) & 0xFFF) |
           static_cast<uint32_t>(((group >> 32) & 0xFFF) << 12) |
           static_cast<uint32_t>(((group >> 48) & 0xFF) << 24);
}

// Writes the events of one vector group: `head` is the event head of pixel 0 of the group.
// Writes up to 32 slots from `o`, whatever the mask.
inline void emitGroup(uint64_t head, uint64_t ts, uint32_t mask, Event2D*& o) {
#if EVT3_KERNEL_AVX2
    if (__builtin_popcount(mask) <= 4) {
        // Sparse groups (common in real streams): four fixed rounds, no data-dependent branch.
        for (int k = 0; k < 4; ++k) {
            const uint64_t packed[2] = {head + static_cast<uint64_t>(__builtin_ctz(mask | 0x80000000u)), ts};
            std::memcpy(static_cast<void*>(o), packed, sizeof packed);
            o += mask != 0;
            mask &= mask - 1;
        }
        return;
    }
    __m256i cur = _mm256_set_epi64x(static_cast<long long>(ts), static_cast<long long>(head),
                                    static_cast<long long>(ts), static_cast<long long>(head));
    const __m256i four = _mm256_set_epi64x(0, 4, 0, 4);
    for (int nib = 0; nib < 8; ++nib) {
        const uint32_t m = (mask >> (4 * nib)) & 0xF;
        const __m256i* offsets = reinterpret_cast<const __m256i*>(kNibbles.offsets[m]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_add_epi64(cur, _mm256_load_si256(offsets)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 2),
                            _mm256_add_epi64(cur, _mm256_load_si256(offsets + 1)));
        o += __builtin_popcount(m);
        cur = _mm256_add_epi64(cur, four);
    }
#else
    while (mask != 0) {
        const uint64_t packed[2] = {head + static_cast<uint64_t>(__builtin_ctz(mask)), ts};
        std::memcpy(static_cast<void*>(o), packed, sizeof packed);
        ++o;
        mask &= mask - 1;
    }
#endif
}

// Word types the fast loop leaves to the general path: VECT_BASE_X, VECT_12, VECT_8, EXT_TRIGGER.
// TIME_HIGH is left to it only when its value changes.
constexpr uint32_t kGeneralTypes = (1u << 0x3) | (1u << 0x4) | (1u << 0x5) | (1u << 0xA);

inline uint32_t load(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }

inline bool needsGeneralPath(uint32_t w, uint32_t th_word) {
    return ((kGeneralTypes >> (w >> 12)) & 1u) != 0 || (w ^ th_word) - 1u < 0xFFFu;
}

inline void step(uint32_t w, Event2D*& out, Evt3FastRegs& r) {
    const uint32_t t = w >> 12;
#if EVT3_KERNEL_AVX2
    const uint64_t head = _pdep_u64(w, 0x1000007FFull) | r.row_head;
    const uint64_t row = _pdep_u64(w, kTables.row_bits[t]);
#else
    const uint64_t head = uint64_t(w & 0x7FF) | (uint64_t(w & 0x800) << 21) | r.row_head;
    const uint64_t row = (uint64_t(w & 0x7FF) << 16) & kTables.row_bits[t];
#endif
    const uint64_t packed[2] = {head, r.ts};
    std::memcpy(static_cast<void*>(out), packed, sizeof packed);
    out = reinterpret_cast<Event2D*>(reinterpret_cast<char*>(out) + kTables.step_x[t]);
    r.row_head = (r.row_head & kTables.row_keep[t]) | row;
    r.ts = (r.ts & kTables.low_keep[t]) | (w & kTables.low_bits[t]);
}

// Bit i set when word i of the 16 at `p` needs the general path.
inline uint32_t classify16(const uint8_t* p, uint32_t th_word) {
#if defined(__SSE2__)
    uint32_t result = 0;
    for (int half = 0; half < 2; ++half) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * half));
        const __m128i type = _mm_srli_epi16(v, 12);
        const __m128i general = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(type, _mm_set1_epi16(0x3)),
                                                          _mm_cmpeq_epi16(type, _mm_set1_epi16(0x4))),
                                             _mm_or_si128(_mm_cmpeq_epi16(type, _mm_set1_epi16(0x5)),
                                                          _mm_cmpeq_epi16(type, _mm_set1_epi16(0xA))));
        const __m128i x = _mm_xor_si128(v, _mm_set1_epi16(static_cast<short>(th_word)));
        const __m128i changed_th = _mm_cmpeq_epi16(
            _mm_subs_epu16(_mm_sub_epi16(x, _mm_set1_epi16(1)), _mm_set1_epi16(0xFFE)), _mm_setzero_si128());
        const __m128i any = _mm_or_si128(general, changed_th);
        const uint32_t bytes = static_cast<uint32_t>(_mm_movemask_epi8(any));
        uint32_t words = 0;
        for (int i = 0; i < 8; ++i) words |= ((bytes >> (2 * i + 1)) & 1u) << i;
        result |= words << (8 * half);
    }
    return result;
#else
    uint32_t result = 0;
    for (int i = 0; i < 16; ++i) result |= uint32_t(needsGeneralPath(load(p + 2 * i), th_word)) << i;
    return result;
#endif
}

#if EVT3_KERNEL_AVX2 && !EVT3_KERNEL_AVX512
// For each 8-bit mask, the byte shuffle that moves the 16-bit lanes whose bits are set to the front, in
// ascending order; the lanes behind them become zero.
struct CompressTable {
    uint8_t control[256][16];
};

constexpr CompressTable makeCompressTable() {
    CompressTable t{};
    for (int m = 0; m < 256; ++m) {
        int n = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (m & (1 << bit)) {
                t.control[m][2 * n] = static_cast<uint8_t>(2 * bit);
                t.control[m][2 * n + 1] = static_cast<uint8_t>(2 * bit + 1);
                ++n;
            }
        }
        for (int i = 2 * n; i < 16; ++i) t.control[m][i] = 0x80;
    }
    return t;
}

alignas(64) constexpr CompressTable kCompress = makeCompressTable();

// All ones in the lanes whose bits are set in `bits`; `lane_bits` holds 1 << lane in each lane.
inline __m256i laneMask(uint32_t bits, __m256i lane_bits) {
    return _mm256_cmpeq_epi16(_mm256_and_si256(_mm256_set1_epi16(static_cast<short>(bits)), lane_bits),
                              lane_bits);
}

// Lane 15 of `x` in every lane.
inline __m256i broadcastLast(__m256i x) {
    return _mm256_permute4x64_epi64(_mm256_shufflehi_epi16(x, 0xFF), 0xFF);
}

// The largest of lanes 0..i of `x` in each lane i (unsigned); `word7` is the byte shuffle that repeats
// lane 7 of each half.
inline __m256i prefixMax(__m256i x, __m256i word7) {
    x = _mm256_max_epu16(x, _mm256_bslli_epi128(x, 2));
    x = _mm256_max_epu16(x, _mm256_bslli_epi128(x, 4));
    x = _mm256_max_epu16(x, _mm256_bslli_epi128(x, 8));
    // The upper half also sees the largest of the lower one.
    return _mm256_max_epu16(x, _mm256_shuffle_epi8(_mm256_permute2x128_si256(x, x, 0x08), word7));
}

// Four events, two in each of `e01` and `e23`, one after the other from `o`.
inline void storePairs(__m256i e01, __m256i e23, Event2D* o) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), e01);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 2), e23);
}

// Four events of each half from the dwords `xy` (x with its polarity in bit 11, y above) and `t32` (the
// low 32 bits of their time): e0..e3 hold the first to fourth, the lower half's in the lower lane.
inline void eventsOf(__m256i xy, __m256i t32, __m256i head_keep, __m256i one32, __m256i ts_high, __m256i& e0,
                     __m256i& e1, __m256i& e2, __m256i& e3) {
    const __m256i head = _mm256_and_si256(xy, head_keep);
    const __m256i pol = _mm256_and_si256(_mm256_srli_epi32(xy, 11), one32);
    const __m256i hp0 = _mm256_unpacklo_epi32(head, pol);
    const __m256i hp1 = _mm256_unpackhi_epi32(head, pol);
    const __m256i tt0 = _mm256_unpacklo_epi32(t32, ts_high);
    const __m256i tt1 = _mm256_unpackhi_epi32(t32, ts_high);
    e0 = _mm256_unpacklo_epi64(hp0, tt0);
    e1 = _mm256_unpackhi_epi64(hp0, tt0);
    e2 = _mm256_unpacklo_epi64(hp1, tt1);
    e3 = _mm256_unpackhi_epi64(hp1, tt1);
}

// Decodes blocks of 16 words, eight in each half of a vector: the word kinds are found at once; the row
// and the TIME_LOW each word sees are the block's last ADDR_Y and TIME_LOW at or before it (a running
// maximum over values tagged with their place), else those carried in from the blocks before. The
// ADDR_X lanes of each half are moved to its front and interleaved into events. EXT_TRIGGER words are
// listed in `r.triggers` with the event they come before, while the list has room for a whole block of
// them. A block is decoded up to its first word for the general path; whole vector groups found there
// are decoded too.
inline const uint8_t* blockLoop(const uint8_t* ptr, const uint8_t* end, Event2D*& out, Event2D* room_end,
                                Evt3FastRegs& r) {
    // Row tags: (lane + 1) << 11 above the 11-bit row; TIME_LOW tags: lane << 12 above its 12 bits (a
    // lane before the block's first TIME_LOW takes the value carried in instead, see `first_low`).
    const __m256i row_tags =
        _mm256_setr_epi16(0x0800, 0x1000, 0x1800, 0x2000, 0x2800, 0x3000, 0x3800, 0x4000, 0x4800, 0x5000,
                          0x5800, 0x6000, 0x6800, 0x7000, 0x7800, static_cast<short>(0x8000));
    const __m256i low_tags =
        _mm256_setr_epi16(0x0000, 0x1000, 0x2000, 0x3000, 0x4000, 0x5000, 0x6000, 0x7000,
                          static_cast<short>(0x8000), static_cast<short>(0x9000), static_cast<short>(0xA000),
                          static_cast<short>(0xB000), static_cast<short>(0xC000), static_cast<short>(0xD000),
                          static_cast<short>(0xE000), static_cast<short>(0xF000));
    const __m256i lane_bits =
        _mm256_setr_epi16(0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100, 0x200, 0x400, 0x800, 0x1000,
                          0x2000, 0x4000, static_cast<short>(0x8000));
    const __m256i word7 = pinned(_mm256_set1_epi16(0x0F0E));
    // Byte lookup of the type: 0xFF for the general types.
    const __m256i general_lut = _mm256_setr_epi8(0, 0, 0, -1, -1, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0,  //
                                                 0, 0, 0, -1, -1, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0);
    const __m256i x_type = pinned(_mm256_set1_epi16(0x2));
    const __m256i t_type = pinned(_mm256_set1_epi16(0x6));
    const __m256i trig_type = pinned(_mm256_set1_epi16(0xA));
    const __m256i row_bits = pinned(_mm256_set1_epi16(0x7FF));
    const __m256i low_bits = pinned(_mm256_set1_epi16(0xFFF));
    const __m256i th_word = _mm256_set1_epi16(static_cast<short>(r.th_word));
    const __m256i one16 = pinned(_mm256_set1_epi16(1));
    const __m256i th_range = pinned(_mm256_set1_epi16(0xFFE));
    // Event parts: the head dword keeps x and y; the polarity is bit 11 of x; the time's bits 12..15,
    // 16..31 and 32..63.
    const __m256i head_keep = pinned(_mm256_set1_epi32(static_cast<int>(0xFFFF07FFu)));
    const __m256i one32 = pinned(_mm256_set1_epi32(1));
    const __m256i ts_mid = _mm256_set1_epi16(static_cast<short>(r.ts & 0xF000));
    const __m256i ts_upper16 = _mm256_set1_epi16(static_cast<short>((r.ts >> 16) & 0xFFFF));
    const __m256i ts_high = _mm256_set1_epi32(static_cast<int>(r.ts >> 32));
    const uint64_t ts_top = r.ts & ~uint64_t(0xFFF);
    uint32_t row = static_cast<uint32_t>(r.row_head >> 16);
    uint32_t low = static_cast<uint32_t>(r.ts & 0xFFF);
    __m256i rows_in = _mm256_set1_epi16(static_cast<short>(row));
    __m256i lows_in = _mm256_set1_epi16(static_cast<short>(low));
    Event2D* o = out;
    // Lanes at the front of this block that hold the rest of a vector group the block before decoded.
    uint32_t taken = 0;
    while (end - ptr >= 32 && o <= room_end) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ptr));
        const __m256i type = _mm256_srli_epi16(v, 12);
        const __m256i is_y = _mm256_cmpeq_epi16(type, _mm256_setzero_si256());
        const __m256i is_x = _mm256_cmpeq_epi16(type, x_type);
        const __m256i is_t = _mm256_cmpeq_epi16(type, t_type);
        // A TIME_HIGH with a new value: 0 < (w ^ th_word) < 0x1000.
        const __m256i changed_th = _mm256_cmpeq_epi16(
            _mm256_subs_epu16(_mm256_sub_epi16(_mm256_xor_si256(v, th_word), one16), th_range),
            _mm256_setzero_si256());
        const __m256i general_v =
            _mm256_or_si256(_mm256_slli_epi16(_mm256_shuffle_epi8(general_lut, type), 8), changed_th);
        // Bits 0..7 and 16..23: the first mask for words 0..7 and 8..15; bits 8..15 and 24..31: the second.
        const uint32_t xt = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(is_x, is_t)));
        const uint32_t ga = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_packs_epi16(general_v, _mm256_cmpeq_epi16(type, trig_type))));
        uint32_t general = ((ga & 0xFFu) | ((ga >> 8) & 0xFF00u)) & ~taken;
        taken = 0;
        uint32_t ktrig = 0;
        // The x (with the polarity in bit 11) of each lane's event.
        __m256i words = v;
        uint32_t kx_groups = 0;
        if (__builtin_expect(general != 0, 0)) {
            if (r.trigger_count + 16 <= kEvt3TriggerRoom) {
                // EXT_TRIGGER words stay in the block: they are listed with the place of the events before
                // them.
                ktrig = ((ga >> 8) & 0xFFu) | ((ga >> 16) & 0xFF00u);
                general &= ~ktrig;
            }
            // A vector group inside the block with at most four events gives them to its four lanes, one
            // each, in order: they are then written with the ADDR_X events around them.
            while (general != 0) {
                const int g = __builtin_ctz(general);
                uint64_t group;
                // A group reaching into the next block gives its events to the lanes it has here; the next
                // block leaves its other words alone.
                if (end - ptr < 2 * g + 8) break;
                std::memcpy(&group, ptr + 2 * g, sizeof group);
                if ((group & kGroupTypeMask) != kGroupTypes) break;
                const uint32_t base = static_cast<uint32_t>(group & 0x7FF);
                const uint32_t pol = static_cast<uint32_t>(group & 0x800);
                uint32_t mask = groupMask(group);
                const int count = __builtin_popcount(mask);
                if (count > (g > 12 ? 16 - g : 4) || base > 0x7FF - 31) break;
                uint64_t xs = 0;
                for (int k = 0; k < 4; ++k) {
                    xs |= uint64_t(pol | (base + static_cast<uint32_t>(__builtin_ctz(mask | 0x80000000u))))
                          << (16 * k);
                    mask &= mask - 1;
                }
                // Lane L of a broadcast holds word L % 4: rotate word 0 to lane g.
                const int turn = 16 * (g & 3);
                xs = turn == 0 ? xs : (xs << turn) | (xs >> (64 - turn));
                const uint32_t lanes = 0xFu << g;
                taken = lanes >> 16;
                words = _mm256_blendv_epi8(words, _mm256_set1_epi64x(static_cast<long long>(xs)),
                                           laneMask(lanes, lane_bits));
                kx_groups |= ((1u << count) - 1u) << g;
                general &= ~lanes;
                r.base_x = base + 32;
                r.vpol = pol >> 11;
                r.base_known = true;
            }
        }
        const uint32_t stop = general | 0x10000u;
        const uint32_t valid = (stop & (0u - stop)) - 1u;  // the lanes before the first general word
        const uint32_t kx = (((xt & 0xFFu) | ((xt >> 8) & 0xFF00u)) | kx_groups) & valid;
        const uint32_t kt = ((xt >> 8) & 0xFFu) | ((xt >> 16) & 0xFF00u);

        // Lanes at or after the block's first TIME_LOW.
        const uint32_t first_low = 0u - (kt & (0u - kt));
        const __m256i low_seen = laneMask(first_low, lane_bits);
        const __m256i row_tagged =
            _mm256_and_si256(is_y, _mm256_or_si256(_mm256_and_si256(v, row_bits), row_tags));
        const __m256i low_tagged =
            _mm256_and_si256(is_t, _mm256_or_si256(_mm256_and_si256(v, low_bits), low_tags));
        const __m256i rows =
            _mm256_and_si256(_mm256_max_epu16(prefixMax(row_tagged, word7), rows_in), row_bits);
        const __m256i lows =
            _mm256_and_si256(_mm256_blendv_epi8(lows_in, prefixMax(low_tagged, word7), low_seen), low_bits);

        Event2D* const block_out = o;
        if (kx != 0) {
            const uint32_t k0 = kx & 0xFF;
            const uint32_t k1 = kx >> 8;
            const int n0 = __builtin_popcount(k0);
            const int n1 = __builtin_popcount(k1);
            const __m256i control = _mm256_inserti128_si256(
                _mm256_castsi128_si256(
                    _mm_load_si128(reinterpret_cast<const __m128i*>(kCompress.control[k0]))),
                _mm_load_si128(reinterpret_cast<const __m128i*>(kCompress.control[k1])), 1);
            const __m256i xs = _mm256_shuffle_epi8(words, control);
            const __m256i ys = _mm256_shuffle_epi8(rows, control);
            const __m256i ts = _mm256_shuffle_epi8(_mm256_or_si256(lows, ts_mid), control);
            // Events 0..3 of each half, then 4..7 where a half has more. The lower half's events are
            // stored first: its slots past its own events are overwritten by the upper half's.
            __m256i e0, e1, e2, e3;
            eventsOf(_mm256_unpacklo_epi16(xs, ys), _mm256_unpacklo_epi16(ts, ts_upper16), head_keep, one32,
                     ts_high, e0, e1, e2, e3);
            storePairs(_mm256_permute2x128_si256(e0, e1, 0x20), _mm256_permute2x128_si256(e2, e3, 0x20), o);
            if (n0 > 4 || n1 > 4) {
                __m256i e4, e5, e6, e7;
                eventsOf(_mm256_unpackhi_epi16(xs, ys), _mm256_unpackhi_epi16(ts, ts_upper16), head_keep,
                         one32, ts_high, e4, e5, e6, e7);
                if (n0 > 4) {
                    storePairs(_mm256_permute2x128_si256(e4, e5, 0x20),
                               _mm256_permute2x128_si256(e6, e7, 0x20), o + 4);
                }
                storePairs(_mm256_permute2x128_si256(e4, e5, 0x31), _mm256_permute2x128_si256(e6, e7, 0x31),
                           o + n0 + 4);
            }
            storePairs(_mm256_permute2x128_si256(e0, e1, 0x31), _mm256_permute2x128_si256(e2, e3, 0x31),
                       o + n0);
            o += n0 + n1;
        }
        if (const uint32_t listed = ktrig & valid; listed != 0) {
            alignas(32) uint16_t lanes[16];
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), lows);
            for (uint32_t trig = listed; trig != 0; trig &= trig - 1) {
                const int lane = __builtin_ctz(trig);
                Evt3Trigger& t = r.triggers[r.trigger_count++];
                t.at = block_out + __builtin_popcount(kx & ((1u << lane) - 1u));
                t.ts = ts_top | lanes[lane];
                t.word = load(ptr + 2 * lane);
            }
        }
        // The next block's address must not wait for this block's classification: whole blocks are the
        // rule and advance by a constant.
        if (__builtin_expect(general == 0, 1)) {
            rows_in = broadcastLast(rows);
            lows_in = broadcastLast(lows);
            ptr += 32;
            continue;
        }
        // The general word is neither ADDR_Y nor TIME_LOW: its own lane holds the row and time before it.
        const int lane = __builtin_ctz(general);
        alignas(32) uint16_t lanes[16];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), rows);
        row = lanes[lane];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), lows);
        low = lanes[lane];
        ptr += 2 * lane;
        // Whole vector groups are decoded here; anything else goes back to the general path.
        // Between the groups of a busy stream, the rows that start them are taken here too.
        bool groups = false;
        while (end - ptr >= 8 && o + kEvt3GroupRoom <= room_end) {
            uint64_t group;
            std::memcpy(&group, ptr, sizeof group);
            if ((group & kGroupTypeMask) != kGroupTypes) {
                if (!isRowBeforeGroup(group)) break;
                row = static_cast<uint32_t>(group & 0x7FF);
                ptr += 2;
                continue;
            }
            const uint32_t base = static_cast<uint32_t>(group & 0x7FF);
            const uint32_t pol = static_cast<uint32_t>((group >> 11) & 1);
            const uint32_t mask = groupMask(group);
            emitGroup(uint64_t(base) | (uint64_t(row) << 16) | (uint64_t(pol) << 32), ts_top | low, mask, o);
            r.base_x = base + 32;
            r.vpol = pol;
            r.base_known = true;
            ptr += 8;
            groups = true;
        }
        rows_in = _mm256_set1_epi16(static_cast<short>(row));
        lows_in = _mm256_set1_epi16(static_cast<short>(low));
        if (!groups) break;
    }
    // The rest of a group the last block decoded.
    ptr += 2 * __builtin_popcount(taken);
    row = static_cast<uint32_t>(_mm256_extract_epi16(rows_in, 0)) & 0xFFFF;
    low = static_cast<uint32_t>(_mm256_extract_epi16(lows_in, 0)) & 0xFFFF;
    r.row_head = uint64_t(row) << 16;
    r.ts = ts_top | low;
    out = o;
    return ptr;
}
#endif

#if EVT3_KERNEL_AVX512
// Writes the events of one vector group: `head` is the event head of pixel 0 of the group. Writes up to
// 32 slots from `o`, whatever the mask.
inline void emitGroup512(uint64_t head, uint64_t ts, uint32_t mask, Event2D*& o) {
    if (__builtin_popcount(mask) <= 4) {
        // Sparse groups (common in real streams): four fixed rounds, no data-dependent branch.
        for (int k = 0; k < 4; ++k) {
            const uint64_t packed[2] = {head + static_cast<uint64_t>(__builtin_ctz(mask | 0x80000000u)), ts};
            std::memcpy(static_cast<void*>(o), packed, sizeof packed);
            o += mask != 0;
            mask &= mask - 1;
        }
        return;
    }
    // Sixteen pixels at a time: the offsets of the set ones, compressed to the front, go four by four
    // into the x of four copies of the event of the first pixel, one 64-byte store each. The stores past
    // the events are overwritten by the next ones.
    const __m512i cur =
        _mm512_broadcast_i32x4(_mm_set_epi64x(static_cast<long long>(ts), static_cast<long long>(head)));
    const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i sixteen = _mm512_set1_epi32(16);
#pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
        const auto m = static_cast<__mmask16>(mask >> (16 * half));
        const __m512i xs = _mm512_maskz_compress_epi32(m, half == 0 ? iota : _mm512_add_epi32(iota, sixteen));
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            const __m512i index =
                _mm512_setr_epi32(4 * k, 0, 0, 0, 4 * k + 1, 0, 0, 0, 4 * k + 2, 0, 0, 0, 4 * k + 3, 0, 0, 0);
            _mm512_storeu_si512(static_cast<void*>(o + 4 * k),
                                _mm512_add_epi32(cur, _mm512_maskz_permutexvar_epi32(0x1111, index, xs)));
        }
        o += __builtin_popcount(static_cast<uint32_t>(m));
    }
}

// For the compressed lanes 4k..4k+3, the words of the two vectors of emitEvents4 (0..31: the first,
// 32..63: the second) that the four events' x, y, polarity and time bits 0..15 come from.
struct EventsIndexTable {
    uint16_t words[4][32];
};

constexpr EventsIndexTable makeEventsIndexTable() {
    EventsIndexTable t{};
    for (int from = 0; from < 16; from += 4) {
        for (int e = 0; e < 4; ++e) {
            const auto lane = static_cast<uint16_t>(2 * (from + e));
            uint16_t* w = t.words[from / 4] + 8 * e;
            w[0] = lane;                                  // x
            w[1] = static_cast<uint16_t>(lane + 1);       // y
            w[2] = static_cast<uint16_t>(32 + lane + 1);  // polarity
            w[4] = static_cast<uint16_t>(32 + lane);      // time, bits 0..15
        }
    }
    return t;
}

alignas(64) constexpr EventsIndexTable kEventsIndex = makeEventsIndexTable();

// The words of eventsIndex taken from the two vectors.
constexpr __mmask32 kEventWords = 0x17171717u;

// The permute index of emitEvents4 for the compressed lanes `from`..`from + 3`: the words of kEventsIndex,
// and where no word is picked, what the whole loop writes there: the padding after the polarity, and the
// time's bits 16..63 (the second eight bytes of an event hold the time).
inline __m512i eventsIndex(int from, uint64_t ts) {
    const auto high = static_cast<long long>(ts & ~uint64_t(0xFFFF));
    const __m512i fixed = _mm512_set_epi64(high, 0, high, 0, high, 0, high, 0);
    return _mm512_mask_blend_epi16(kEventWords, fixed, _mm512_load_si512(kEventsIndex.words[from / 4]));
}

// Four events from the compressed lanes picked by `index` (eventsIndex) of `xy` (x | y << 16) and `tp`
// (bits 0..15 of the time | polarity << 16): one permute, one store.
inline void emitEvents4(__m512i xy, __m512i tp, __m512i index, Event2D* o) {
    _mm512_storeu_si512(static_cast<void*>(o), _mm512_mask2_permutex2var_epi16(xy, index, kEventWords, tp));
}

// Lane `i` of `x` (outside the loop's common path).
inline uint32_t laneOf(__m512i x, int i) {
    alignas(64) uint32_t lanes[16];
    _mm512_store_si512(static_cast<void*>(lanes), x);
    return lanes[i];
}

// For each lane i, the lane of the highest bit of `mask` at or below bit i, plus 16; 15 where there is
// none. As an index of a two-source permute it picks lane h of the second source (the block's words), or
// lane 15 of the first (the last block's lookups, whose lane 15 is the value carried in) where no bit is
// set.
inline __m512i lastAtOrBefore(uint32_t mask, __m512i up_to, __m512i k47) {
    const __m512i bits = _mm512_and_si512(_mm512_set1_epi32(static_cast<int>(mask)), up_to);
    return _mm512_sub_epi32(k47, _mm512_lzcnt_epi32(bits));
}

// Decodes blocks of 16 words: the word kinds of a block are found at once, and the row and TIME_LOW that
// each ADDR_X sees are read from the block's last ADDR_Y and TIME_LOW at or before it (lastAtOrBefore),
// else from the values carried in from the blocks before. The ADDR_X lanes are then compressed and
// written as events, eight at a time. EXT_TRIGGER words are listed in `r.triggers` with the event they
// come before, while the list has room for a whole block of them. A block is decoded up to its first
// word for the general path; whole vector groups found there are decoded too.
inline const uint8_t* blockLoop(const uint8_t* ptr, const uint8_t* end, Event2D*& out, Event2D* room_end,
                                Evt3FastRegs& r) {
    const __m512i up_to = pinned(_mm512_setr_epi32(0x1, 0x3, 0x7, 0xF, 0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF,
                                                   0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF));
    const __m512i k47 = pinned(_mm512_set1_epi32(47));
    const __m512i x_bits = pinned(_mm512_set1_epi32(0x7FF));
    const __m512i low_bits = pinned(_mm512_set1_epi32(0xFFF));
    const __m512i pol_bit = pinned(_mm512_set1_epi32(0x800));
    // The word types, one word per lane: 0xFF in the general ones' entries.
    const __m256i general_lut =
        pinned(_mm256_setr_epi8(0, 0, 0, -1, -1, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0,  //
                                0, 0, 0, -1, -1, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0));
    const __m256i y_type = _mm256_setzero_si256();
    const __m256i x_type = pinned(_mm256_set1_epi16(0x2));
    const __m256i t_type = pinned(_mm256_set1_epi16(0x6));
    const __m256i th_type = pinned(_mm256_set1_epi16(0x8));
    const __m256i th_word = pinned(_mm256_set1_epi16(static_cast<short>(r.th_word)));
    const __m512i ts_mid = pinned(_mm512_set1_epi32(static_cast<int>(r.ts & 0xF000u)));
    const __m512i index0 = pinned(eventsIndex(0, r.ts));
    const __m512i index4 = pinned(eventsIndex(4, r.ts));
    const __m512i index8 = pinned(eventsIndex(8, r.ts));
    const __m512i index12 = pinned(eventsIndex(12, r.ts));
    const uint64_t ts_top = r.ts & ~uint64_t(0xFFF);
    uint32_t row = static_cast<uint32_t>(r.row_head >> 16);
    uint32_t low = static_cast<uint32_t>(r.ts & 0xFFF);
    // The row and TIME_LOW each lane of the last block saw; lane 15 holds those carried into the next
    // block, and is where a lane with no ADDR_Y or TIME_LOW at or before it reads them.
    __m512i rows = _mm512_set1_epi32(static_cast<int>(row));
    __m512i lows = _mm512_set1_epi32(static_cast<int>(low));
    Event2D* o = out;
    // Lanes at the front of this block that hold the rest of a vector group the block before decoded.
    uint32_t taken = 0;
    while (end - ptr >= 32 && o <= room_end) {
        // The word types are found on the 16-bit words, the events built from 32-bit lanes.
        const __m256i v16 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ptr));
        const __m512i v = _mm512_cvtepu16_epi32(v16);
        const __m256i type = _mm256_srli_epi16(v16, 12);
        const __m256i general_v = _mm256_shuffle_epi8(general_lut, type);
        const __mmask16 kth = _mm256_cmpeq_epi16_mask(type, th_type);
        uint32_t general = (static_cast<uint32_t>(_mm256_test_epi16_mask(general_v, general_v)) |
                            static_cast<uint32_t>(_mm256_mask_cmpneq_epi16_mask(kth, v16, th_word))) &
                           ~taken;
        taken = 0;
        uint32_t ktrig = 0;
        // The x (with the polarity in bit 11) of each lane's event.
        __m512i words = v;
        uint32_t kx_groups = 0;
        if (__builtin_expect(general != 0, 0)) {
            if (r.trigger_count + 16 <= kEvt3TriggerRoom) {
                // EXT_TRIGGER words stay in the block: they are listed with the place of the events before
                // them.
                ktrig = _mm256_cmpeq_epi16_mask(type, _mm256_set1_epi16(0xA));
                general &= ~ktrig;
            }
            // A vector group inside the block with at most four events gives them to its four lanes, one
            // each, in order: they are then written with the ADDR_X events around them. A group reaching
            // into the next block does so when its events fit the lanes it has here; the next block leaves
            // its other words alone.
            while (general != 0) {
                const int g = __builtin_ctz(general);
                if (end - ptr < 2 * g + 8) break;
                uint64_t group;
                std::memcpy(&group, ptr + 2 * g, sizeof group);
                if ((group & kGroupTypeMask) != kGroupTypes) break;
                const uint32_t base = static_cast<uint32_t>(group & 0x7FF);
                const uint32_t pol = static_cast<uint32_t>(group & 0x800);
                uint32_t mask = groupMask(group);
                const int count = __builtin_popcount(mask);
                if (count > (g > 12 ? 16 - g : 4) || base > 0x7FF - 31) break;
                // The x of its k-th event in dword k, built in registers: a vector read back from four
                // stores would wait for them to leave the store buffer.
                uint64_t xs[2];
#pragma GCC unroll 4
                for (int k = 0; k < 4; ++k) {
                    const uint64_t x =
                        pol | (base + static_cast<uint32_t>(__builtin_ctz(mask | 0x80000000u)));
                    xs[k / 2] = k % 2 == 0 ? x : xs[k / 2] | (x << 32);
                    mask &= mask - 1;
                }
                const uint32_t lanes = 0xFu << g;
                words = _mm512_mask_expand_epi32(
                    words, static_cast<__mmask16>(lanes),
                    _mm512_castsi128_si512(
                        _mm_set_epi64x(static_cast<long long>(xs[1]), static_cast<long long>(xs[0]))));
                kx_groups |= ((1u << count) - 1u) << g;
                general &= ~lanes;
                taken = lanes >> 16;
                r.base_x = base + 32;
                r.vpol = pol >> 11;
                r.base_known = true;
            }
        }
        const uint32_t stop = general | 0x10000u;
        const uint32_t valid = (stop & (0u - stop)) - 1u;  // the lanes before the first general word
        const uint32_t kx =
            (static_cast<uint32_t>(_mm256_cmpeq_epi16_mask(type, x_type)) | kx_groups) & valid;
        const uint32_t ky = static_cast<uint32_t>(_mm256_cmpeq_epi16_mask(type, y_type)) & valid;
        const uint32_t kt = static_cast<uint32_t>(_mm256_cmpeq_epi16_mask(type, t_type)) & valid;
        Event2D* const block_out = o;
        if ((kx | ky | kt | ktrig) != 0) {
            rows =
                _mm512_and_si512(_mm512_permutex2var_epi32(rows, lastAtOrBefore(ky, up_to, k47), v), x_bits);
            lows = _mm512_and_si512(_mm512_permutex2var_epi32(lows, lastAtOrBefore(kt, up_to, k47), v),
                                    low_bits);
        }
        if (kx != 0) {
            const __m512i xy = _mm512_ternarylogic_epi32(words, x_bits, _mm512_slli_epi32(rows, 16), 0xEA);
            const __m512i tp = _mm512_ternarylogic_epi32(
                lows, ts_mid, _mm512_slli_epi32(_mm512_and_si512(words, pol_bit), 5), 0xFE);
            const __m512i cxy = _mm512_maskz_compress_epi32(static_cast<__mmask16>(kx), xy);
            const __m512i ctp = _mm512_maskz_compress_epi32(static_cast<__mmask16>(kx), tp);
            emitEvents4(cxy, ctp, index0, o);
            emitEvents4(cxy, ctp, index4, o + 4);
            const int n = __builtin_popcount(kx);
            if (n > 8) {
                emitEvents4(cxy, ctp, index8, o + 8);
                emitEvents4(cxy, ctp, index12, o + 12);
            }
            o += n;
        }
        for (uint32_t trig = ktrig & valid; trig != 0; trig &= trig - 1) {
            const int lane = __builtin_ctz(trig);
            const uint32_t before = (1u << lane) - 1u;
            const uint32_t t_low = laneOf(lows, lane);
            Evt3Trigger& t = r.triggers[r.trigger_count++];
            t.at = block_out + __builtin_popcount(kx & before);
            t.ts = ts_top | t_low;
            t.word = load(ptr + 2 * lane);
        }
        // The next block's address must not wait for this block's classification: whole blocks are the
        // rule and advance by a constant.
        if (__builtin_expect(general == 0, 1)) {
            ptr += 32;
            continue;
        }
        ptr += 2 * __builtin_ctz(general);
        row = laneOf(rows, 15);
        low = laneOf(lows, 15);
        // Whole vector groups are decoded here; anything else goes back to the general path.
        // Between the groups of a busy stream, the rows that start them are taken here too.
        // The registers are written back once after the groups: the event stores may alias them, so
        // that the compiler would read them back after every group.
        const uint64_t group_ts = ts_top | low;
        uint64_t last_group = 0;
        bool groups = false;
        while (end - ptr >= 8 && o + kEvt3GroupRoom <= room_end) {
            uint64_t group;
            std::memcpy(&group, ptr, sizeof group);
            if ((group & kGroupTypeMask) != kGroupTypes) {
                if (!isRowBeforeGroup(group)) break;
                row = static_cast<uint32_t>(group & 0x7FF);
                ptr += 2;
                continue;
            }
            emitGroup512(uint64_t(group & 0x7FF) | (uint64_t(row) << 16) | ((group & 0x800) << 21), group_ts,
                         groupMask(group), o);
            last_group = group;
            ptr += 8;
            groups = true;
        }
        if (groups) {
            r.base_x = static_cast<uint32_t>(last_group & 0x7FF) + 32;
            r.vpol = static_cast<uint32_t>((last_group >> 11) & 1);
            r.base_known = true;
        }
        // The next block reads the row carried in from lane 15.
        rows = _mm512_set1_epi32(static_cast<int>(row));
        if (!groups) break;
    }
    // The rest of a group the last block decoded.
    ptr += 2 * __builtin_popcount(taken);
    row = laneOf(rows, 15);
    low = laneOf(lows, 15);
    r.row_head = uint64_t(row) << 16;
    r.ts = (r.ts & ~uint64_t(0xFFF)) | low;
    out = o;
    return ptr;
}
#endif

}  // namespace EVT3_KERNEL_NS

#if EVT3_KERNEL_AVX512
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512cd,avx2,bmi,bmi2,popcnt")))
#elif EVT3_KERNEL_AVX2
__attribute__((target("avx2,bmi,bmi2")))
#endif
const uint8_t*
EVT3_KERNEL_NAME(const uint8_t* ptr, const uint8_t* end, Event2D*& out, Event2D* room_end,
                 Evt3FastRegs& regs) {
    using namespace EVT3_KERNEL_NS;
    Evt3FastRegs r = regs;
    Event2D* o = out;
#if EVT3_KERNEL_AVX2
    ptr = blockLoop(ptr, end, o, room_end, r);
#else
    while (end - ptr >= 32 && o <= room_end) {
        const uint32_t general = classify16(ptr, r.th_word);
        // Only builtins here: inline library functions compiled for AVX2 could be shared with
        // callers on processors without it.
        const int clean = general ? __builtin_ctz(general) : 16;
#pragma GCC unroll 4
        for (int i = 0; i < clean; ++i) step(load(ptr + 2 * i), o, r);
        ptr += 2 * clean;
        if (general == 0) continue;
        // A whole vector group is decoded here; anything else goes back to the general path.
        if (end - ptr < 8 || o + kEvt3GroupRoom > room_end) break;
        uint64_t group;
        std::memcpy(&group, ptr, sizeof group);
        if ((group & kGroupTypeMask) != kGroupTypes) break;
        const uint32_t base = static_cast<uint32_t>(group & 0x7FF);
        const uint32_t pol = static_cast<uint32_t>((group >> 11) & 1);
        const uint32_t mask = groupMask(group);
        emitGroup(uint64_t(base) | r.row_head | (uint64_t(pol) << 32), r.ts, mask, o);
        r.base_x = base + 32;
        r.vpol = pol;
        r.base_known = true;
        ptr += 8;
    }
#endif
    while (ptr != end && o <= room_end) {
        const uint32_t w = load(ptr);
        if (needsGeneralPath(w, r.th_word)) break;
        step(w, o, r);
        ptr += 2;
    }
    regs = r;
    out = o;
    return ptr;
}

}  // namespace zelvan::detail
