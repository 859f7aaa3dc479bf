// Which scene each shader binding table was built for. A table's hit records hold the device
// addresses of one scene's meshes; a table that borrows its miss and hit records from another
// (forward, flux and LiDAR from the backward table, the multiband energy balance from the
// energy-balance one, active from passive microwave) holds the lender's buffers as they were when
// it borrowed them. When the lender is rebuilt, for another scene or the same one, those buffers
// are freed and the borrower is stale, even if it was built for the scene being launched.
//
// Scenes are named by their geometry id (SceneManager::geometry_id), which is never reused: a
// scene freed and another built at the same address still differ.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace velm::optix {

template <int N>
class TableLedger {
 public:
  static constexpr int kNone = -1;
  // lender[t]: the table t borrows its miss and hit records from, or kNone.
  explicit TableLedger(const std::array<int, N>& lender) : lender_(lender) {}

  // Table t was (re)built for `geometry`; a borrower copied its lender's current records.
  void built(int t, uint64_t geometry) {
    entries_[t].geometry = geometry;
    entries_[t].generation = ++generation_;
    entries_[t].lender_generation = lender_[t] == kNone ? 0 : entries_[lender_[t]].generation;
  }
  // Table t is being rebuilt: until built() again it holds nothing usable.
  void forget(int t) { entries_[t] = Entry{}; }

  // Whether t holds records of `geometry` whose buffers are still alive.
  bool current(int t, uint64_t geometry) const {
    const Entry& e = entries_[t];
    if (e.generation == 0 || e.geometry != geometry) return false;
    if (lender_[t] == kNone) return true;
    const Entry& l = entries_[lender_[t]];
    return l.generation == e.lender_generation && current(lender_[t], geometry);
  }
  // Throws std::logic_error naming `launch` unless current(t, geometry): the last line of
  // defence against launching with another scene's (or freed) records.
  void require(int t, uint64_t geometry, const char* launch) const {
    if (!current(t, geometry))
      throw std::logic_error(std::string(launch) +
                             ": the binding table was not built for this scene");
  }

 private:
  struct Entry {
    uint64_t geometry = 0;
    uint64_t generation = 0;  // 0: never built
    uint64_t lender_generation = 0;
  };
  std::array<int, N> lender_;
  std::array<Entry, N> entries_{};
  uint64_t generation_ = 0;
};

}  // namespace velm::optix
