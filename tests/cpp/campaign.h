// What the crash, power-loss, I/O-error and shared-directory campaigns share:
// a seeded random workload over every operation of the queue, child
// processes that run it and report every call, a model of what the calls
// that returned promise, and the checks of a reopened directory against it.
//
// The model tracks only what durability is about: which messages are live
// (with their bodies), which of them are buried, and the next sequence id.
// Leases and delivery counts may legitimately come back either way after a
// crash, so they are not compared; but no call may deliver a buried message,
// nor a delayed one before the delay's end as the clock read before its
// enqueue places it. A call whose outcome is unknown (cut short by a kill, a power
// loss or an injected error) may have left any prefix of its effects, in
// log order: possible_states() lists every state that allows.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "queue/queue.h"

namespace tollivane::campaign {

// TOLLIVANE_LONG=1 asks for the full sweeps; the default run is a quick form.
bool long_run();

// Where campaigns put their queues: a RAM-backed file system when there is
// one (the crash model is simulated, so real fsyncs would only cost time).
std::string scratch_base();

// The body of the message that carries `token`: its length and bytes follow
// from the token alone, now and then past the writer's buffer.
std::vector<uint8_t> body_for(uint64_t token);

// body_for() behind the token itself (8 bytes, little-endian), so that a
// message is known by its body alone: where several processes enqueue, and a
// purge starts the ids again, no id tells which message it is.
std::vector<uint8_t> tagged_body_for(uint64_t token);
// The token of a body that tagged_body_for() made, exactly; nullopt for any
// other body.
std::optional<uint64_t> token_of(std::span<const uint8_t> body);
inline constexpr uint64_t kNoToken = UINT64_MAX;

enum class OpKind : uint8_t {
  kEnqueue, kEnqueueBatch, kDequeue, kDequeueBatch, kAck, kAckBatch,
  kNackRequeue, kNackDrop, kExtendLease, kCompact, kPurge, kFlush,
  kEnqueueDelayed, kRetry, kBury, kKick, kKickAll,
  kAckAndDequeue,
};
const char* op_name(OpKind kind);

struct Op {
  OpKind kind = OpKind::kFlush;
  // Body tokens (enqueues), sequence ids (settlements, extend_lease, retry,
  // bury, kick), or the batch size (dequeue_batch).
  std::vector<uint64_t> args;
  uint64_t lease_ms = 0;  // also the delay of enqueue_delayed and retry
  // The queue's clock when the call was chosen, at or before its start.
  uint64_t clock_ms = 0;
};

struct OpResult {
  bool ok = false;
  // Ids enqueued or delivered; 1/0 for a bool result; the count of ack_batch;
  // for ack_and_dequeue, 1/0 for the ack and then the id delivered, if any.
  std::vector<uint64_t> values;
  std::string error;
  // With tagged bodies, the token of each delivery (kNoToken for a body
  // that is no tagged one).
  std::vector<uint64_t> tokens = {};
  // The queue's clock once the call returned, at or after its end.
  uint64_t clock_ms = 0;
};

// Whether a successful call of this kind leaves everything before it
// durable, whatever the sync interval.
bool forces_sync(OpKind kind);

class Workload {
 public:
  Workload(uint64_t seed, uint64_t first_token) : random_(seed), next_token_(first_token) {}
  // The next call, chosen with an eye on the queue's state so that most
  // settlements name live messages, at `clock_ms` on the queue's clock.
  Op next(const QueueState& state, uint64_t clock_ms = now_ms());

 private:
  uint64_t pick_seq(const QueueState& state);
  // Mostly a message held for `hold`, when there is one.
  uint64_t pick_held(const QueueState& state, Hold hold);
  uint64_t pick(uint64_t bound) { return std::uniform_int_distribution<uint64_t>(0, bound - 1)(random_); }

