#pragma once
// Which vector forms the inner loops may take. The loops of png/ (Adler-32, CRC-32, filter
// reversal, pixel reordering) have a portable form and, on x86, vector forms chosen at run time
// from the features the CPU reports (SSE2 always, SSSE3, SSE4.1, AVX2, BMI2, PCLMULQDQ where
// present). Every form gives the same bytes. Test hook: which forms later calls may take; kBest
// (the default) lets the CPU choose, kBaseline keeps to SSE2 on x86, kPortable keeps to the
// portable forms.

enum class CodePath { kBest, kBaseline, kPortable };
void setCodePath(CodePath path) noexcept;
[[nodiscard]] CodePath codePath() noexcept;

#if defined(__x86_64__) && defined(__SSE2__)
#define POW2BMP_X86_SIMD 1
// What the CPU reports, asked once, and allowed by codePath() == kBest.
[[nodiscard]] bool useSsse3() noexcept;
[[nodiscard]] bool useSse41() noexcept;
[[nodiscard]] bool useAvx2() noexcept;
[[nodiscard]] bool useBmi2() noexcept;
[[nodiscard]] bool usePclmul() noexcept;
#else
#define POW2BMP_X86_SIMD 0
#endif
