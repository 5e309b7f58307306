// Every single damage a small log can take: each byte inverted, each byte
// with one bit flipped, and the file cut at every offset. Each damaged image
// is opened as a crashed process's successor would open it, and must give
// exactly the state of the intact frames before the damage (the CRC catches
// any damage of up to 32 bits in a frame), bodies that read back unchanged,
// and a log that verifies clean, also after more appends and a reopen.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fault_injection.h"
#include "logfile/format.h"
#include "queue/queue.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using test_support::read_file;
using test_support::ScratchDirectory;
using test_support::write_file;
using Bytes = std::vector<uint8_t>;

uint64_t fixed_clock() { return 1'700'000'000'000; }
constexpr uint64_t kHour = 3'600'000;

// What a queue holds, in a form two queues can be compared by.
struct Snapshot {
  // seq -> enqueued_ts, body offset, body length, deliveries, lease deadline
  std::map<uint64_t, std::tuple<uint64_t, uint64_t, uint32_t, uint32_t, std::optional<uint64_t>>> messages;
  std::vector<uint64_t> ready;
  std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t> counters;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const Queue& queue) {
  const QueueState& state = queue.state();
  Snapshot shot;
  for (const auto& [seq, entry] : state.messages_by_seq()) {
    shot.messages[seq] = {entry.enqueued_ts_ms, entry.body_offset, entry.body_len, entry.deliveries,
                          state.lease_deadline(seq)};
  }
  const std::set<uint64_t> ready = state.ready_seqs();
  shot.ready.assign(ready.begin(), ready.end());
  const QueueCounters& c = state.counters();
  shot.counters = {c.next_seq, c.live_bytes, c.enqueued_total, c.acked_total, c.dead_total, c.requeued_total};
  return shot;
}

std::unique_ptr<Queue> open_queue(const std::string& directory) {
  QueueConfig config;
  config.sync_interval_ms = 0;
  config.auto_compact_bytes = 0;
  Result<std::unique_ptr<Queue>> opened = Queue::open(directory, config);
  if (!opened.ok()) return nullptr;
  (*opened)->set_clock_for_testing(&fixed_clock);
  return std::move(*opened);
}

class CollectingSink final : public DeliverySink {
 public:
  bool accept(const Delivery& delivery) override {
    bodies[delivery.seq] = Bytes(delivery.body.begin(), delivery.body.end());
    return true;
  }
  std::map<uint64_t, Bytes> bodies;
};

// The directory each image is opened in, emptied for every image. On tmpfs
// when there is one: the sweep opens thousands of images, each with a few
// fsyncs, which on a disk would take most of its time.
class ImageDirectory {
 public:
  ImageDirectory() {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/tollivane-sweep-XXXXXX");
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ImageDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ImageDirectory(const ImageDirectory&) = delete;
  ImageDirectory& operator=(const ImageDirectory&) = delete;

  // The directory, emptied; "" when it could not be made.
  const std::string& fresh() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
    return path_;
  }

 private:
  std::string path_;
};

// One call as the binding makes it: the process lock and catch-up first.
template <typename Work>
void call(Queue& queue, Work work, CatchUp catch_up = CatchUp::kRun) {
  Result<QueueCall> entered = queue.enter_call(catch_up);
  ASSERT_TRUE(entered.ok()) << entered.error().message();
  work(*entered);
}

// The original log: a dozen records of all five kinds, one per step, with
// the state after each step and where each frame ends.
struct Original {
  std::string bytes;
  std::vector<uint64_t> frame_ends;  // frame_ends[k]: end of the first k frames
  std::vector<Snapshot> states;      // states[k]: after the first k frames
  std::map<uint64_t, Bytes> bodies;
};

Original write_original() {
  ScratchDirectory dir;
  std::unique_ptr<Queue> queue = open_queue(dir.path());
  EXPECT_NE(queue, nullptr);
  Original original;
  original.bodies = {{0, {'a', 'l', 'p', 'h', 'a'}}, {1, {}}, {2, Bytes(40, 0xA5)}, {3, {'o', 'm', 'e', 'g', 'a'}}};
  CollectingSink sink;
  auto enqueue = [&](QueueCall& c, uint64_t seq) { EXPECT_EQ(c.enqueue(original.bodies[seq]).value(), seq); };
  auto dequeue = [&](QueueCall& c) { EXPECT_TRUE(c.dequeue(kHour, sink).value()); };
  const std::vector<std::function<void(QueueCall&)>> steps = {
      [&](QueueCall& c) { enqueue(c, 0); },
      [&](QueueCall& c) { enqueue(c, 1); },
      [&](QueueCall& c) { enqueue(c, 2); },
      dequeue,                                                     // Lease 0
      dequeue,                                                     // Lease 1
      [&](QueueCall& c) { EXPECT_TRUE(c.nack(0, true).value()); },          // Requeue 0
      [&](QueueCall& c) { EXPECT_TRUE(c.nack(1, false).value()); },         // DeadLetter 1
      dequeue,                                                     // Lease 0 again
      [&](QueueCall& c) { EXPECT_TRUE(c.extend_lease(0, 2 * kHour).value()); },
      [&](QueueCall& c) { EXPECT_TRUE(c.ack(0).value()); },                 // Ack 0
      [&](QueueCall& c) { enqueue(c, 3); },
      dequeue,                                                     // Lease 2
      [&](QueueCall& c) { EXPECT_TRUE(c.nack(2, true).value()); },          // Requeue 2
  };
  original.frame_ends.push_back(logfile::kFileHeaderLen);
  original.states.push_back(snapshot(*queue));
  for (const auto& step : steps) {
    call(*queue, step);
    original.frame_ends.push_back(read_file(dir.file("queue.log")).size());
    original.states.push_back(snapshot(*queue));
    // One record per step, or the states would not line up with the frames.
    EXPECT_GT(original.frame_ends.back(), original.frame_ends[original.frame_ends.size() - 2]);
  }
  queue.reset();
  original.bytes = read_file(dir.file("queue.log"));
  EXPECT_EQ(original.bytes.size(), original.frame_ends.back());
  return original;
}

