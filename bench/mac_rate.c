/* Multiply-add rates of one core, for the sketch benchmark's limits: 8-bit products widened
 * to 32 bits at every step (vpmaddubsw, then vpmaddwd), the batch kernel's own mix (the
 * row codes take the query's signs with vpsignb, two steps are added in 16 bits, then
 * widened once), the same with query codes of at most 31 against row codes made unsigned
 * (no signs to take: four products fit a 16-bit sum), 8-bit products alone (vpmaddubsw, the
 * most any 8-bit kernel could reach), and fp32 FMA. Every product
 * of a round has inputs of its own (the empty asm makes the compiler forget their values,
 * so none is hoisted or shared) and enough independent accumulators that only throughput
 * counts. Built by the benchmark:
 *
 *     gcc -O3 -mavx2 -mfma -shared -fPIC mac_rate.c -o mac_rate.so
 *
 * Every function returns the multiply-adds it did; the caller times it.
 */
#include <immintrin.h>

#define PRODUCTS 8 /* 8-bit products per round, each on its own input */
#define SUMS 4     /* their accumulators */
#define CHAINS 12  /* fp32 FMA chains: latency 4-5 cycles, two issued per cycle */

#define FORGET(v) __asm__ volatile("" : "+x"(v))

long long int8_madd(long long rounds) {
    const __m256i b = _mm256_set1_epi8(5), ones = _mm256_set1_epi16(1);
    __m256i a[PRODUCTS], acc[SUMS];
    for (int i = 0; i < PRODUCTS; ++i) a[i] = _mm256_set1_epi8((char)(i + 1));
    for (int i = 0; i < SUMS; ++i) acc[i] = _mm256_setzero_si256();
    for (long long r = 0; r < rounds; ++r) {
        _Pragma("GCC unroll 16") for (int i = 0; i < PRODUCTS; ++i) FORGET(a[i]);
        _Pragma("GCC unroll 16") for (int i = 0; i < PRODUCTS; ++i)
            acc[i % SUMS] = _mm256_add_epi32(acc[i % SUMS], _mm256_madd_epi16(_mm256_maddubs_epi16(a[i], b), ones));
    }
    __m256i s = acc[0];
    for (int i = 1; i < SUMS; ++i) s = _mm256_add_epi32(s, acc[i]);
    return rounds * PRODUCTS * 32 + (_mm256_extract_epi32(s, 0) == 42);
}

long long int8_batch_mix(long long rounds) {
    const __m256i b = _mm256_set1_epi8(5), s = _mm256_set1_epi8(-3), ones = _mm256_set1_epi16(1);
    __m256i a[PRODUCTS], acc[SUMS];
    for (int i = 0; i < PRODUCTS; ++i) a[i] = _mm256_set1_epi8((char)(i + 1));
    for (int i = 0; i < SUMS; ++i) acc[i] = _mm256_setzero_si256();
    for (long long r = 0; r < rounds; ++r) {
        _Pragma("GCC unroll 16") for (int i = 0; i < PRODUCTS; ++i) FORGET(a[i]);
        _Pragma("GCC unroll 16") for (int i = 0; i < PRODUCTS; i += 2) {
            const __m256i sums = _mm256_add_epi16(_mm256_maddubs_epi16(b, _mm256_sign_epi8(a[i], s)),
                                                  _mm256_maddubs_epi16(b, _mm256_sign_epi8(a[i + 1], s)));
            acc[(i / 2) % SUMS] = _mm256_add_epi32(acc[(i / 2) % SUMS], _mm256_madd_epi16(sums, ones));
        }
    }
    __m256i t = acc[0];
    for (int i = 1; i < SUMS; ++i) t = _mm256_add_epi32(t, acc[i]);
    return rounds * PRODUCTS * 32 + (_mm256_extract_epi32(t, 0) == 42);
}

long long int8_narrow_mix(long long rounds) {
    const __m256i b = _mm256_set1_epi8(5), ones = _mm256_set1_epi16(1), flip = _mm256_set1_epi8((char)0x80);
    __m256i a[PRODUCTS], acc[SUMS];
    for (int i = 0; i < PRODUCTS; ++i) a[i] = _mm256_set1_epi8((char)(i + 1));
    for (int i = 0; i < SUMS; ++i) acc[i] = _mm256_setzero_si256();
    for (long long r = 0; r < rounds; ++r) {
        _Pragma("GCC unroll 16") for (int i = 0; i < PRODUCTS; ++i) FORGET(a[i]);
        /* the rows made unsigned once, for the four queries of a block */
        __m256i u0 = _mm256_xor_si256(a[0], flip), u1 = _mm256_xor_si256(a[1], flip);
        FORGET(u0);
        FORGET(u1);
        _Pragma("GCC unroll 16") for (int i = 0; i < PRODUCTS; i += 2) {
            const __m256i sums = _mm256_add_epi16(_mm256_maddubs_epi16(i == 0 ? u0 : a[i], b),
                                                  _mm256_maddubs_epi16(i == 0 ? u1 : a[i + 1], b));
            acc[(i / 2) % SUMS] = _mm256_add_epi32(acc[(i / 2) % SUMS], _mm256_madd_epi16(sums, ones));
        }
    }
    __m256i t = acc[0];
    for (int i = 1; i < SUMS; ++i) t = _mm256_add_epi32(t, acc[i]);
    return rounds * PRODUCTS * 32 + (_mm256_extract_epi32(t, 0) == 42);
}

long long int8_maddubs(long long rounds) {
    const __m256i b = _mm256_set1_epi8(5);
    __m256i a[PRODUCTS], acc[SUMS];
    for (int i = 0; i < PRODUCTS; ++i) a[i] = _mm256_set1_epi8((char)(i + 1));
    for (int i = 0; i < SUMS; ++i) acc[i] = _mm256_setzero_si256();
    for (long long r = 0; r < rounds; ++r) {
        _Pragma("GCC unroll 16") for (int i = 0; i < PRODUCTS; ++i) FORGET(a[i]);
        _Pragma("GCC unroll 16") for (int i = 0; i < PRODUCTS; ++i) acc[i % SUMS] = _mm256_add_epi16(acc[i % SUMS], _mm256_maddubs_epi16(a[i], b));
    }
    __m256i s = acc[0];
    for (int i = 1; i < SUMS; ++i) s = _mm256_add_epi16(s, acc[i]);
    return rounds * PRODUCTS * 32 + (_mm256_extract_epi16(s, 0) == 42);
}

long long fp32_fma(long long rounds) {
    __m256 a = _mm256_set1_ps(1.0f), b = _mm256_set1_ps(1e-9f);
    __m256 acc[CHAINS];
    for (int i = 0; i < CHAINS; ++i) acc[i] = _mm256_setzero_ps();
    for (long long r = 0; r < rounds; ++r) {
        FORGET(a);
        FORGET(b);
        _Pragma("GCC unroll 16") for (int i = 0; i < CHAINS; ++i) acc[i] = _mm256_fmadd_ps(a, b, acc[i]);
    }
    __m256 s = acc[0];
    for (int i = 1; i < CHAINS; ++i) s = _mm256_add_ps(s, acc[i]);
    return rounds * CHAINS * 8 + (_mm256_cvtss_f32(s) == 42.0f);
}
