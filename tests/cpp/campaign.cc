#include "campaign.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <span>
#include <thread>

#include "logfile/endian.h"
#include "logfile/format.h"
#include "queue_call.h"

namespace tollivane::campaign {
namespace {

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

class SeqSink : public DeliverySink {
 public:
  explicit SeqSink(bool tagged) : tagged_(tagged) {}
  bool accept(const Delivery& delivery) override {
    seqs.push_back(delivery.seq);
    if (tagged_) tokens.push_back(token_of(delivery.body).value_or(kNoToken));
    return true;
  }
  std::vector<uint64_t> seqs;
  std::vector<uint64_t> tokens;

 private:
  const bool tagged_;
};

template <typename T>
OpResult result_of(Result<T> result, std::vector<uint64_t> values) {
  if (!result.ok()) return OpResult{false, {}, result.error().message()};
  return OpResult{true, std::move(values), {}};
}

OpResult result_of(Status status) {
  if (!status.ok()) return OpResult{false, {}, status.error().message()};
  return OpResult{true, {}, {}};
}

template <typename T>
OpResult delivered(Result<T> result, SeqSink& sink) {
  OpResult outcome = result_of(std::move(result), std::move(sink.seqs));
  if (outcome.ok) outcome.tokens = std::move(sink.tokens);
  return outcome;
}

OpResult run_in_call(QueueCall& call, const Op& op, bool tagged) {
  const uint64_t seq = op.args.empty() ? 0 : op.args[0];
  const auto body_of = tagged ? tagged_body_for : body_for;
  switch (op.kind) {
    case OpKind::kEnqueue: {
      Result<uint64_t> id = call.enqueue(body_of(seq));
      return result_of(id, id.ok() ? std::vector<uint64_t>{*id} : std::vector<uint64_t>{});
    }
    case OpKind::kEnqueueBatch: {
      std::vector<std::vector<uint8_t>> bodies;
      for (uint64_t token : op.args) bodies.push_back(body_of(token));
      Result<std::vector<uint64_t>> ids = call.enqueue_batch(test_support::views_of(bodies));
      return result_of(ids, ids.ok() ? *ids : std::vector<uint64_t>{});
    }
    case OpKind::kDequeue: {
      SeqSink sink(tagged);
      return delivered(call.dequeue(op.lease_ms, sink), sink);
    }
    case OpKind::kDequeueBatch: {
      SeqSink sink(tagged);
      return delivered(call.dequeue_batch(seq, op.lease_ms, sink), sink);
    }
    case OpKind::kAck: {
      Result<bool> acked = call.ack(seq);
      return result_of(acked, {acked.ok() && *acked ? 1u : 0u});
    }
    case OpKind::kAckBatch: {
      Result<uint64_t> count = call.ack_batch(op.args);
      return result_of(count, {count.ok() ? *count : 0});
    }
    case OpKind::kNackRequeue:
    case OpKind::kNackDrop: {
      Result<bool> nacked = call.nack(seq, op.kind == OpKind::kNackRequeue);
      return result_of(nacked, {nacked.ok() && *nacked ? 1u : 0u});
    }
    case OpKind::kExtendLease: {
      Result<bool> extended = call.extend_lease(seq, op.lease_ms);
      return result_of(extended, {extended.ok() && *extended ? 1u : 0u});
    }
    case OpKind::kAckAndDequeue: {
      SeqSink sink(tagged);
      Result<QueueCall::AckedAndLeased> done = call.ack_and_dequeue(seq, std::nullopt, op.lease_ms, sink);
      if (done.ok()) sink.seqs.insert(sink.seqs.begin(), done->acked ? 1u : 0u);
      return delivered(std::move(done), sink);
    }
    case OpKind::kCompact: return result_of(call.compact());
    case OpKind::kPurge: return result_of(call.purge());
    case OpKind::kFlush: return result_of(call.flush());
    case OpKind::kEnqueueDelayed: {
      std::vector<std::vector<uint8_t>> bodies;
      for (uint64_t token : op.args) bodies.push_back(body_of(token));
      if (bodies.size() == 1) {
        Result<uint64_t> id = call.enqueue_delayed(bodies[0], op.lease_ms);
        return result_of(id, id.ok() ? std::vector<uint64_t>{*id} : std::vector<uint64_t>{});
      }
      Result<std::vector<uint64_t>> ids = call.enqueue_batch_delayed(test_support::views_of(bodies), op.lease_ms);
      return result_of(ids, ids.ok() ? *ids : std::vector<uint64_t>{});
    }
    case OpKind::kRetry:
    case OpKind::kBury:
    case OpKind::kKick: {
      Result<bool> done = op.kind == OpKind::kRetry ? call.retry(seq, op.lease_ms, std::nullopt)
                          : op.kind == OpKind::kBury ? call.bury(seq, std::nullopt)
                                                     : call.kick(seq);
      return result_of(done, {done.ok() && *done ? 1u : 0u});
    }
    case OpKind::kKickAll: {
      Result<uint64_t> count = call.kick_all();
      return result_of(count, {count.ok() ? *count : 0});
    }
  }
  return OpResult{false, {}, "unknown operation"};
}

ModelState without(ModelState state, uint64_t seq) {
  state.live.erase(seq);
  state.buried.erase(seq);
  state.not_before.erase(seq);
  return state;
}

// `seq` made ready at once: kicked, or handed back by a nack.
ModelState released(ModelState state, uint64_t seq) {
  state.buried.erase(seq);
  state.not_before.erase(seq);
  return state;
}

// The seqs of `queue`'s buried messages.
std::set<uint64_t> buried_in(const QueueState& state) {
  std::set<uint64_t> buried;
  state.for_each_message([&](uint64_t seq, const MessageEntry&, std::optional<uint64_t> deadline_ms) {
    if (deadline_ms == logfile::kBuriedDeadlineMs) buried.insert(seq);
  });
  return buried;
}

bool removes(OpKind kind) {
  return kind == OpKind::kAck || kind == OpKind::kNackDrop || kind == OpKind::kAckBatch ||
         kind == OpKind::kAckAndDequeue;
}

// The tokens of the live messages among those `op` names, read from the
// starts of their tagged bodies in the log.
std::vector<uint64_t> live_tokens_named(const Queue& queue, const Op& op) {
  std::vector<uint64_t> tokens;
  Result<base::File> log = queue.directory().open_file(logfile::kLogName, O_RDONLY);
  std::set<uint64_t> seen;
  for (uint64_t seq : op.args) {
    const MessageEntry* entry = queue.state().find(seq);
    if (entry == nullptr || !seen.insert(seq).second) continue;
    uint8_t start[sizeof(uint64_t)] = {};
    Result<bool> read = log.ok() ? log->read_exact_at(entry->body_offset, start) : Result<bool>(false);
    tokens.push_back(read.ok() && *read ? logfile::get_le<uint64_t>(start) : kNoToken);
  }
  return tokens;
}

uint64_t monotonic_ns() {
  const auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_boot).count());
}

