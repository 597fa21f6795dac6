// The design that StateTracker.benchmark_pure_rust describes, written the plain way: a
// hash map per tracker, keyed by std::string, each field a pair of std::string, with
// an FxHash-style hash. The same work as the module's benchmark: build `count` trackers
// of four fields (no map sized in advance), then per tracker set "age" to "26", ask
// whether any field is dirty and commit. Timed the same way; freeing is not measured.
#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

struct FxHash {
  std::size_t operator()(const std::string& text) const noexcept {
    std::uint64_t hash = 0;
    for (unsigned char byte : text) hash = ((hash << 5 | hash >> 59) ^ byte) * 0x517cc1b727220a95u;
    return std::size_t(hash);
  }
};

struct Entry {
  std::string snapshot_text;
  std::string current_text;
};

using Tracker = std::unordered_map<std::string, Entry, FxHash>;

}  // namespace

double described_design(std::uint64_t count) {
  std::vector<Tracker> trackers;
  const auto start = std::chrono::steady_clock::now();
  trackers.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    Tracker& tracker = trackers.emplace_back();
    const std::string id = std::to_string(i);
    tracker.emplace("id", Entry{id, id});
    tracker.emplace("name", Entry{"Alice", "Alice"});
    tracker.emplace("age", Entry{"25", "25"});
    tracker.emplace("active", Entry{"true", "true"});
  }
  for (Tracker& tracker : trackers) {
    if (auto age = tracker.find("age"); age != tracker.end()) age->second.current_text = "26";
    bool dirty = false;
    for (const auto& field : tracker) {
      if (field.second.snapshot_text != field.second.current_text) {
        dirty = true;
        break;
      }
    }
    [[maybe_unused]] volatile bool seen = dirty;
    for (auto& field : tracker) field.second.snapshot_text = field.second.current_text;
  }
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(stop - start).count();
}
