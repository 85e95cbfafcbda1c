#include "app/seal_record.h"

#include <string.h>

// In a section of its own so that the packer finds it by name and fills it.
// volatile: the compiler must read what the packer wrote, not this initialiser.
extern "C" __attribute__((section(".vxseal"), used)) const volatile uint8_t
    vexlodePayloadSealRecord[kSealRecordSize] = {'v', 'x', 's', 'e', 'a', 'l', '0', '1'};

SealState ReadOwnSeal(PayloadSeal* seal) {
  uint8_t record[kSealRecordSize];
  for (size_t i = 0; i < kSealRecordSize; ++i) record[i] = vexlodePayloadSealRecord[i];
  return ReadSealRecord(record, kSealRecordSize, seal);
}
