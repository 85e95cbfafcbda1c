// The two SHA-256 engines on the same message, each fed in pieces the input
// chooses, against the portable engine fed the message at once. On a CPU
// without the SHA instructions only the piecing is compared.
#include "common/sha256.h"
#include "fuzz_support.h"

namespace {

Sha256Digest Digest(const std::vector<uint8_t>& message, const std::vector<size_t>& pieces) {
  Sha256Hasher hasher;
  FUZZ_CHECK(hasher.Start());
  size_t at = 0;
  for (size_t i = 0; at < message.size(); ++i) {
    const size_t wanted = pieces.empty() ? message.size() : pieces[i % pieces.size()];
    const size_t size = wanted < message.size() - at ? wanted : message.size() - at;
    // A copy of exactly the piece, so that ASan sees any read past it.
    std::unique_ptr<uint8_t[]> piece(new uint8_t[size ? size : 1]);
    if (size) memcpy(piece.get(), message.data() + at, size);
    FUZZ_CHECK(hasher.Add(piece.get(), size));
    at += size;
  }
  Sha256Digest digest;
  FUZZ_CHECK(hasher.Finish(&digest));
  return digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  // Up to eight piece sizes of 0 to 255 bytes (empty pieces too); the last
  // one is never empty, so the message gets through.
  std::vector<size_t> pieces(in.U8() % 9);
  for (size_t& piece : pieces) piece = in.U8();
  if (!pieces.empty()) pieces.back() += 1;
  const std::vector<uint8_t> message = in.Rest();

  Sha256ForcePortable(true);
  const Sha256Digest whole = Digest(message, {});
  FUZZ_CHECK(Digest(message, pieces) == whole);
  Sha256ForcePortable(false);
  FUZZ_CHECK(Digest(message, pieces) == whole);
  FUZZ_CHECK(Sha256Of(message.data(), message.size()) == whole);
  return 0;
}
