// The CPU's features, asked once, and the code path tests may narrow them to.

#include "base/cpu_features.h"

#include <atomic>

namespace {
// Set by tests only; atomic so that a decode on another thread reads it cleanly.
std::atomic<CodePath> chosenPath{CodePath::kBest};
}  // namespace

void setCodePath(CodePath path) noexcept { chosenPath.store(path, std::memory_order_relaxed); }
CodePath codePath() noexcept { return chosenPath.load(std::memory_order_relaxed); }

#if POW2BMP_X86_SIMD
namespace {

// What the processor offers, asked once.
struct CpuFeatures {
  bool ssse3 = __builtin_cpu_supports("ssse3") != 0;
  bool sse41 = __builtin_cpu_supports("sse4.1") != 0;
  bool avx2 = __builtin_cpu_supports("avx2") != 0;
  bool bmi2 = __builtin_cpu_supports("bmi2") != 0;
  bool pclmul = __builtin_cpu_supports("pclmul") != 0;
};

const CpuFeatures& cpuFeatures() noexcept {
  static const CpuFeatures features;
  return features;
}

}  // namespace

bool useSsse3() noexcept { return cpuFeatures().ssse3 && codePath() == CodePath::kBest; }
bool useSse41() noexcept { return cpuFeatures().sse41 && codePath() == CodePath::kBest; }
bool useAvx2() noexcept { return cpuFeatures().avx2 && codePath() == CodePath::kBest; }
bool useBmi2() noexcept { return cpuFeatures().bmi2 && codePath() == CodePath::kBest; }
bool usePclmul() noexcept { return cpuFeatures().pclmul && codePath() == CodePath::kBest; }
#endif
