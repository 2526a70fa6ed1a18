// SHA-256 against the published test vectors, whole and fed in every split.
#include "common/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Vector {
  std::string message;
  size_t repeat;  // the message taken this many times
  const char* hex;
};

const Vector kVectors[] = {
    {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    // 55 and 56 bytes: the length fits in the last block, or needs one more.
    {std::string(55, 'a'), 1, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {std::string(56, 'a'), 1, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {std::string(64, 'a'), 1, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
};

std::string digest_of(const Vector& v, size_t piece) {
  Sha256 h;
  sha256_init(&h);
  std::string all;
  for (size_t i = 0; i < v.repeat; i++) all += v.message;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(all.data());
  for (size_t at = 0; at < all.size(); at += piece) {
    sha256_update(&h, p + at, all.size() - at < piece ? all.size() - at : piece);
  }
  uint8_t d[kSha256Size];
  sha256_final(&h, d);
  char hex[2 * kSha256Size + 1];
  sha256_hex(d, hex);
  return hex;
}

TEST(Sha256, GivesThePublishedDigestsWhateverTheSpansFed) {
  // The processor's instructions where it has them, then the plain code.
  for (bool hardware : {true, false}) {
    if (sha256_use_hardware(hardware) != hardware) continue;
    SCOPED_TRACE(hardware ? "SHA instructions" : "plain code");
    for (const Vector& v : kVectors) {
      for (size_t piece : {size_t(1), size_t(3), size_t(63), size_t(64), size_t(65), size_t(1) << 20}) {
        if (v.repeat > 1 && piece < 63) continue;  // a million one-byte calls add nothing
        EXPECT_EQ(digest_of(v, piece), v.hex) << v.message.size() * v.repeat << " bytes in pieces of " << piece;
      }
    }
  }
  sha256_use_hardware(true);
}

}  // namespace