// The pipe protocol: each message is one write of a count, the sender's
// thread id and that many u64s, well under PIPE_BUF, so a kill never leaves
// half a message and writers that share the pipe never interleave theirs.
void send(int fd, std::vector<uint64_t> words) {
  words.insert(words.begin(), {words.size(), static_cast<uint64_t>(::gettid())});
  const size_t len = words.size() * sizeof(uint64_t);
  if (::write(fd, words.data(), len) != static_cast<ssize_t>(len)) _exit(3);
}

constexpr uint64_t kBegin = 0, kEnd = 1, kOpened = 2, kFinished = 3, kSettling = 4;

// A process forked by a child takes its tokens from here on, past the child's.
constexpr uint64_t kForkedTokens = uint64_t{1} << 31;

void run_reported(int fd, Queue& queue, const Op& op, bool tagged, std::mutex* object_mutex = nullptr) {
  std::vector<uint64_t> begin = {kBegin, static_cast<uint64_t>(op.kind), op.lease_ms, monotonic_ns(), op.clock_ms};
  begin.insert(begin.end(), op.args.begin(), op.args.end());
  send(fd, std::move(begin));
  const SettlingReport report = [fd](const std::vector<uint64_t>& tokens) {
    std::vector<uint64_t> message = {kSettling};
    message.insert(message.end(), tokens.begin(), tokens.end());
    send(fd, std::move(message));
  };
  const OpResult result = run_op(queue, op, tagged ? &report : nullptr, object_mutex);
  std::vector<uint64_t> end = {kEnd, result.ok ? 1u : 0u, monotonic_ns(), result.clock_ms, result.values.size()};
  end.insert(end.end(), result.values.begin(), result.values.end());
  end.insert(end.end(), result.tokens.begin(), result.tokens.end());
  send(fd, std::move(end));
}

