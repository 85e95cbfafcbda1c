// Allocation for the stub, which does not link libstdc++ (its operator new
// alone pulls in the exception machinery). Out of memory ends the process.
#include <stdlib.h>
#include <new>

void* operator new(size_t size) {
  void* memory = malloc(size ? size : 1);
  if (!memory) abort();
  return memory;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { free(memory); }
void operator delete[](void* memory) noexcept { free(memory); }
void operator delete(void* memory, size_t) noexcept { free(memory); }
void operator delete[](void* memory, size_t) noexcept { free(memory); }
