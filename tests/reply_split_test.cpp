#include "client/reply_split.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using Counts = std::vector<uint64_t>;

// Announces every file first, pushes the lengths, finishes.
bool split_all(ReplySplit* s, const std::vector<uint64_t>& files,
               const std::vector<uint16_t>& records) {
  for (uint64_t f : files) reply_split_announce(s, "f", f);
  for (uint16_t r : records) {
    if (!reply_split_push(s, r)) return false;
  }
  return reply_split_finish(s);
}

TEST(ReplySplit, ZeroLengthRecordsAreSharedBetweenAFileAndTheEmptyFilesAfterIt) {
  struct Case {
    std::vector<uint64_t> files;
    std::vector<uint16_t> records;
    Counts counts;
  };
  const Case cases[] = {
      // A file that ends inside its last chunk.
      {{250}, {200, 50}, {2}},
      // Ends on a chunk boundary: one more record, of length 0.
      {{200}, {200, 0}, {2}},
      // Followed by an empty file: the only 0 is the empty file's.
      {{200, 0}, {200, 0}, {1, 1}},
      // On a boundary and followed by an empty file: one 0 each.
      {{200, 0, 7}, {200, 0, 0, 7}, {2, 1, 1}},
      // Two empty files after a boundary, then nothing.
      {{200, 0, 0}, {200, 0, 0, 0}, {2, 1, 1}},
      {{200, 0, 0}, {200, 0, 0}, {1, 1, 1}},
      // Empty files first, and only empty files.
      {{0, 0, 5}, {0, 0, 5}, {1, 1, 1}},
      {{0}, {0}, {1}},
  };
  for (const Case& c : cases) {
    ReplySplit s;
    ASSERT_TRUE(split_all(&s, c.files, c.records)) << s.error;
    EXPECT_EQ(s.counts, c.counts);
  }
}

TEST(ReplySplit, RepliesThatCannotBeSplitAreRefused) {
  struct Case {
    std::vector<uint64_t> files;
    std::vector<uint16_t> records;
    const char* error_part;
  };
  const Case cases[] = {
      {{250}, {200}, "cover 200 of its 250"},                // reply cut short
      {{250, 9}, {200, 50}, "cover 0 of its 9"},              // second file missing
      {{0}, {}, "before the record of f (empty)"},           // empty file missing
      {{200, 0}, {200}, "followed by 0 records"},            // its record missing
      {{200}, {200, 0, 0}, "followed by 2 records"},         // one 0 too many
      {{200, 0, 5}, {200, 0, 0, 0, 5}, "followed by 3"},     // z = e + 2
      {{250}, {200, 60}, "cover 260 bytes, more than"},      // overshoot
      {{250}, {0, 250}, "the first of f, has real length 0"},
      {{0, 5}, {3, 5}, "real length 3, but f is empty"},
      {{5}, {5, 7}, "no non-empty file follows"},             // a stray record
      {{5}, {5, 0, 7}, "no non-empty file follows"},
  };
  for (const Case& c : cases) {
    ReplySplit s;
    EXPECT_FALSE(split_all(&s, c.files, c.records));
    EXPECT_NE(strstr(s.error, c.error_part), nullptr) << s.error;
  }
}

// The records of a file can arrive before the next file is announced (its
// command not sent yet): the 0 after a covered file must wait until a record
// with real bytes, or the end, tells how many empty files share the zeros.
TEST(ReplySplit, ZerosAreSharedOutOnlyOnceTheFilesAfterThemAreKnown) {
  ReplySplit s;
  reply_split_announce(&s, "x", 300);
  ASSERT_TRUE(reply_split_push(&s, 300));
  ASSERT_TRUE(reply_split_push(&s, 0));  // x ended on a boundary
  reply_split_announce(&s, "e", 0);
  ASSERT_TRUE(reply_split_push(&s, 0));
  reply_split_announce(&s, "y", 10);
  ASSERT_TRUE(reply_split_push(&s, 10));
  ASSERT_TRUE(reply_split_finish(&s)) << s.error;
  EXPECT_EQ(s.counts, (Counts{2, 1, 1}));
  EXPECT_EQ(s.acknowledged, 310u);
}

// Replies made the way the server makes them, from random files: splitting
// gives back every file's record count.
TEST(ReplySplit, RandomRepliesSplitBackIntoTheirFiles) {
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; round++) {
    std::vector<uint64_t> files;
    std::vector<uint16_t> records;
    Counts want;
    int n = 1 + int(rng() % 8);
    for (int i = 0; i < n; i++) {
      uint64_t len = rng() % 3 == 0 ? 0 : 1 + rng() % 2000;
      files.push_back(len);
      if (len == 0) {
        records.push_back(0);
        want.push_back(1);
        continue;
      }
      uint64_t left = len, count = 0;
      while (left > 0) {
        uint64_t part = 1 + rng() % 700;
        if (part > left) part = left;
        records.push_back(uint16_t(part));
        left -= part;
        count++;
      }
      if (rng() % 2) {  // ended on a chunk boundary
        records.push_back(0);
        count++;
      }
      want.push_back(count);
    }
    ReplySplit s;
    ASSERT_TRUE(split_all(&s, files, records)) << s.error;
    ASSERT_EQ(s.counts, want) << "round " << round;
  }
}

}  // namespace
