// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "UTF8Decoder.h"

#include "UnicodeText.h"

#include <cstdint>
#include <cstring>
#include <unistr.h>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace platform {

namespace {

constexpr std::string_view replacementCharacter { "\xEF\xBF\xBD" };

// Where the last character begins if it is cut off at the end; size otherwise.
size_t completePrefixLength(const unsigned char* p, size_t n)
{
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        unsigned char byte = p[n - back];
        if ((byte & 0xC0) == 0x80)
            continue;
        size_t need = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return need > back ? n - back : n;
    }
    return n;
}

const uint8_t* units(std::string_view bytes) { return reinterpret_cast<const uint8_t*>(bytes.data()); }

// Bytes that begin a character but end before it does.
bool isIncomplete(std::string_view bytes)
{
    ucs4_t character = 0;
    return u8_mbtoucr(&character, units(bytes), bytes.size()) == -2;
}

#if defined(__x86_64__)
// Validation by table lookups on 32 bytes at a time (the approach of Keiser
// and Lemire): each byte pair is classified through three 16-entry tables;
// what the tables flag must match where continuation bytes are required.
// A portable check takes several times as long on multi-byte text, which
// the child's output often is (bench/README.md, task wrapper).
namespace avx2 {

constexpr uint8_t tooShort = 1 << 0, tooLong = 1 << 1, overlong3 = 1 << 2, tooLarge = 1 << 3, surrogate = 1 << 4,
                  overlong2 = 1 << 5, tooLarge1000 = 1 << 6, overlong4 = 1 << 6, twoContinuations = 1 << 7,
                  carry = tooShort | tooLong | twoContinuations;

__attribute__((target("avx2"))) inline __m256i table(uint8_t a0, uint8_t a1, uint8_t a2, uint8_t a3, uint8_t a4,
    uint8_t a5, uint8_t a6, uint8_t a7, uint8_t a8, uint8_t a9, uint8_t a10, uint8_t a11, uint8_t a12, uint8_t a13,
    uint8_t a14, uint8_t a15)
{
    return _mm256_setr_epi8(static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2), static_cast<char>(a3),
        static_cast<char>(a4), static_cast<char>(a5), static_cast<char>(a6), static_cast<char>(a7),
        static_cast<char>(a8), static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
        static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14), static_cast<char>(a15),
        static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2), static_cast<char>(a3),
        static_cast<char>(a4), static_cast<char>(a5), static_cast<char>(a6), static_cast<char>(a7),
        static_cast<char>(a8), static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
        static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14), static_cast<char>(a15));
}

template<int N> __attribute__((target("avx2"))) inline __m256i previous(__m256i input, __m256i previousInput)
{
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previousInput, input, 0x21), 16 - N);
}

__attribute__((target("avx2"))) inline __m256i highNibbles(__m256i bytes)
{
    return _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
}

__attribute__((target("avx2"))) inline __m256i check(__m256i input, __m256i previousInput)
{
    const __m256i byte1HighTable = table(tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong,
        twoContinuations, twoContinuations, twoContinuations, twoContinuations, tooShort | overlong2, tooShort,
        tooShort | overlong3 | surrogate, tooShort | tooLarge | tooLarge1000 | overlong4);
    const __m256i byte1LowTable = table(carry | overlong3 | overlong2 | overlong4, carry | overlong2, carry, carry,
        carry | tooLarge, carry | tooLarge | tooLarge1000, carry | tooLarge | tooLarge1000,
        carry | tooLarge | tooLarge1000, carry | tooLarge | tooLarge1000, carry | tooLarge | tooLarge1000,
        carry | tooLarge | tooLarge1000, carry | tooLarge | tooLarge1000, carry | tooLarge | tooLarge1000,
        carry | tooLarge | tooLarge1000 | surrogate, carry | tooLarge | tooLarge1000, carry | tooLarge | tooLarge1000);
    const __m256i byte2HighTable = table(tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort,
        tooLong | overlong2 | twoContinuations | overlong3 | tooLarge1000 | overlong4,
        tooLong | overlong2 | twoContinuations | overlong3 | tooLarge,
        tooLong | overlong2 | twoContinuations | surrogate | tooLarge,
        tooLong | overlong2 | twoContinuations | surrogate | tooLarge, tooShort, tooShort, tooShort, tooShort);

    __m256i previous1 = previous<1>(input, previousInput);
    __m256i specialCases
        = _mm256_and_si256(_mm256_and_si256(_mm256_shuffle_epi8(byte1HighTable, highNibbles(previous1)),
                               _mm256_shuffle_epi8(byte1LowTable, _mm256_and_si256(previous1, _mm256_set1_epi8(0x0F)))),
            _mm256_shuffle_epi8(byte2HighTable, highNibbles(input)));
    // Third and fourth bytes of three- and four-byte characters.
    __m256i isThird
        = _mm256_subs_epu8(previous<2>(input, previousInput), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
    __m256i isFourth
        = _mm256_subs_epu8(previous<3>(input, previousInput), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
    __m256i mustContinue
        = _mm256_and_si256(_mm256_or_si256(isThird, isFourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    return _mm256_xor_si256(mustContinue, specialCases);
}

// Non-zero where the block ends inside a character.
__attribute__((target("avx2"))) inline __m256i incompleteAtEnd(__m256i input)
{
    const __m256i maximum = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
        static_cast<char>(0xC0 - 1));
    return _mm256_subs_epu8(input, maximum);
}

struct Validation {
    __m256i error;
    __m256i previousInput;
    __m256i previousIncomplete;
};

__attribute__((target("avx2"))) inline void validateBlock(Validation& state, __m256i input)
{
    if (!_mm256_movemask_epi8(input)) {
        state.error = _mm256_or_si256(state.error, state.previousIncomplete);
        state.previousIncomplete = _mm256_setzero_si256();
    } else {
        state.error = _mm256_or_si256(state.error, check(input, state.previousInput));
        state.previousIncomplete = incompleteAtEnd(input);
    }
    state.previousInput = input;
}

__attribute__((target("avx2"))) bool isValid(const unsigned char* p, size_t n)
{
    Validation state { _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256() };
    size_t index = 0;
    for (; index + 128 <= n; index += 128) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + index));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + index + 32));
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + index + 64));
        __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + index + 96));
        // Plain ASCII needs only the carried-over check.
        if (!_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d)))) {
            state.error = _mm256_or_si256(state.error, state.previousIncomplete);
            state.previousIncomplete = _mm256_setzero_si256();
            state.previousInput = d;
            continue;
        }
        validateBlock(state, a);
        validateBlock(state, b);
        validateBlock(state, c);
        validateBlock(state, d);
    }
    for (; index + 32 <= n; index += 32)
        validateBlock(state, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + index)));
    alignas(32) unsigned char tail[32] {};
    std::memcpy(tail, p + index, n - index);
    validateBlock(state, _mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
    // A character cut off at the very end.
    state.error = _mm256_or_si256(state.error, state.previousIncomplete);
    return _mm256_testz_si256(state.error, state.error);
}

}

