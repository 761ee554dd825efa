// HashBeside: the digest of data hashed on the side thread in many pieces is
// the digest of the whole, and the owner may stop at any point.
#include <gtest/gtest.h>

#include <vector>

#include "core/archive/hash_beside.h"
#include "core/archive/output_writer.h"

namespace quarn {
namespace {

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
  return bytes;
}

TEST(HashBeside, PiecesHashedBesideMatchTheWholeHashedInline) {
  const auto data = pattern(300000);
  crypto::Sha256 whole;
  whole.update(data);
  const std::string expected = sha256_hex(whole.finish());

  for (const std::size_t piece : {std::size_t{61}, std::size_t{4099}, std::size_t{65536}, data.size()}) {
    HashBeside beside;
    crypto::Sha256 hash;
    for (std::size_t at = 0; at < data.size(); at += piece) {
      beside.start(hash, std::span(data).subspan(at, std::min(piece, data.size() - at)));
      beside.wait();
    }
    EXPECT_EQ(sha256_hex(hash.finish()), expected) << piece;
  }
}

TEST(HashBeside, StopsCleanlyIdleOrBusy) {
  const auto data = pattern(4 << 20);
  { HashBeside idle; }
  {
    crypto::Sha256 hash;
    HashBeside busy;
    busy.start(hash, data);  // the destructor waits for this update
  }
  HashBeside twice;
  twice.wait();
  twice.wait();
}

}  // namespace
}  // namespace quarn
