#include "chunk/simd_width.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/simd_widths.h"

namespace {

// The build's test settings name, in $CHUNK_EXPECT_WIDTHS, the widths the
// machine running the tests has (read from the system's processor flags, see
// CMakeLists.txt). A build whose vector paths were left out, or whose choice
// at run time misreads the processor or the system's support for the vector
// registers, then fails here instead of passing every width test on the
// scalar path alone.
TEST(SimdWidth, AvailableWidthsAreThoseOfTheMachine) {
  const std::string have = simd_width_list(simd_width_available);
  printf("[ widths   ] available: %s\n", have.c_str());
  const char* want = std::getenv("CHUNK_EXPECT_WIDTHS");
  if (want == nullptr || *want == '\0') {
    GTEST_SKIP() << "CHUNK_EXPECT_WIDTHS not set: the widths of this machine are not known";
  }
  EXPECT_EQ(have, want);
}

// The width in use is the widest available one (every test that forces a
// width puts the one in use back), and forcing one that is not available
// changes nothing.
TEST(SimdWidth, WidestAvailableIsUsedAndUnavailableIsRefused) {
  SimdWidth widest = kSimdScalar;
  for (SimdWidth w : kAllSimdWidths) {
    if (simd_width_available(w)) widest = w;
  }
  EXPECT_EQ(simd_width(), widest);
  EXPECT_TRUE(simd_width_available(kSimdScalar));
  for (SimdWidth w : kAllSimdWidths) {
    if (simd_width_available(w)) continue;
    EXPECT_FALSE(simd_set_width(w)) << simd_width_name(w);
    EXPECT_EQ(simd_width(), widest);
  }
}

}  // namespace