  std::mt19937_64 random_;
  uint64_t next_token_;
};

// Told, inside a call that settles messages and before it does, the tokens
// of the live messages it names, read from their tagged bodies.
using SettlingReport = std::function<void(const std::vector<uint64_t>& tokens)>;

// Makes the call as the binding would: enter_call, the operation, leave
// (under `object_mutex`, when threads share the object), then the sync the
// call owes. With `settling`, bodies are tagged, deliveries carry their
// tokens and every acknowledgement or drop reports what it is about to remove.
// `clock` is the queue's.
OpResult run_op(Queue& queue, const Op& op, const SettlingReport* settling = nullptr,
                std::mutex* object_mutex = nullptr, ClockFn clock = now_ms);

struct ModelState {
  std::map<uint64_t, uint64_t> live;  // seq -> body token
  uint64_t next_seq = 0;
  std::set<uint64_t> buried;
  // seq -> the earliest moment a delayed message may be delivered.
  std::map<uint64_t, uint64_t> not_before;
  bool operator==(const ModelState&) const = default;
};

// The states `op` can leave behind from `before`, from none of its effects
// to all of them (the last entry).
std::vector<ModelState> effects(const ModelState& before, const Op& op);

// "" when a call that returned `result` agrees with the model before it.
std::string check_result(const ModelState& before, const Op& op, const OpResult& result);

// Every state the log may hold after `ops`, when those before
// `first_uncertain` are known to have taken effect and each later one may
// have left any prefix of its effects (and then none after it did).
std::vector<ModelState> possible_states(ModelState start, const std::vector<Op>& ops, size_t first_uncertain);

struct Verdict {
  bool unopenable = false;
  bool damaged = false;      // verify_integrity did not say "clean"
  bool matched = false;      // the state is one of the possible ones
  uint64_t lost = 0;         // live in every possible state, yet missing
  uint64_t resurrected = 0;  // live in no possible state, yet present
  ModelState state;          // the possible state that matched
  std::string detail;
};

// Compares the state the queue in `dir` holds now (bodies read from its log)
// with the possible ones.
Verdict check_state(const Queue& queue, const std::string& dir, const std::vector<ModelState>& possible);

// Opens the directory afresh, verifies the log and checks its state.
Verdict reopen_and_check(const std::string& dir, const QueueConfig& config, const std::vector<ModelState>& possible);

// What a writer reported through its pipe: every call it began and the
// result of every call that returned (one fewer when it died in a call),
// each with the time it began or returned on the monotonic clock, which all
// processes share. A writer is a process, or a thread where several threads
// of one process write.
struct History {
  pid_t pid = 0;  // the writer's thread id (the process id of a process's only thread)
  std::vector<Op> ops;
  std::vector<OpResult> results;
  std::vector<uint64_t> began_ns, returned_ns;
  // Index of a settling call -> the tokens it reported before settling.
  std::map<size_t, std::vector<uint64_t>> settling;
  bool opened = false;  // Queue::open returned in the child
  bool finished = false;  // the child ran its whole workload
};

struct ChildPlan {
  QueueConfig config;
  uint64_t seed = 1;
  uint64_t first_token = 0;
  size_t max_ops = 100;
  // Arms the child's file system, e.g. to kill it after the Nth write.
  std::function<void(test_support::FaultyFileSystem&)> arm;
  // Kills the child this long after it started, if it is still running.
  std::optional<std::chrono::microseconds> kill_after;
  // Tagged bodies, and tokens reported (see run_op).
  bool tagged = false;
  // Run in the child before it opens the queue, and before each call.
  std::function<void()> before_open = {};
  std::function<void(size_t call)> before_call = {};
  // Before this call the child forks: the new process goes on through the
  // inherited object with a workload (and tokens) of its own, reporting on
  // the same pipe, while the child compacts at once.
  std::optional<size_t> fork_at = {};
  // Several writers in the child at once, each a thread with a workload
  // (and tokens) of its own running max_ops calls, reporting as a writer of
  // its own: writers[i] is the object thread i calls, so {0, 0, 1} makes two
  // threads share one object (taking turns by a mutex, as the binding's
  // threads do) and a third use an object of its own on the same directory.
  // Empty: the child's one thread is the writer. (kill_after, fork_at and
  // before_call apply to that one only.)
  std::vector<size_t> writers = {};
};

History run_in_child(const std::string& dir, const ChildPlan& plan);

// A tmpfs of `bytes` mounted for one test and unmounted at its end, so that
// the queue on it really runs out of space. Mounting needs the right to
// (root); error() says why it could not be had.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(uint64_t bytes);
  ~SmallFileSystem();
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return mount_point_.path(); }
  // Fills the file system up with a file of its own, then frees `free_bytes`
  // of it again (to the page).
  void fill_leaving(uint64_t free_bytes);
  void free_filler();

 private:
  test_support::ScratchDirectory mount_point_;
  std::string error_;
};

struct ChildRun {
  std::string path;  // as the child opens it
  ChildPlan plan;
};

// Runs the children at once, each opening its path; once all have opened,
// `meanwhile` runs about every millisecond until they are done. Returns
// their histories in order, then those of the processes they forked.
std::vector<History> run_children(const std::vector<ChildRun>& runs, const std::function<void()>& meanwhile = {});

// Adds up the verdicts of one campaign and prints its figure line.
struct Tally {
  uint64_t checked = 0, lost = 0, resurrected = 0, unopenable = 0, inconsistent = 0;
  void add(const Verdict& verdict);
  bool clean() const { return lost == 0 && resurrected == 0 && unopenable == 0 && inconsistent == 0; }
};

// Several processes on one directory at once (histories of tagged runs),
// checked against the directory now: nothing whose enqueue returned is gone
// unless a settlement or purge that returned, or may have landed, removed
// it; nothing a returned settlement or purge removed is back or delivered
// again; no id names two messages between purges, and no message has two
// ids; every body is intact; `survivor`, an object opened before the runs,
// catches up to the state a fresh open finds, and verify_integrity agrees.
// A delayed enqueue, retry or bury that returned must hold its message back
// (until the delay's end, or until it is kicked) unless a call that may
// have released it ran meanwhile: no delivery before, none of a buried one,
// and none ready at the end.
struct SharedTally {
  uint64_t runs = 0, processes = 0, calls = 0, in_doubt = 0, purges = 0, messages = 0, holds = 0;
  uint64_t lost = 0, resurrected = 0, two_messages_one_id = 0, moved = 0, bad_bodies = 0, failed_calls = 0,
           inconsistent = 0, early = 0, unburied = 0;
  std::vector<std::string> details;
  void fail(uint64_t& count, const std::string& detail);
  bool clean() const;
  std::string figures() const;
};
void check_shared(const std::string& dir, const QueueConfig& config, const std::vector<History>& histories,
                  Queue& survivor, SharedTally& tally);

// Prints one line to stdout, where the campaign script and ctest -V find it.
void print_figure(const std::string& line);

}  // namespace tollivane::campaign
