// Running a test body once per vector width this machine has, and saying
// which ones ran: a build that lost its vector paths (or a processor or
// emulator without them) still passes every width test on the scalar path
// alone, so the output names the widths that were run and those that were
// not.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "chunk/simd_width.h"

// "scalar avx2 ..." for the widths that pass `want`.
template <class Pred>
std::string simd_width_list(Pred want) {
  std::string s;
  for (SimdWidth w : kAllSimdWidths) {
    if (!want(w)) continue;
    if (!s.empty()) s += ' ';
    s += simd_width_name(w);
  }
  return s.empty() ? "none" : s;
}

// Runs body(w) with each available width forced, then restores the width in
// use, and prints one line naming the widths run and those not available.
template <class Body>
void for_each_width(Body body) {
  const SimdWidth was = simd_width();
  std::string ran;
  for (SimdWidth w : kAllSimdWidths) {
    if (!simd_set_width(w)) continue;
    SCOPED_TRACE(simd_width_name(w));
    body(w);
    ran += ran.empty() ? "" : " ";
    ran += simd_width_name(w);
  }
  simd_set_width(was);
  const std::string missing = simd_width_list([](SimdWidth w) { return !simd_width_available(w); });
  printf("[ widths   ] %s: ran %s; not available here: %s\n",
         ::testing::UnitTest::GetInstance()->current_test_info()->name(), ran.c_str(),
         missing.c_str());
  fflush(stdout);
}
