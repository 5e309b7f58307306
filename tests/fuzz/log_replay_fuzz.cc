// libFuzzer target over everything that reads queue.log: arbitrary bytes
// become the whole log (the read-only scan, recovery at open, body reads,
// verification), and are then appended behind a valid log for a second pass
// (catch-up, compaction).
// Built with -DTOLLIVANE_BUILD_FUZZERS=ON and clang; run with a malloc limit
// (-malloc_limit_mb) so that a length field that makes the reader allocate
// what it claims shows up as a failure, not just as slowness.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>

#include "queue/log_scan.h"
#include "queue/queue.h"
#include "queue_call.h"

namespace tollivane {
namespace {

// On tmpfs when there is one: every input that recovery cuts costs an
// fsync of the log and of the directory, which on a disk would cap the run
// at a few hundred inputs a second.
const std::string& queue_directory() {
  static const std::string path = [] {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/tollivane-fuzz-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern;
  }();
  static const bool removed_at_exit = [] {
    return std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }) == 0;
  }();
  (void)removed_at_exit;
  return path;
}

// Whatever an input left beside the log (a copy of damage that recovery
// cut, a temporary of a compaction) must not be seen by the next input.
void clear_directory(const std::string& directory) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

void put_bytes(const std::string& path, const uint8_t* data, size_t size, int mode_flags) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | mode_flags, 0666);
  if (fd < 0) abort();
  if (size != 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  ::close(fd);
}

// Touches every byte handed out, so that a body read outside the map is
// caught by the address sanitizer.
class TouchingSink final : public DeliverySink {
 public:
  bool accept(const Delivery& delivery) override {
    for (const uint8_t byte : delivery.body) checksum_ ^= byte;
    return true;
  }

 private:
  uint8_t checksum_ = 0;
};

// The read-only scan the command line looks through: every frame, the
// sweep of its copy, and a read of each ready body it found.
void scan_read_only(const std::string& directory) {
  Result<std::unique_ptr<LogScan>> scan = LogScan::open(directory, 64);
  if (!scan.ok()) return;
  while (true) {
    Result<const logfile::ScannedFrame*> frame = (*scan)->next();
    if (!frame.ok() || *frame == nullptr) break;
  }
  (void)(*scan)->sweep(UINT64_MAX);
  for (const LogScan::Message& message : (*scan)->messages(/*held=*/std::nullopt)) {
    std::vector<uint8_t> body(std::min<uint32_t>(message.entry.body_len, 4096));
    (void)(*scan)->read_at(message.entry.body_offset, body);
  }
}

}  // namespace
}  // namespace tollivane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tollivane;
  clear_directory(queue_directory());
  const std::string log_path = queue_directory() + "/queue.log";
  // Damaged regions saved by earlier inputs would pile up in the directory.
  for (const auto& entry : std::filesystem::directory_iterator(queue_directory())) {
    if (entry.path().filename().string().find(".damaged-") != std::string::npos) std::filesystem::remove(entry.path());
  }
  put_bytes(log_path, data, size, O_TRUNC);
  scan_read_only(queue_directory());

  QueueConfig config;
  config.sync_interval_ms = 1u << 30;  // fsync costs nothing to find here
  config.auto_compact_bytes = 0;
  Result<std::unique_ptr<Queue>> opened = Queue::open(queue_directory(), config);
  if (!opened.ok()) return 0;  // a foreign header is refused, which is right
  Queue& queue = **opened;
  TouchingSink sink;
  using test_support::in_call;
  (void)in_call(queue, [&](QueueCall& call) { return call.dequeue_batch(8, 0, sink); });
  (void)in_call(queue, [&](QueueCall& call) { return call.verify_integrity(); }, CatchUp::kSkip);
  // Whatever the records, the counts of what holds messages add up.
  const QueueState& state = queue.state();
  if (state.scheduled_count() + state.buried_count() > state.held_count()) abort();
  if (in_call(queue, [&](QueueCall& call) { return call.kick_all(); }).ok() && state.buried_count() != 0) abort();

  (void)in_call(queue, [&](QueueCall& call) { return call.purge(); });
  (void)in_call(queue, [&](QueueCall& call) { return call.enqueue(std::vector<uint8_t>{1, 2, 3}); });
  put_bytes(log_path, data, size, O_APPEND);
  (void)in_call(queue, [&](QueueCall& call) {
    (void)call.dequeue_batch(8, 0, sink);
    return call.compact();
  });
  (void)in_call(queue, [&](QueueCall& call) { return call.dequeue_batch(8, 0, sink); });
  return 0;
}
