// The row ids of the names (people, genres, tags) an import has met.
#ifndef KINORO_PLATFORM_VIDEODB_NAME_IDS_H_
#define KINORO_PLATFORM_VIDEODB_NAME_IDS_H_

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

// A large import looks a name up for every credit and genre, about ten per
// movie. A node-based map chases three or four pointers per lookup, and at
// half a million names each of them misses the CPU cache: that was a tenth
// of a million-movie generate. Here a lookup reads one slot: hash, id and
// (for most) the name side by side.
class NameIds {
 public:
  // The id stored for `name`, or nullptr.
  const long long* Find(std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const uint64_t hash = Hash(name);
    for (size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      const Slot& slot = slots_[i];
      if (slot.hash == 0) return nullptr;
      if (slot.hash == hash && slot.size == name.size() &&
          memcmp(Text(slot), name.data(), name.size()) == 0) {
        return &slot.id;
      }
    }
  }

  // Starts loading the slot `name` hashes to: the lookups of a movie's
  // names then wait for memory side by side, not one after another.
  void Prefetch(std::string_view name) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[Hash(name) & (slots_.size() - 1)]);
  }

  // `name` must not be stored yet.
  void Insert(std::string_view name, long long id) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    Slot slot{Hash(name), id, static_cast<uint32_t>(name.size()), {}};
    if (name.size() <= sizeof(slot.text)) {
      memcpy(slot.text, name.data(), name.size());
    } else {
      const uint64_t offset = text_.size();
      memcpy(slot.text, &offset, sizeof(offset));
      text_.append(name);
    }
    Place(slot);
    ++count_;
  }

  size_t size() const { return count_; }

 private:
  // 32 bytes, two to a cache line. Most names fit in the slot itself, so
  // that a lookup reads one line.
  struct Slot {
    uint64_t hash;  // 0: an empty slot
    long long id;
    uint32_t size;
    char text[12];  // the name, or when longer its offset in text_
  };

  const char* Text(const Slot& slot) const {
    if (slot.size <= sizeof(slot.text)) return slot.text;
    uint64_t offset = 0;
    memcpy(&offset, slot.text, sizeof(offset));
    return text_.data() + offset;
  }

  static uint64_t Hash(std::string_view name) {
    const uint64_t hash = std::hash<std::string_view>()(name);
    return hash == 0 ? 1 : hash;
  }

  void Place(const Slot& slot) {
    size_t i = slot.hash & (slots_.size() - 1);
    while (slots_[i].hash != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = slot;
  }

  void Grow() {
    std::vector<Slot> old(slots_.empty() ? 1024 : slots_.size() * 2, Slot{0, 0, 0, {}});
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.hash != 0) Place(slot);
    }
  }

  std::vector<Slot> slots_;  // a power of two, at most three quarters full
  std::string text_;         // the longer names, end to end
  size_t count_ = 0;
};

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_NAME_IDS_H_