#endif
}

bool isValidUTF8(std::string_view bytes)
{
    auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
#if defined(__x86_64__)
    static const bool hasAVX2 = __builtin_cpu_supports("avx2");
    if (hasAVX2)
        return avx2::isValid(p, n);
#endif
    return !u8_check(p, n);
}

void UTF8Decoder::decodeInto(std::string_view bytes, std::string& text)
{
    while (!bytes.empty()) {
        const uint8_t* bad = u8_check(units(bytes), bytes.size());
        size_t good = bad ? static_cast<size_t>(bad - units(bytes)) : bytes.size();
        text.append(bytes.substr(0, good));
        bytes.remove_prefix(good);
        if (bytes.empty())
            return;
        if (isIncomplete(bytes)) {
            std::memcpy(m_pending, bytes.data(), bytes.size());
            m_pendingLength = bytes.size();
            return;
        }
        char32_t codePoint = 0;
        bytes.remove_prefix(decodeCharacter(bytes, codePoint));
        text.append(replacementCharacter);
    }
}

// Nothing held back: usually valid text, perhaps with a character cut off at the end.
std::string_view UTF8Decoder::decodeWhole(std::string_view bytes)
{
    size_t complete = completePrefixLength(units(bytes), bytes.size());
    if (isValidUTF8(bytes.substr(0, complete))) {
        std::string_view tail = bytes.substr(complete);
        if (tail.empty())
            return bytes;
        if (isIncomplete(tail)) {
            std::memcpy(m_pending, tail.data(), tail.size());
            m_pendingLength = tail.size();
            return bytes.substr(0, complete);
        }
    }
    decodeInto(bytes, m_text);
    return m_text;
}

std::string_view UTF8Decoder::decodeInPlace(std::span<char> bytes, size_t headroom)
{
    if (!m_pendingLength || headroom < m_pendingLength || bytes.empty())
        return decode({ bytes.data(), bytes.size() });
    m_text.clear();
    char* start = bytes.data() - m_pendingLength;
    std::memcpy(start, m_pending, m_pendingLength);
    std::string_view joined { start, bytes.size() + m_pendingLength };
    m_pendingLength = 0;
    return decodeWhole(joined);
}

std::string_view UTF8Decoder::decode(std::string_view bytes)
{
    m_text.clear();
    if (!m_pendingLength)
        return decodeWhole(bytes);

    // The held-back character finished in a copy, with the piece behind it.
    m_joined.assign(m_pending, m_pendingLength).append(bytes);
    m_pendingLength = 0;
    return decodeWhole(m_joined);
}

std::string_view UTF8Decoder::detach(std::string_view text, std::string& owner)
{
    for (std::string* buffer : { &m_text, &m_joined }) {
        if (!text.empty() && text.data() == buffer->data()) {
            owner = std::exchange(*buffer, {});
            owner.resize(text.size());
            return owner;
        }
    }
    return text;
}

std::string_view UTF8Decoder::finish()
{
    m_text.clear();
    if (m_pendingLength) {
        // An incomplete character is one maximal subpart: one replacement.
        m_text.append(replacementCharacter);
        m_pendingLength = 0;
    }
    return m_text;
}

}