// The writer threads of ChildPlan::writers, on `objects`, until each has
// made its calls.
void run_writers(int fd, std::vector<std::unique_ptr<Queue>>& objects, const ChildPlan& plan) {
  std::vector<std::mutex> object_mutexes(objects.size());
  std::vector<std::thread> threads;
  for (size_t w = 0; w < plan.writers.size(); ++w) {
    threads.emplace_back([&, w] {
      Queue& queue = *objects[plan.writers[w]];
      std::mutex& object_mutex = object_mutexes[plan.writers[w]];
      Workload workload(mix(plan.seed + w), plan.first_token + (uint64_t{w} << 24));
      for (size_t i = 0; i < plan.max_ops; ++i) {
        Op op;
        {
          std::lock_guard object(object_mutex);
          op = workload.next(queue.state());
        }
        run_reported(fd, queue, op, plan.tagged, &object_mutex);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

[[noreturn]] void child_main(int fd, const std::string& path, const ChildPlan& plan) {
  test_support::FaultyFileSystem fs(plan.seed);
  if (plan.arm) plan.arm(fs);
  // Recovery may warn about a tail that a kill or crash cut; that is expected.
  const int devnull = ::open("/dev/null", O_WRONLY);
  if (devnull >= 0) ::dup2(devnull, STDERR_FILENO);
  if (plan.before_open) plan.before_open();
  if (!plan.writers.empty()) {
    std::vector<std::unique_ptr<Queue>> objects;
    for (size_t object = 0; object <= *std::max_element(plan.writers.begin(), plan.writers.end()); ++object) {
      Result<std::unique_ptr<Queue>> opened = Queue::open(path, plan.config);
      if (!opened.ok()) _exit(2);
      objects.push_back(std::move(*opened));
    }
    send(fd, {kOpened});
    run_writers(fd, objects, plan);
    objects.clear();
    send(fd, {kFinished});
    _exit(0);
  }
  Result<std::unique_ptr<Queue>> opened = Queue::open(path, plan.config);
  if (!opened.ok()) _exit(2);
  Queue& queue = **opened;
  send(fd, {kOpened});
  Workload workload(plan.seed, plan.first_token);
  pid_t forked = 0;
  bool compact_next = false;
  for (size_t i = 0; i < plan.max_ops; ++i) {
    if (plan.fork_at == i) {
      forked = ::fork();
      if (forked == 0) workload = Workload(mix(plan.seed), plan.first_token + kForkedTokens);
      compact_next = forked > 0;
    }
    if (plan.before_call) plan.before_call(i);
    const Op op = compact_next ? Op{OpKind::kCompact, {}, 0} : workload.next(queue.state());
    compact_next = false;
    run_reported(fd, queue, op, plan.tagged);
  }
  opened->reset();
  send(fd, {kFinished});
  while (forked > 0 && ::waitpid(forked, nullptr, 0) < 0 && errno == EINTR) {
  }
  _exit(0);
}

void add_message(History& history, const std::vector<uint64_t>& message) {
  switch (message.empty() ? UINT64_MAX : message[0]) {
    case kOpened: history.opened = true; break;
    case kFinished: history.finished = true; break;
    case kBegin:
      if (message.size() < 5) break;
      history.ops.push_back(
          Op{static_cast<OpKind>(message[1]), {message.begin() + 5, message.end()}, message[2], message[4]});
      history.began_ns.push_back(message[3]);
      break;
    case kSettling:
      if (!history.ops.empty()) history.settling[history.ops.size() - 1] = {message.begin() + 1, message.end()};
      break;
    case kEnd: {
      if (message.size() < 5 || message.size() < 5 + message[4]) break;
      const auto values_end = message.begin() + 5 + static_cast<long>(message[4]);
      history.results.push_back(
          OpResult{message[1] == 1, {message.begin() + 5, values_end}, {}, {values_end, message.end()}, message[3]});
      history.returned_ns.push_back(message[2]);
      break;
    }
    default: break;
  }
}

// Takes the whole messages at the front of `bytes` into their senders'
// histories; what is left is the start of a message still on its way.
void take_messages(std::vector<char>& bytes, std::map<pid_t, History>& histories) {
  size_t at = 0;
  constexpr size_t kWord = sizeof(uint64_t);
  while (bytes.size() - at >= 2 * kWord) {
    uint64_t header[2];
    std::memcpy(header, bytes.data() + at, sizeof header);
    if (bytes.size() - at < (2 + header[0]) * kWord) break;
    std::vector<uint64_t> message(header[0]);
    if (!message.empty()) std::memcpy(message.data(), bytes.data() + at + 2 * kWord, message.size() * kWord);
    History& history = histories[static_cast<pid_t>(header[1])];
    history.pid = static_cast<pid_t>(header[1]);
    add_message(history, message);
    at += (2 + header[0]) * kWord;
  }
  bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(at));
}

}  // namespace

bool long_run() {
  const char* value = std::getenv("TOLLIVANE_LONG");
  return value != nullptr && std::string(value) == "1";
}

std::string scratch_base() { return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"; }

std::vector<uint8_t> body_for(uint64_t token) {
  const uint64_t h = mix(token);
  // One in 23 is larger than the writer's buffer and goes to the file directly.
  const size_t len = h % 23 == 0 ? 8200 + h % 3000 : h % 120;
  std::vector<uint8_t> body(len);
  for (size_t i = 0; i < len; ++i) body[i] = static_cast<uint8_t>((h >> (8 * (i % 8))) ^ (i / 8));
  return body;
}

std::vector<uint8_t> tagged_body_for(uint64_t token) {
  std::vector<uint8_t> body(sizeof token);
  logfile::put_le<uint64_t>(body.data(), token);
  const std::vector<uint8_t> rest = body_for(token);
  body.insert(body.end(), rest.begin(), rest.end());
  return body;
}

std::optional<uint64_t> token_of(std::span<const uint8_t> body) {
  if (body.size() < sizeof(uint64_t)) return std::nullopt;
  const uint64_t token = logfile::get_le<uint64_t>(body.data());
  const std::vector<uint8_t> expected = tagged_body_for(token);
  if (!std::equal(body.begin(), body.end(), expected.begin(), expected.end())) return std::nullopt;
  return token;
}

const char* op_name(OpKind kind) {
  static const char* const kNames[] = {"enqueue", "enqueue_batch", "dequeue", "dequeue_batch",
                                       "ack",     "ack_batch",     "nack(requeue)", "nack(drop)",
                                       "extend_lease", "compact", "purge", "flush",
                                       "enqueue_delayed", "retry", "bury", "kick", "kick_all",
                                       "ack_and_dequeue"};
  return kNames[static_cast<size_t>(kind)];
}

bool forces_sync(OpKind kind) {
  switch (kind) {
    case OpKind::kEnqueueBatch:
    case OpKind::kDequeueBatch:
    case OpKind::kAckBatch:
    case OpKind::kCompact:
    case OpKind::kPurge:
    case OpKind::kFlush:
      return true;
    default:
      return false;
  }
}

uint64_t Workload::pick_seq(const QueueState& state) {
  const auto messages = state.messages_by_seq();
  if (!messages.empty() && pick(5) != 0) return std::next(messages.begin(), static_cast<long>(pick(messages.size())))->first;
  return pick(state.counters().next_seq + 2);
}

uint64_t Workload::pick_held(const QueueState& state, Hold hold) {
  std::vector<uint64_t> held;
  state.for_each_message([&](uint64_t seq, const MessageEntry& entry, std::optional<uint64_t> deadline_ms) {
    if (deadline_ms && hold_of_lease(*deadline_ms, entry.deliveries) == hold) held.push_back(seq);
  });
  if (!held.empty() && pick(4) != 0) return held[pick(held.size())];
  return pick_seq(state);
}

Op Workload::next(const QueueState& state, uint64_t clock_ms) {
  // Leases and delays alike: at once, soon, within the run, beyond it.
  static const uint64_t kLeases[] = {0, 1, 20, 200, 30000};
  // Weights: enqueue 18, enqueue_batch 8, dequeue 14, dequeue_batch 7, ack 12,
  // ack_batch 7, nack requeue 5, nack drop 5, extend 6, compact 2, purge 1, flush 2,
  // enqueue_delayed 7, retry 4, bury 4, kick 3, kick_all 1, ack_and_dequeue 10.
  static const uint32_t kWeights[] = {18, 8, 14, 7, 12, 7, 5, 5, 6, 2, 1, 2, 7, 4, 4, 3, 1, 10};
  uint64_t roll = pick(116);
  size_t kind = 0;
  while (roll >= kWeights[kind]) roll -= kWeights[kind++];
  Op op{static_cast<OpKind>(kind), {}, kLeases[pick(5)], clock_ms};
  switch (op.kind) {
    case OpKind::kEnqueue: op.args = {next_token_++}; break;
    case OpKind::kEnqueueDelayed:
      for (uint64_t n = pick(3) == 0 ? 1 + pick(4) : 1; n > 0; --n) op.args.push_back(next_token_++);
      break;
    case OpKind::kRetry: op.args = {pick_held(state, Hold::kInFlight)}; break;
    case OpKind::kKick: op.args = {pick_held(state, Hold::kBuried)}; break;
    case OpKind::kEnqueueBatch:
      for (uint64_t n = 1 + pick(5); n > 0; --n) op.args.push_back(next_token_++);
      break;
    case OpKind::kDequeueBatch: op.args = {pick(5)}; break;
    case OpKind::kAckBatch:
      for (uint64_t n = 1 + pick(5); n > 0; --n) op.args.push_back(pick_seq(state));
      break;
    case OpKind::kExtendLease:
      if (const auto in_flight = state.in_flight_deadlines(); !in_flight.empty() && pick(4) != 0) {
        op.args = {std::next(in_flight.begin(), static_cast<long>(pick(in_flight.size())))->first};
      } else {
        op.args = {pick_seq(state)};
      }
      break;
    case OpKind::kAck:
    case OpKind::kNackRequeue:
    case OpKind::kNackDrop:
    case OpKind::kBury:
    case OpKind::kAckAndDequeue: op.args = {pick_seq(state)}; break;
    default: break;
  }
  return op;
}

OpResult run_op(Queue& queue, const Op& op, const SettlingReport* settling, std::mutex* object_mutex,
                ClockFn clock) {
  OpResult result;
  PendingSync owed;
  {
    std::unique_lock<std::mutex> object;
    if (object_mutex != nullptr) object = std::unique_lock(*object_mutex);
    // flush() is the one call here that does not catch up first.
    Result<QueueCall> call = queue.enter_call(op.kind == OpKind::kFlush ? CatchUp::kSkip : CatchUp::kRun);
    if (!call.ok()) return OpResult{false, {}, call.error().message()};
    if (settling != nullptr && removes(op.kind)) (*settling)(live_tokens_named(queue, op));
    result = run_in_call(*call, op, settling != nullptr);
    owed = call->leave();
  }
  // After the object is let go, as the binding syncs: another thread of it
  // may append meanwhile, and share the fsync.
  Status synced = owed.complete();
  if (result.ok && !synced.ok()) return OpResult{false, {}, synced.error().message()};
  result.clock_ms = clock();
  return result;
}

std::vector<ModelState> effects(const ModelState& before, const Op& op) {
  std::vector<ModelState> states = {before};
  switch (op.kind) {
    case OpKind::kEnqueue:
    case OpKind::kEnqueueBatch:
    case OpKind::kEnqueueDelayed:
      for (uint64_t token : op.args) {
        ModelState next = states.back();
        const uint64_t seq = next.next_seq++;
        next.live[seq] = token;
        states.push_back(next);
        // Its delay is a frame of its own, after the Enqueue in the same write.
        if (op.kind != OpKind::kEnqueueDelayed || op.lease_ms == 0) continue;
        next.not_before[seq] = op.clock_ms + op.lease_ms;
        states.push_back(std::move(next));
      }
      break;
    case OpKind::kBury:
      if (states.back().live.contains(op.args[0]) && !states.back().buried.contains(op.args[0])) {
        ModelState next = states.back();
        next.buried.insert(op.args[0]);
        states.push_back(std::move(next));
      }
      break;
    case OpKind::kKick:
    case OpKind::kNackRequeue:
      if (op.kind == OpKind::kKick ? states.back().buried.contains(op.args[0]) : states.back().live.contains(op.args[0])) {
        states.push_back(released(states.back(), op.args[0]));
      }
      break;
    case OpKind::kKickAll:
      for (uint64_t seq : before.buried) states.push_back(released(states.back(), seq));
      break;
    case OpKind::kAck:
    case OpKind::kNackDrop:
    case OpKind::kAckBatch:
    case OpKind::kAckAndDequeue:
      for (uint64_t seq : op.args) {
        if (states.back().live.contains(seq)) states.push_back(without(states.back(), seq));
      }
      break;
    case OpKind::kPurge: states.push_back(ModelState{}); break;
    default: break;  // leases, requeues, compaction and syncs keep every message
  }
  return states;
}

// What is wrong with `delivered`, the ids a call leased from `before` at
// `clock_ms`, if anything.
const char* delivery_fault(const ModelState& before, std::span<const uint64_t> delivered, uint64_t clock_ms) {
  if (std::set<uint64_t>(delivered.begin(), delivered.end()).size() != delivered.size()) return "delivered twice";
  for (uint64_t seq : delivered) {
    if (!before.live.contains(seq)) return "delivered a message that is not live";
    if (before.buried.contains(seq)) return "delivered a buried message";
    const auto due = before.not_before.find(seq);
    if (due != before.not_before.end() && clock_ms < due->second) return "delivered a delayed message before its time";
  }
  return nullptr;
}

std::string check_result(const ModelState& before, const Op& op, const OpResult& result) {
  if (!result.ok) return {};
  const std::vector<ModelState> after = effects(before, op);
  const auto& values = result.values;
  auto expect = [&](bool holds, const char* what) { return holds ? std::string() : std::string(op_name(op.kind)) + ": " + what; };
  switch (op.kind) {
    case OpKind::kEnqueue:
    case OpKind::kEnqueueBatch:
    case OpKind::kEnqueueDelayed: {
      bool consecutive = values.size() == op.args.size();
      for (size_t i = 0; consecutive && i < values.size(); ++i) consecutive = values[i] == before.next_seq + i;
      return expect(consecutive, "ids are not the next ones");
    }
    case OpKind::kDequeue:
    case OpKind::kDequeueBatch: {
      if (op.kind == OpKind::kDequeueBatch && values.size() > op.args[0]) return expect(false, "leased more than max");
      const char* fault = delivery_fault(before, values, result.clock_ms);
      return expect(fault == nullptr, fault);
    }
    case OpKind::kBury:
      return expect(values.size() == 1 && (values[0] == 1) == (before.live.contains(op.args[0]) &&
                                                               !before.buried.contains(op.args[0])),
                    "result disagrees with whether the message is live and not buried");
    case OpKind::kKick:
      return expect(values.size() == 1 && (values[0] == 1) == before.buried.contains(op.args[0]),
                    "result disagrees with whether the message is buried");
    case OpKind::kKickAll:
      return expect(values.size() == 1 && values[0] == before.buried.size(), "count disagrees with the buried messages");
    case OpKind::kAck:
    case OpKind::kNackDrop:
    case OpKind::kNackRequeue:
      return expect(values.size() == 1 && (values[0] == 1) == before.live.contains(op.args[0]),
                    "result disagrees with whether the message is live");
    case OpKind::kAckBatch:
      return expect(values.size() == 1 && values[0] == after.size() - 1, "count disagrees with the live messages");
    case OpKind::kAckAndDequeue: {
      // The ack's 1/0, then what dequeue() would have leased after it.
      if (values.empty() || values.size() > 2 || (values[0] == 1) != before.live.contains(op.args[0])) {
        return expect(false, "ack result disagrees with whether the message is live");
      }
      const char* fault = delivery_fault(after.back(), std::span(values).subspan(1), result.clock_ms);
      return expect(fault == nullptr, fault);
    }
    case OpKind::kRetry:
    case OpKind::kExtendLease:
      return expect(values.size() == 1 && (values[0] == 0 || (before.live.contains(op.args[0]) &&
                                                              !before.buried.contains(op.args[0]))),
                    "extended or retried a message that is not live, or buried");
    default: return {};
  }
}

std::vector<ModelState> possible_states(ModelState start, const std::vector<Op>& ops, size_t first_uncertain) {
  ModelState current = std::move(start);
  std::vector<ModelState> possible;
  for (size_t i = 0; i < ops.size(); ++i) {
    std::vector<ModelState> states = effects(current, ops[i]);
    if (i >= first_uncertain) possible.insert(possible.end(), states.begin(), states.end() - 1);
    current = std::move(states.back());
  }
  possible.push_back(std::move(current));
  return possible;
}

Verdict check_state(const Queue& queue, const std::string& dir, const std::vector<ModelState>& possible) {
  Verdict verdict;
  const QueueState& state = queue.state();
  // Bodies are read from the log file itself, where the reopened state says they are.
  const std::string log = test_support::read_file(dir + "/queue.log");
  auto body_matches = [&](uint64_t seq, uint64_t token) {
    const MessageEntry* entry = state.find(seq);
    const std::vector<uint8_t> expected = body_for(token);
    if (entry == nullptr || entry->body_len != expected.size()) return false;
    if (entry->body_offset + entry->body_len > log.size()) return false;
    return std::equal(expected.begin(), expected.end(), log.begin() + static_cast<long>(entry->body_offset),
                      [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  };
  const std::set<uint64_t> buried = buried_in(state);
  for (const ModelState& candidate : possible) {
    if (candidate.next_seq != state.counters().next_seq || candidate.live.size() != state.message_count() ||
        candidate.buried != buried) {
      continue;
    }
    bool same = true;
    for (const auto& [seq, token] : candidate.live) same = same && body_matches(seq, token);
    if (!same) continue;
    if (!verdict.matched) {
      verdict.matched = true;
      verdict.state = candidate;
      continue;
    }
    // Candidates that differ only in delays (a nack of a delayed message in
    // doubt) are told apart by nothing compared here: only the delays they
    // all keep still bind.
    std::erase_if(verdict.state.not_before, [&](const auto& due) {
      const auto other = candidate.not_before.find(due.first);
      return other == candidate.not_before.end() || other->second != due.second;
    });
  }
  if (verdict.matched) return verdict;
  // No possible state fits: count what is missing or back, against them all.
  std::set<uint64_t> in_all, in_any;
  for (const auto& [seq, token] : possible.front().live) in_all.insert(seq);
  for (const ModelState& candidate : possible) {
    std::erase_if(in_all, [&](uint64_t seq) { return !candidate.live.contains(seq); });
    for (const auto& [seq, token] : candidate.live) in_any.insert(seq);
  }
  for (uint64_t seq : in_all) verdict.lost += state.find(seq) == nullptr;
  for (const auto& [seq, entry] : state.messages_by_seq()) verdict.resurrected += !in_any.contains(seq);
  const ModelState& last = possible.back();
  verdict.detail = "state has " + std::to_string(state.message_count()) + " messages, next id " +
                   std::to_string(state.counters().next_seq) + "; expected (among " + std::to_string(possible.size()) +
                   " possible) e.g. " + std::to_string(last.live.size()) + " messages, next id " +
                   std::to_string(last.next_seq) + "; lost " + std::to_string(verdict.lost) + ", back " +
                   std::to_string(verdict.resurrected);
  return verdict;
}

namespace {

Result<std::unique_ptr<Queue>> open_quietly(const std::string& dir, const QueueConfig& config) {
  // Recovery warns on stderr about each tail it cuts; here that is expected.
  std::fflush(stderr);
  const int saved_stderr = ::dup(STDERR_FILENO);
  const int devnull = ::open("/dev/null", O_WRONLY);
  ::dup2(devnull, STDERR_FILENO);
  Result<std::unique_ptr<Queue>> opened = Queue::open(dir, config);
  std::fflush(stderr);
  ::dup2(saved_stderr, STDERR_FILENO);
  ::close(saved_stderr);
  ::close(devnull);
  return opened;
}

}  // namespace

Verdict reopen_and_check(const std::string& dir, const QueueConfig& config, const std::vector<ModelState>& possible) {
  Result<std::unique_ptr<Queue>> opened = open_quietly(dir, config);
  if (!opened.ok()) {
    Verdict verdict;
    verdict.unopenable = true;
    verdict.detail = "reopen failed: " + opened.error().message();
    return verdict;
  }
  Queue& queue = **opened;
  Result<IntegrityReport> report =
      test_support::in_call(queue, [](QueueCall& call) { return call.verify_integrity(); }, CatchUp::kSkip);
  Verdict verdict = check_state(queue, dir, possible);
  if (!report.ok() || !report->ok || report->message != "clean") {
    verdict.damaged = true;
    verdict.detail += " verify_integrity: " + (report.ok() ? report->message : report.error().message());
  }
  return verdict;
}

History run_in_child(const std::string& dir, const ChildPlan& plan) {
  return run_children({ChildRun{dir, plan}}).front();
}

std::vector<History> run_children(const std::vector<ChildRun>& runs, const std::function<void()>& meanwhile) {
  int fds[2];
  if (::pipe(fds) != 0) return std::vector<History>(runs.size());
  std::fflush(stdout);
  std::fflush(stderr);
  const auto started = std::chrono::steady_clock::now();
  std::vector<pid_t> pids;
  for (const ChildRun& run : runs) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      child_main(fds[1], run.path, run.plan);
    }
    pids.push_back(pid);
  }
  ::close(fds[1]);
  // A run that hangs is cut short, every process it knows of killed.
  const auto give_up = started + std::chrono::minutes(5);
  std::map<pid_t, History> histories;
  std::vector<char> bytes;
  std::vector<bool> killed(runs.size(), false);
  char buffer[65536];
  while (true) {
    const auto now = std::chrono::steady_clock::now();
    int timeout_ms = 1000;
    for (size_t k = 0; k < runs.size(); ++k) {
      if (killed[k] || pids[k] <= 0 || !runs[k].plan.kill_after) continue;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(started + *runs[k].plan.kill_after - now);
      if (left.count() <= 0) {
        ::kill(pids[k], SIGKILL);
        killed[k] = true;
      } else {
        timeout_ms = static_cast<int>(std::min<int64_t>(timeout_ms, left.count()));
      }
    }
    if (now > give_up) {
      for (pid_t pid : pids) ::kill(pid, SIGKILL);
      for (const auto& [pid, history] : histories) ::kill(pid, SIGKILL);
      break;
    }
    const bool all_opened = std::all_of(pids.begin(), pids.end(), [&](pid_t pid) { return histories[pid].opened; });
    if (meanwhile && all_opened) {
      meanwhile();
      timeout_ms = std::min(timeout_ms, 1);
    }
    pollfd poll_fd{fds[0], POLLIN, 0};
    if (::poll(&poll_fd, 1, timeout_ms) == 0) continue;
    const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
    take_messages(bytes, histories);
  }
  ::close(fds[0]);
  for (pid_t pid : pids) {
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  std::vector<History> ordered;
  for (pid_t pid : pids) ordered.push_back(histories[pid]);
  for (const auto& [pid, history] : histories) {
    if (std::find(pids.begin(), pids.end(), pid) == pids.end()) ordered.push_back(history);
  }
  return ordered;
}

SmallFileSystem::SmallFileSystem(uint64_t bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
  if (::mount("tmpfs", path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    error_ = std::strerror(errno);
  }
}

SmallFileSystem::~SmallFileSystem() {
  // Lazily, so that a descriptor a failed test left open cannot keep the
  // mount; the scratch directory under it is then removed.
  if (mounted()) ::umount2(path().c_str(), MNT_DETACH);
}

void SmallFileSystem::fill_leaving(uint64_t free_bytes) {
  const std::string filler = path() + "/filler";
  const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  static const std::vector<char> zeros(64 * 1024);
  while (::write(fd, zeros.data(), zeros.size()) > 0) {
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0) {
    const off_t keep = info.st_size > static_cast<off_t>(free_bytes) ? info.st_size - static_cast<off_t>(free_bytes) : 0;
    (void)::ftruncate(fd, keep);
  }
  ::close(fd);
}

void SmallFileSystem::free_filler() { ::unlink((path() + "/filler").c_str()); }

void Tally::add(const Verdict& verdict) {
  ++checked;
  lost += verdict.lost;
  resurrected += verdict.resurrected;
  unopenable += verdict.unopenable;
  inconsistent += !verdict.unopenable && (verdict.damaged || !verdict.matched);
}

namespace {

constexpr uint64_t kStillRunning = UINT64_MAX;  // the end of a call that never returned

// When a call ran, on the clock all processes share.
struct Span {
  uint64_t began = 0, returned = kStillRunning;
};

// An id seen naming a message: returned by its enqueue, or delivered.
struct Sighting {
  uint64_t id, token;
  Span when;
  uint64_t clock_ms = 0;  // a delivery's: the queue's clock once it returned
};

// A message a returned call held back: delayed or retried until `until_ms`
// on the queue's clock (a lower bound of the deadline it wrote), or buried.
struct HeldBack {
  uint64_t id, until_ms;
  Span when;
  bool buried() const { return until_ms == kStillRunning; }
};

// What every process did, gathered by message token and by id.
struct SharedHistory {
  std::map<uint64_t, Sighting> enqueued;   // token -> the id its enqueue returned
  std::set<uint64_t> begun;                // every token an enqueue began
  std::map<uint64_t, uint64_t> removed;    // token -> when its removal returned
  std::set<uint64_t> maybe_removed;        // by a settlement that never returned
  std::vector<Span> purges;                // returned or not
  std::vector<Sighting> sightings;
  std::vector<Sighting> deliveries;        // by calls that returned
  std::vector<HeldBack> holds;
  // Calls that may have made a held message deliverable sooner: by id (a
  // kick, a nack, an extension, another retry) and for all (kick_all).
  std::map<uint64_t, std::vector<Span>> releases;
  std::vector<Span> releases_of_all;

  // Whether anything may have released `hold` before `moment`.
  bool released(const HeldBack& hold, uint64_t moment) const {
    auto overlaps = [&](const Span& e) { return e.began < moment && e.returned > hold.when.began; };
    const auto by_id = releases.find(hold.id);
    return (by_id != releases.end() && std::any_of(by_id->second.begin(), by_id->second.end(), overlaps)) ||
           std::any_of(releases_of_all.begin(), releases_of_all.end(), overlaps) ||
           std::any_of(purges.begin(), purges.end(), overlaps);
  }

  // Whether a purge may have run between two moments or calls: then ids may
  // name other messages after it, and what was enqueued before may be gone.
  bool purge_between(const Span& a, const Span& b) const {
    const uint64_t from = std::min(a.began, b.began), to = std::max(a.returned, b.returned);
    return std::any_of(purges.begin(), purges.end(), [&](const Span& p) { return p.began < to && p.returned > from; });
  }
  bool purge_after(uint64_t moment) const { return purge_between({moment, moment}, {moment, kStillRunning}); }
  bool purge_returned_after(uint64_t moment) const {
    return std::any_of(purges.begin(), purges.end(),
                       [&](const Span& p) { return p.returned != kStillRunning && p.began > moment; });
  }
};

// The deliveries of a call that returned: the ids in its values from
// `first` on, with the tokens of their bodies in order.
void note_deliveries(const OpResult& result, size_t first, const Span& when, SharedHistory& shared,
                     SharedTally& tally) {
  for (size_t j = first; j < result.values.size(); ++j) {
    const uint64_t token = j - first < result.tokens.size() ? result.tokens[j - first] : kNoToken;
    if (token == kNoToken) {
      tally.fail(tally.bad_bodies, "delivered id " + std::to_string(result.values[j]) + " with a foreign body");
    }
    shared.sightings.push_back(Sighting{result.values[j], token, when, result.clock_ms});
    shared.deliveries.push_back(shared.sightings.back());
  }
}

void gather_call(const History& history, size_t i, SharedHistory& shared, SharedTally& tally) {
  const Op& op = history.ops[i];
  const bool returned = i < history.results.size();
  const Span when{history.began_ns[i], returned ? history.returned_ns[i] : kStillRunning};
  const OpResult* result = returned ? &history.results[i] : nullptr;
  const bool ok = result != nullptr && result->ok;
  tally.calls += 1;
  tally.in_doubt += !returned;
  if (returned && !ok) {
    tally.fail(tally.failed_calls, std::string(op_name(op.kind)) + " failed in process " + std::to_string(history.pid));
  }
  const auto settling = history.settling.find(i);
  // A bool call that may have taken effect.
  const bool may_have = !ok || (!result->values.empty() && result->values[0] == 1);
  switch (op.kind) {
    case OpKind::kEnqueue:
    case OpKind::kEnqueueBatch:
    case OpKind::kEnqueueDelayed:
      for (size_t j = 0; j < op.args.size(); ++j) {
        shared.begun.insert(op.args[j]);
        if (!ok || j >= result->values.size()) continue;
        shared.enqueued[op.args[j]] = Sighting{result->values[j], op.args[j], when};
        shared.sightings.push_back(shared.enqueued[op.args[j]]);
        if (op.kind == OpKind::kEnqueueDelayed && op.lease_ms > 0) {
          shared.holds.push_back(HeldBack{result->values[j], op.clock_ms + op.lease_ms, when});
        }
      }
      break;
    case OpKind::kRetry:
    case OpKind::kBury:
      if (ok && result->values[0] == 1) {
        shared.holds.push_back(
            HeldBack{op.args[0], op.kind == OpKind::kBury ? kStillRunning : op.clock_ms + op.lease_ms, when});
      }
      // A retry replaces the deadline of an earlier one, which may be later.
      if (op.kind == OpKind::kRetry && may_have) shared.releases[op.args[0]].push_back(when);
      break;
    case OpKind::kKick:
    case OpKind::kNackRequeue:
    case OpKind::kExtendLease:
      if (may_have) shared.releases[op.args[0]].push_back(when);
      break;
    case OpKind::kKickAll: shared.releases_of_all.push_back(when); break;
    case OpKind::kDequeue:
    case OpKind::kDequeueBatch:
      if (ok) note_deliveries(*result, 0, when, shared, tally);
      break;
    case OpKind::kAck:
    case OpKind::kNackDrop:
    case OpKind::kAckBatch:
    case OpKind::kAckAndDequeue: {
      // Its values are the ack's 1/0, then the id delivered.
      if (ok && op.kind == OpKind::kAckAndDequeue) note_deliveries(*result, 1, when, shared, tally);
      if (settling == history.settling.end()) {
        // No report means the call died before it could settle anything.
        if (ok) tally.fail(tally.inconsistent, "a settlement returned without reporting what it settled");
        break;
      }
      for (uint64_t token : settling->second) {
        if (ok) shared.removed[token] = when.returned;
        if (!ok) shared.maybe_removed.insert(token);
      }
      if (!ok) break;
      const uint64_t settled = op.kind == OpKind::kAckBatch ? result->values[0] : result->values[0] == 1;
      if (settled != settling->second.size()) {
        tally.fail(tally.inconsistent, std::string(op_name(op.kind)) + " settled " + std::to_string(settled) +
                                           " of " + std::to_string(settling->second.size()) + " live messages");
      }
      break;
    }
    case OpKind::kPurge:
      shared.purges.push_back(when);
      tally.purges += 1;
      break;
    default: break;
  }
}

// token -> id of every message `queue` holds, its body read from `log`;
// kNoToken keys count the bodies that are no tagged ones.
std::map<uint64_t, uint64_t> messages_in(const Queue& queue, const std::string& log, SharedTally& tally) {
  std::map<uint64_t, uint64_t> messages;
  for (const auto& [seq, entry] : queue.state().messages_by_seq()) {
    std::optional<uint64_t> token;
    if (entry.body_offset + entry.body_len <= log.size()) {
      token = token_of(std::span(reinterpret_cast<const uint8_t*>(log.data()) + entry.body_offset, entry.body_len));
    }
    if (!token) tally.fail(tally.bad_bodies, "id " + std::to_string(seq) + " holds a body no enqueue wrote");
    if (token && !messages.emplace(*token, seq).second) {
      tally.fail(tally.moved, "message " + std::to_string(*token) + " is there twice");
    }
  }
  return messages;
}

void check_sightings(const SharedHistory& shared, SharedTally& tally) {
  std::map<uint64_t, std::vector<const Sighting*>> by_id, by_token;
  for (const Sighting& sighting : shared.sightings) {
    by_id[sighting.id].push_back(&sighting);
    by_token[sighting.token].push_back(&sighting);
    const auto removed = shared.removed.find(sighting.token);
    if (removed != shared.removed.end() && sighting.when.began > removed->second) {
      tally.fail(tally.resurrected,
                 "message " + std::to_string(sighting.token) + " delivered after its removal returned");
    }
  }
  for (const auto& [id, seen] : by_id) {
    for (size_t a = 0; a < seen.size(); ++a) {
      for (size_t b = a + 1; b < seen.size(); ++b) {
        if (seen[a]->token == seen[b]->token || shared.purge_between(seen[a]->when, seen[b]->when)) continue;
        tally.fail(tally.two_messages_one_id, "id " + std::to_string(id) + " named messages " +
                                                  std::to_string(seen[a]->token) + " and " +
                                                  std::to_string(seen[b]->token));
        a = b = seen.size();
      }
    }
  }
  for (const auto& [token, seen] : by_token) {
    const bool one_id = std::all_of(seen.begin(), seen.end(), [&](const Sighting* s) { return s->id == seen[0]->id; });
    if (!one_id && token != kNoToken) {
      tally.fail(tally.moved, "message " + std::to_string(token) + " seen under two ids");
    }
  }
}

void check_final(const SharedHistory& shared, const std::map<uint64_t, uint64_t>& final_messages, SharedTally& tally) {
  for (const auto& [token, id] : final_messages) {
    const auto enqueued = shared.enqueued.find(token);
    if (!shared.begun.contains(token)) {
      tally.fail(tally.bad_bodies, "message " + std::to_string(token) + " was never enqueued");
    }
    if (enqueued != shared.enqueued.end() && enqueued->second.id != id) {
      tally.fail(tally.moved, "message " + std::to_string(token) + " enqueued as id " +
                                  std::to_string(enqueued->second.id) + " is now id " + std::to_string(id));
    }
    const bool purged =
        enqueued != shared.enqueued.end() && shared.purge_returned_after(enqueued->second.when.returned);
    if (shared.removed.contains(token) || purged) {
      tally.fail(tally.resurrected, "message " + std::to_string(token) + " is back after its removal returned");
    }
  }
  for (const auto& [token, sighting] : shared.enqueued) {
    if (final_messages.contains(token) || shared.removed.contains(token) || shared.maybe_removed.contains(token) ||
        shared.purge_after(sighting.when.began)) {
      continue;
    }
    tally.fail(tally.lost, "message " + std::to_string(token) + " (id " + std::to_string(sighting.id) + ") is gone");
  }
  // A call that returned a message depended on its enqueue's frame, whoever
  // wrote it: that frame must have survived with it.
  for (const Sighting& delivery : shared.deliveries) {
    if (delivery.token == kNoToken || final_messages.contains(delivery.token) ||
        shared.removed.contains(delivery.token) || shared.maybe_removed.contains(delivery.token) ||
        shared.purge_after(delivery.when.began)) {
      continue;
    }
    tally.fail(tally.lost, "message " + std::to_string(delivery.token) + " delivered by a call that returned is gone");
  }
}

// No held message is delivered before its hold ends, none buried at all,
// and none that nothing released is ready at the end.
void check_holds(const SharedHistory& shared, const QueueState& final_state, SharedTally& tally) {
  const uint64_t now = now_ms();
  for (const HeldBack& hold : shared.holds) {
    tally.holds += 1;
    const Sighting* next = nullptr;
    for (const Sighting& delivery : shared.deliveries) {
      if (delivery.id == hold.id && delivery.when.began > hold.when.returned &&
          (next == nullptr || delivery.when.began < next->when.began)) {
        next = &delivery;
      }
    }
    const std::string what = "message " + std::to_string(hold.id) + (hold.buried() ? " (buried)" : " (held back)");
    if (next != nullptr && next->clock_ms < hold.until_ms && !shared.released(hold, next->when.returned)) {
      tally.fail(hold.buried() ? tally.unburied : tally.early, what + " delivered before its time");
    }
    if (shared.released(hold, kStillRunning) || final_state.find(hold.id) == nullptr || now >= hold.until_ms) continue;
    const std::optional<Hold> held = final_state.hold_of(hold.id);
    if (hold.buried() ? held != Hold::kBuried : !held) {
      tally.fail(hold.buried() ? tally.unburied : tally.early, what + " is not held back at the end");
    }
  }
}

}  // namespace

void SharedTally::fail(uint64_t& count, const std::string& detail) {
  ++count;
  if (details.size() < 10) details.push_back(detail);
}

bool SharedTally::clean() const {
  return lost == 0 && resurrected == 0 && two_messages_one_id == 0 && moved == 0 && bad_bodies == 0 &&
         failed_calls == 0 && inconsistent == 0 && early == 0 && unburied == 0;
}

std::string SharedTally::figures() const {
  return std::to_string(runs) + " runs, " + std::to_string(processes) + " processes, " + std::to_string(calls) +
         " calls (" + std::to_string(in_doubt) + " cut short by a kill, " + std::to_string(purges) + " purges), " +
         std::to_string(messages) + " messages left: lost " + std::to_string(lost) + ", back " +
         std::to_string(resurrected) + ", ids naming two messages " + std::to_string(two_messages_one_id) +
         ", messages moved or doubled " + std::to_string(moved) + ", bad bodies " + std::to_string(bad_bodies) +
         ", failed calls " + std::to_string(failed_calls) + ", inconsistent " + std::to_string(inconsistent) + "; " +
         std::to_string(holds) + " messages delayed, retried or buried: delivered or ready early " +
         std::to_string(early) + ", buried ones delivered or not buried " + std::to_string(unburied);
}

void check_shared(const std::string& dir, const QueueConfig& config, const std::vector<History>& histories,
                  Queue& survivor, SharedTally& tally) {
  tally.runs += 1;
  SharedHistory shared;
  for (const History& history : histories) {
    tally.processes += 1;
    for (size_t i = 0; i < history.ops.size() && i < history.began_ns.size(); ++i) {
      gather_call(history, i, shared, tally);
    }
  }
  check_sightings(shared, tally);

  // The survivor catches up with everything; verify_integrity must find the
  // log it leaves whole, and a fresh open the same queue in it.
  Result<IntegrityReport> report =
      test_support::in_call(survivor, [](QueueCall& call) { return call.verify_integrity(); });
  const std::string log = test_support::read_file(dir + "/queue.log");
  if (!report.ok() || report->message != "clean" || report->bytes != log.size()) {
    tally.fail(tally.inconsistent, "verify_integrity after catching up: " +
                                       (report.ok() ? report->message : report.error().message()));
  }
  Result<std::unique_ptr<Queue>> fresh = open_quietly(dir, config);
  if (!fresh.ok()) return tally.fail(tally.inconsistent, "reopen failed: " + fresh.error().message());
  const std::map<uint64_t, uint64_t> final_messages = messages_in(**fresh, log, tally);
  if (test_support::read_file(dir + "/queue.log") != log || messages_in(survivor, log, tally) != final_messages ||
      survivor.state().counters().next_seq != (*fresh)->state().counters().next_seq) {
    tally.fail(tally.inconsistent, "a fresh open and the object that caught up disagree");
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().starts_with("queue.log.damaged-")) {
      tally.fail(tally.inconsistent, "a damaged copy was made: " + entry.path().filename().string());
    }
  }
  tally.messages += final_messages.size();
  check_final(shared, final_messages, tally);
  check_holds(shared, (*fresh)->state(), tally);
}

void print_figure(const std::string& line) {
  std::printf("[campaign] %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace tollivane::campaign
