#include "unzip/lzma_entry.h"

#include <stdlib.h>

#include "LzmaDec.h"
#include "common/bytes.h"

namespace {

void* Allocate(void*, size_t size) { return malloc(size); }
void Release(void*, void* address) { free(address); }
ISzAlloc kAllocator = {Allocate, Release};

// The decoder's probability tables and its window, freed on every way out.
struct Decoder {
  CLzmaDec state;
  uint8_t* window = nullptr;
  Decoder() { LzmaDec_Construct(&state); }
  ~Decoder() {
    LzmaDec_FreeProbs(&state, &kAllocator);
    free(window);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
};

// The entry's data as the decoder consumes it: at most `dataSize` bytes in
// all, read into `buffer` whenever it has been used up.
struct Input {
  const LzmaEntryIo& io;
  uint64_t left;  // not yet read
  uint8_t* buffer;
  size_t capacity;
  size_t position = 0, length = 0;

  bool Empty() const { return position == length; }
  bool Exhausted() const { return Empty() && left == 0; }
  bool Refill() {
    size_t want = left < capacity ? static_cast<size_t>(left) : capacity;
    size_t got = io.read(io.context, buffer, want);
    if (got == 0 || got > want) return false;
    position = 0;
    length = got;
    left -= got;
    return true;
  }
};

}  // namespace

LzmaOutcome DecodeLzmaEntry(const LzmaEntryIo& io, uint64_t dataSize, uint64_t uncompressedSize,
                            bool endMarker, uint8_t* input, size_t inputCapacity) {
  if (!input || inputCapacity < kLzmaHeaderSize || dataSize < kLzmaHeaderSize)
    return LzmaOutcome::BadHeader;
  Input in{io, dataSize, input, inputCapacity};
  uint8_t header[kLzmaHeaderSize];
  for (size_t have = 0; have < kLzmaHeaderSize; have += in.length) {
    in.capacity = kLzmaHeaderSize - have;  // the header alone, then the stream
    if (!in.Refill()) return LzmaOutcome::ReadFailed;
    for (size_t i = 0; i < in.length; ++i) header[have + i] = input[i];
  }
  in.capacity = inputCapacity;
  in.position = in.length = 0;

  const uint8_t* properties = header + 4;
  CLzmaProps props;
  if (ReadLe16(header + 2) != 5 || LzmaProps_Decode(&props, properties, 5) != SZ_OK ||
      props.lc + props.lp > 4)
    return LzmaOutcome::BadHeader;
  // A window of at least the whole output never wraps, so the smaller of
  // the two always suffices.
  uint64_t window = props.dicSize < uncompressedSize ? props.dicSize : uncompressedSize;
  if (window > kMaxLzmaWindow) return LzmaOutcome::WindowTooLarge;
  if (window == 0) window = 1;

  Decoder decoder;
  CLzmaDec& state = decoder.state;
  if (LzmaDec_AllocateProbs(&state, properties, 5, &kAllocator) != SZ_OK ||
      !(decoder.window = static_cast<uint8_t*>(malloc(static_cast<size_t>(window)))))
    return LzmaOutcome::NoMemory;
  state.dic = decoder.window;
  state.dicBufSize = static_cast<size_t>(window);
  LzmaDec_Init(&state);

  uint64_t outputLeft = uncompressedSize;
  for (;;) {
    if (in.Empty() && in.left > 0 && !in.Refill()) return LzmaOutcome::ReadFailed;
    // Once written out, the window starts over.
    if (state.dicPos == state.dicBufSize && outputLeft > 0) state.dicPos = 0;
    size_t room = state.dicBufSize - state.dicPos;
    size_t start = state.dicPos;
    size_t limit = start + (outputLeft < room ? static_cast<size_t>(outputLeft) : room);
    // Past the declared size only the end (a marker, or nothing) may follow.
    bool finishing = outputLeft == 0;
    size_t consumed = in.length - in.position;
    ELzmaStatus status;
    SRes decoded = LzmaDec_DecodeToDic(&state, limit, input + in.position, &consumed,
                                       finishing ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
    in.position += consumed;
    size_t produced = state.dicPos - start;
    if (produced) {
      if (!io.write(io.context, decoder.window + start, produced)) return LzmaOutcome::WriteFailed;
      outputLeft -= produced;
    }
    if (decoded != SZ_OK) return LzmaOutcome::Corrupt;
    if (finishing) {
      bool ended = status == LZMA_STATUS_FINISHED_WITH_MARK ||
                   (status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK && !endMarker);
      if (ended) return in.Exhausted() ? LzmaOutcome::Ok : LzmaOutcome::Corrupt;
      // A marker cannot follow a stream that may end here.
      if (status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK) return LzmaOutcome::Corrupt;
    } else if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
      return LzmaOutcome::EndedEarly;
    }
    if (in.Exhausted() && status == LZMA_STATUS_NEEDS_MORE_INPUT) return LzmaOutcome::EndedEarly;
    // Neither input taken nor output made with input at hand: never spin.
    if (!consumed && !produced && !(in.Empty() && in.left > 0)) return LzmaOutcome::Corrupt;
  }
}
