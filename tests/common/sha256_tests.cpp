// SHA-256 on each engine: known answers, every length around the block
// boundaries fed in any pieces, and, in the native build, Python's hashlib as
// an independent reference. Built twice: into common_tests (run under Wine)
// and natively as sha256_tests.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/sha256.h"

namespace {

std::string Hex(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : digest.bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

struct Engine {
  const char* name;
  bool portable;
};
const Engine kEngines[] = {{"portable", true}, {"SHA instructions", false}};

// Pins digests to one engine for a scope; false where this CPU cannot run it.
class ForcedEngine {
 public:
  explicit ForcedEngine(const Engine& engine)
      : runs_(engine.portable || Sha256CpuHasShaInstructions()) {
    Sha256ForcePortable(engine.portable);
    if (runs_) {
      EXPECT_EQ(Sha256SelectedEngine() == Sha256Engine::Portable, engine.portable) << engine.name;
    }
  }
  ~ForcedEngine() { Sha256ForcePortable(false); }
  bool runs() const { return runs_; }

 private:
  bool runs_;
};

// `data` fed `repeat` times, in `chunks` sizes, cycling (empty: each copy at
// once). One hasher serves every call, so a restart that keeps anything of
// the digest before shows up.
std::string Digest(Sha256Hasher& hasher, const std::string& data, const std::vector<size_t>& chunks,
                   size_t repeat = 1) {
  EXPECT_TRUE(hasher.Start());
  for (size_t copy = 0; copy < repeat; ++copy) {
    size_t at = 0, i = 0;
    do {
      size_t size = chunks.empty() ? data.size() : std::min(chunks[i++ % chunks.size()], data.size() - at);
      EXPECT_TRUE(hasher.Add(data.data() + at, size));
      at += size;
    } while (at < data.size());
  }
  Sha256Digest digest;
  EXPECT_TRUE(hasher.Finish(&digest));
  return Hex(digest);
}

// 1 MiB that is no multiple of any chunk size used here.
std::string MebibytePattern() {
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i % 251);
  return data;
}

TEST(Sha256, KnownAnswersOnEachEngineInAnyPieces) {
  struct Vector {
    const char* name;
    std::string data;
    std::vector<size_t> chunks;
    size_t repeat;
    const char* digest;
  };
  const Vector vectors[] = {
      // The FIPS 180-2 examples.
      {"empty", "", {}, 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", {}, 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 55 bytes: the marker and the length just fill the block (hashlib).
      {"55 a", std::string(55, 'a'), {}, 1, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      // 56 bytes: the length needs a block of its own.
      {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", {}, 1,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"896 bits",
       "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
       "mnopqrstnopqrstu",
       {}, 1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"a million a", std::string(1000, 'a'), {}, 1000,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Digest computed independently with Python's hashlib.
      {"1 MiB in odd pieces", MebibytePattern(), {1, 7, 4093, 65537, 0}, 1,
       "631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769"},
  };
  for (const Engine& engine : kEngines) {
    ForcedEngine forced(engine);
    if (!forced.runs()) {
      printf("this CPU has no SHA instructions: the %s engine is not tested\n", engine.name);
      continue;
    }
    Sha256Hasher hasher;
    for (const Vector& v : vectors)
      EXPECT_EQ(Digest(hasher, v.data, v.chunks, v.repeat), v.digest) << engine.name << ": " << v.name;
  }
  // Past 512 MiB the length in bits needs its high word. That part is shared
  // by the engines, so the faster one does it alone. Digest from hashlib.
  Sha256Hasher hasher;
  EXPECT_EQ(Digest(hasher, std::string(65536, '\0'), {}, 8193),
            "c0ad129492217653b018009815285a2128bf46fff4d4f978a58e27866dc7a71a");
}

// The SHA instructions are used only where CPUID announces them with their
// shuffles: on any other CPU they would end the process.
TEST(Sha256, ShaInstructionsOnlyWhereCpuidAnnouncesThemAll) {
  const uint32_t kSsse3 = 1u << 9, kSse41 = 1u << 19, kSse2 = 1u << 26, kSha = 1u << 29;
  struct Row { const char* cpu; Sha256CpuidWords words; bool usable; };
  const Row rows[] = {
      {"with SHA", {kSsse3 | kSse41, kSse2, kSha}, true},
      {"without SHA", {kSsse3 | kSse41, kSse2, ~kSha}, false},
      {"without SSSE3", {kSse41, kSse2, kSha}, false},
      {"without SSE4.1", {kSsse3, kSse2, kSha}, false},
      {"without SSE2", {kSsse3 | kSse41, 0, kSha}, false},
  };
  for (const Row& row : rows) EXPECT_EQ(Sha256ShaInstructionsUsable(row.words), row.usable) << row.cpu;
}

// The digest of every prefix of `data`: from Python's hashlib natively; under
// Wine, which has no Python, from the portable engine fed at once (which the
// native run holds to hashlib).
std::vector<std::string> ReferenceDigests(const std::string& data) {
#ifdef _WIN32
  ForcedEngine portable(kEngines[0]);
  Sha256Hasher hasher;
  std::vector<std::string> digests;
  for (size_t length = 0; length <= data.size(); ++length)
    digests.push_back(Digest(hasher, data.substr(0, length), {}));
  return digests;
#else
  const std::string path = testing::TempDir() + "sha256_reference.bin";
  FILE* file = fopen(path.c_str(), "wb");
  EXPECT_TRUE(file && fwrite(data.data(), 1, data.size(), file) == data.size());
  if (file) fclose(file);
  const std::string command =
      "python3 -c 'import hashlib, sys; d = open(sys.argv[1], \"rb\").read(); "
      "print(\"\\n\".join(hashlib.sha256(d[:n]).hexdigest() for n in range(len(d) + 1)))' " + path;
  std::vector<std::string> digests;
  FILE* pipe = popen(command.c_str(), "r");
  char line[80];
  while (pipe && fgets(line, sizeof line, pipe)) digests.push_back(std::string(line, 64));
  if (pipe) {
    EXPECT_EQ(pclose(pipe), 0);
  }
  remove(path.c_str());
  return digests;
#endif
}

TEST(Sha256, EnginesAgreeOnEveryLengthInRandomPieces) {
  std::mt19937 random(19);
  std::string data(300, '\0');
  for (char& c : data) c = char(random());
  const std::vector<std::string> reference = ReferenceDigests(data);
  ASSERT_EQ(reference.size(), data.size() + 1) << "python3 with hashlib is needed";
  // Every length 0 to 300 at once, byte by byte and in two random chunkings.
  for (size_t length = 0; length <= data.size(); ++length) {
    const std::string message = data.substr(0, length);
    std::vector<std::vector<size_t>> chunkings = {{}, {1}};
    for (int i = 0; i < 2; ++i) {
      std::vector<size_t> sizes;  // empty pieces too, but never only those
      for (int j = 0; j < 5; ++j) sizes.push_back(random() % (length + 2));
      sizes.push_back(1 + random() % (length + 1));
      chunkings.push_back(sizes);
    }
    for (const Engine& engine : kEngines) {
      ForcedEngine forced(engine);
      if (!forced.runs()) continue;
      Sha256Hasher hasher;
      for (size_t c = 0; c < chunkings.size(); ++c)
        EXPECT_EQ(Digest(hasher, message, chunkings[c]), reference[length])
            << engine.name << ", length " << length << ", chunking " << c;
    }
  }
}

}  // namespace
