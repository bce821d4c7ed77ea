// The loader's records of a simulated process, in either width: the
// environment block's loader-data pointer, the data's load-order list head,
// and an entry for each module with its link first, its base, size, path
// and base name (a byte length, room, and the text's address), its texts
// after it.
#include <algorithm>

#include "Machine.h"

namespace sim {

namespace {

struct Layout {
  size_t loaderDataAt, listAt, baseAt, sizeAt, pathAt, baseNameAt, textAddressAt;
};

const Layout kLayout32 = {0x0C, 0x0C, 0x18, 0x20, 0x24, 0x2C, 4};
const Layout kLayout64 = {0x18, 0x10, 0x30, 0x40, 0x48, 0x58, 8};
// The environment block's third word names the main image.
const size_t kImageBaseAt = 2;

void Put(std::vector<unsigned char>* bytes, size_t offset, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) (*bytes)[offset + i] = (unsigned char)(value >> (8 * i));
}

}  // namespace

std::vector<uint64_t> Process::AddLoaderData(uint64_t at, size_t word) {
  const Layout& l = word == 8 ? kLayout64 : kLayout32;
  const uint64_t data = at + 0x100, firstEntry = at + 0x200, stride = 0x400;
  std::vector<uint64_t> addresses = {at, data};
  MemoryBlock block;
  block.address = at;
  block.bytes.assign(l.loaderDataAt + word, 0);
  Put(&block.bytes, l.loaderDataAt, data, word);
  Put(&block.bytes, kImageBaseAt * word, modules.empty() ? 0 : modules[0].base, word);
  memory.push_back(block);
  const uint64_t head = data + l.listAt;
  MemoryBlock list;
  list.address = data;
  list.bytes.assign(l.listAt + 2 * word, 0);
  Put(&list.bytes, l.listAt, modules.empty() ? head : firstEntry, word);
  memory.push_back(list);
  for (size_t i = 0; i < modules.size(); ++i) {
    const Module& module = modules[i];
    uint64_t entry = firstEntry + i * stride;
    MemoryBlock e;
    e.address = entry;
    e.bytes.assign(stride, 0);
    Put(&e.bytes, 0, i + 1 < modules.size() ? entry + stride : head, word);
    Put(&e.bytes, l.baseAt, module.base, word);
    Put(&e.bytes, l.sizeAt, module.size, 4);
    // As the platform's loader does, a base name that ends the path is kept
    // in the path's buffer; any other at a place of its own.
    const std::string& path = module.path;
    const std::string& baseName = module.baseName;
    bool inPath = path.size() <= 0xFF && path.size() > baseName.size() &&
                  path.compare(path.size() - baseName.size(), baseName.size(), baseName) == 0 &&
                  path[path.size() - baseName.size() - 1] == '\\';
    const std::string* texts[] = {&path, &baseName};
    for (size_t k = 0; k < 2; ++k) {
      size_t field = k == 0 ? l.pathAt : l.baseNameAt, text = k == 0 ? 0x100 : 0x300;
      if (k == 1 && inPath) text = 0x100 + 2 * (path.size() - baseName.size());
      size_t length = std::min<size_t>(texts[k]->size(), 0xFF);
      Put(&e.bytes, field, length * 2, 2);
      Put(&e.bytes, field + 2, length * 2, 2);
      Put(&e.bytes, field + l.textAddressAt, entry + text, word);
      for (size_t c = 0; c < length; ++c) Put(&e.bytes, text + 2 * c, (unsigned char)(*texts[k])[c], 2);
    }
    memory.push_back(e);
    addresses.push_back(entry);
  }
  return addresses;
}

std::vector<uint64_t> Process::AddLoaderData() { return AddLoaderData(kProcessEnvironmentBlock, sizeof(void*)); }

}  // namespace sim
