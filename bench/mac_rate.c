/* Multiply-add rates of one core, for the sketch benchmark's limits: 8-bit products as the
 * sketch kernels compute them (vpmaddubsw, then vpmaddwd to 32 bits), 8-bit products
 * alone (vpmaddubsw, the most any 8-bit kernel could reach), and fp32 FMA. Each loop keeps
 * eight independent accumulators so that only throughput counts. Built by the benchmark:
 *
 *     gcc -O2 -mavx2 -mfma -shared -fPIC mac_rate.c -o mac_rate.so
 *
 * Every function returns the multiply-adds it did; the caller times it.
 */
#include <immintrin.h>

#define LANES 8

long long int8_madd(long long rounds) {
    __m256i a = _mm256_set1_epi8(3), b = _mm256_set1_epi8(5), ones = _mm256_set1_epi16(1);
    __m256i acc[LANES];
    for (int i = 0; i < LANES; ++i) acc[i] = _mm256_setzero_si256();
    for (long long r = 0; r < rounds; ++r) {
        for (int i = 0; i < LANES; ++i)
            acc[i] = _mm256_add_epi32(acc[i], _mm256_madd_epi16(_mm256_maddubs_epi16(a, b), ones));
        __asm__ volatile("" : "+x"(a), "+x"(b));
    }
    __m256i s = acc[0];
    for (int i = 1; i < LANES; ++i) s = _mm256_add_epi32(s, acc[i]);
    return rounds * LANES * 32 + (_mm256_extract_epi32(s, 0) == 42);
}

long long int8_maddubs(long long rounds) {
    __m256i a = _mm256_set1_epi8(3), b = _mm256_set1_epi8(5);
    __m256i acc[LANES];
    for (int i = 0; i < LANES; ++i) acc[i] = _mm256_setzero_si256();
    for (long long r = 0; r < rounds; ++r) {
        for (int i = 0; i < LANES; ++i) acc[i] = _mm256_add_epi16(acc[i], _mm256_maddubs_epi16(a, b));
        __asm__ volatile("" : "+x"(a), "+x"(b));
    }
    __m256i s = acc[0];
    for (int i = 1; i < LANES; ++i) s = _mm256_add_epi16(s, acc[i]);
    return rounds * LANES * 32 + (_mm256_extract_epi16(s, 0) == 42);
}

long long fp32_fma(long long rounds) {
    __m256 a = _mm256_set1_ps(1.0f), b = _mm256_set1_ps(1e-9f);
    __m256 acc[LANES];
    for (int i = 0; i < LANES; ++i) acc[i] = _mm256_setzero_ps();
    for (long long r = 0; r < rounds; ++r) {
        for (int i = 0; i < LANES; ++i) acc[i] = _mm256_fmadd_ps(a, b, acc[i]);
        __asm__ volatile("" : "+x"(a), "+x"(b));
    }
    __m256 s = acc[0];
    for (int i = 1; i < LANES; ++i) s = _mm256_add_ps(s, acc[i]);
    return rounds * LANES * 8 + (_mm256_cvtss_f32(s) == 42.0f);
}