// How many whole frames lie before byte `offset` of the original log.
size_t frames_before(const Original& original, uint64_t offset) {
  size_t frames = 0;
  while (frames + 1 < original.frame_ends.size() && original.frame_ends[frames + 1] <= offset) ++frames;
  return frames;
}

// Opens `image`, which should recover to the first `frames` frames, and
// checks it all the way through. Returns false after the first failure so
// that a broken sweep reports one image, not hundreds.
bool check_image(ImageDirectory& images, const Original& original, const std::string& image, size_t frames,
                 const std::string& what) {
  SCOPED_TRACE(what);
  const std::string& dir = images.fresh();
  const std::string log = dir + "/queue.log";
  write_file(log, image);
  std::unique_ptr<Queue> queue = open_queue(dir);
  EXPECT_NE(queue, nullptr);
  if (queue == nullptr) return false;
  EXPECT_TRUE(snapshot(*queue) == original.states[frames]) << "not the state of the first " << frames << " frames";
  // Exactly the intact frames stay; a header-only image is the fresh log.
  const std::string expected_log =
      image.size() < logfile::kFileHeaderLen ? read_file(log) : image.substr(0, original.frame_ends[frames]);
  EXPECT_EQ(read_file(log), expected_log);

  // Every body still lives where its record says; more appends land cleanly.
  CollectingSink sink;
  call(*queue, [&](QueueCall& c) {
    EXPECT_EQ(c.dequeue_batch(UINT64_MAX, kHour, sink).value(), original.states[frames].ready.size());
    EXPECT_TRUE(c.enqueue(std::vector<uint8_t>{'n', 'e', 'w'}).ok());
  });
  for (const auto& [seq, body] : sink.bodies) EXPECT_EQ(body, original.bodies.at(seq)) << "seq " << seq;
  const Snapshot after = snapshot(*queue);
  queue.reset();

  std::unique_ptr<Queue> reopened = open_queue(dir);
  EXPECT_NE(reopened, nullptr);
  if (reopened == nullptr) return false;
  EXPECT_TRUE(snapshot(*reopened) == after) << "the reopened queue differs";
  call(*reopened, [](QueueCall& c) {
    Result<IntegrityReport> report = c.verify_integrity();
    EXPECT_TRUE(report.ok() && report->ok) << (report.ok() ? report->message : report.error().message());
  }, CatchUp::kSkip);
  return !::testing::Test::HasFailure();
}

TEST(DamageSweepTest, EveryFlippedByteAndBitAndEveryCutLeavesTheIntactPrefix) {
  const Original original = write_original();
  ASSERT_FALSE(::testing::Test::HasFailure());
  ASSERT_EQ(original.states.size(), 14u);
  ImageDirectory directory;
  ASSERT_FALSE(directory.fresh().empty());
  uint64_t images = 0;

  for (uint64_t cut = 0; cut <= original.bytes.size(); ++cut, ++images) {
    // A header cut short is the header of a log that never held a frame.
    const size_t frames = cut < logfile::kFileHeaderLen ? 0 : frames_before(original, cut);
    ASSERT_TRUE(check_image(directory, original, original.bytes.substr(0, cut), frames, "cut at " + std::to_string(cut)));
  }

  for (uint64_t at = 0; at < original.bytes.size(); ++at) {
    for (const uint8_t mask : {uint8_t{0xFF}, static_cast<uint8_t>(1u << (at % 8))}) {
      ++images;
      std::string image = original.bytes;
      image[at] = static_cast<char>(static_cast<uint8_t>(image[at]) ^ mask);
      const std::string what = "byte " + std::to_string(at) + " ^ " + std::to_string(mask);
      if (at < sizeof logfile::kFileMagic + sizeof logfile::kFormatVersion) {
        // Not a queue log any more, or one of a version this build cannot
        // read: refused, and left exactly as it was.
        const std::string& dir = directory.fresh();
        write_file(dir + "/queue.log", image);
        EXPECT_FALSE(Queue::open(dir, QueueConfig{}).ok()) << what;
        ASSERT_EQ(read_file(dir + "/queue.log"), image) << what;
        continue;
      }
      // The generation field is not part of any frame.
      const size_t frames = at < logfile::kFileHeaderLen ? original.states.size() - 1 : frames_before(original, at);
      ASSERT_TRUE(check_image(directory, original, image, frames, what));
    }
  }
  std::printf("damage sweep: %llu images of a %zu-byte log of %zu records, 0 failures\n",
              static_cast<unsigned long long>(images), original.bytes.size(), original.states.size() - 1);
}

}  // namespace
}  // namespace tollivane
