// Memory of a simulated process for the waits of modern code: slim locks
// and condition variables in Wine's and Windows' layouts, Wine's
// address-wait entries on the waiters' stacks with the queue that links
// them, and Windows' wait blocks.
#include "Machine.h"

using namespace sim;

namespace {

size_t WordOf(const Process& p) { return p.bits == 32 ? 4 : sizeof(void*); }

void PutWord(std::vector<unsigned char>* bytes, size_t at, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) (*bytes)[at + i] = (unsigned char)(value >> (8 * i));
}

uint64_t EntryOf(const AddressWaiter& waiter) { return waiter.thread->stack.Pointer() + waiter.offset; }

}  // namespace

namespace sim {

uint64_t Thread::AddWaitBlock(uint64_t offset, uint64_t before) {
  stack.pinned[offset] = before;
  return stack.Pointer() + offset;
}

MemoryBlock& Process::AddWineSlimLock(uint64_t address, int16_t exclusiveWaiters, int16_t holders) {
  MemoryBlock block;
  block.address = address;
  block.bytes.assign(4, 0);
  PutWord(&block.bytes, 0, (uint16_t)exclusiveWaiters, 2);
  PutWord(&block.bytes, 2, (uint16_t)holders, 2);
  memory.push_back(block);
  return memory.back();
}

MemoryBlock& Process::AddCxxMutex(uint64_t address, uint32_t type, uint32_t holder) {
  bool wide = WordOf(*this) == 8;
  size_t lock = wide ? 16 : 8, holderAt = wide ? 72 : 40;
  MemoryBlock block;
  block.address = address;
  block.bytes.assign(holderAt + 8, 0);
  PutWord(&block.bytes, 0, type, 4);
  PutWord(&block.bytes, lock, 1, 2);
  PutWord(&block.bytes, lock + 2, 0xFFFF, 2);
  PutWord(&block.bytes, holderAt, holder, 4);
  PutWord(&block.bytes, holderAt + 4, 1, 4);
  memory.push_back(block);
  return memory.back();
}

MemoryBlock& Process::AddWord(uint64_t address, uint64_t value) {
  MemoryBlock block;
  block.address = address;
  block.bytes.assign(WordOf(*this), 0);
  PutWord(&block.bytes, 0, value, WordOf(*this));
  memory.push_back(block);
  return memory.back();
}

void Process::QueueAddressWaiters(uint64_t head, const std::vector<AddressWaiter>& waiters) {
  size_t word = WordOf(*this);
  std::vector<uint64_t> links;  // the head, each entry, the head again
  links.push_back(head);
  for (const AddressWaiter& waiter : waiters) links.push_back(EntryOf(waiter));
  links.push_back(head);
  MemoryBlock block;
  block.address = head;
  block.bytes.assign(2 * word, 0);
  PutWord(&block.bytes, 0, links[1], word);
  PutWord(&block.bytes, word, links[links.size() - 2], word);
  memory.push_back(block);
  for (size_t i = 0; i < waiters.size(); ++i) {
    std::map<uint64_t, uint64_t>& pinned = waiters[i].thread->stack.pinned;
    pinned[waiters[i].offset] = links[i + 2];
    pinned[waiters[i].offset + word] = links[i];
    pinned[waiters[i].offset + 2 * word] = waiters[i].address;
    pinned[waiters[i].offset + 3 * word] = waiters[i].thread->id;
  }
}

}  // namespace sim
