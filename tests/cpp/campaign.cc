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
#include <set>

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
  bool accept(const Delivery& delivery) override {
    seqs.push_back(delivery.seq);
    return true;
  }
  std::vector<uint64_t> seqs;
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

OpResult run_in_call(Queue& queue, const Op& op) {
  const uint64_t seq = op.args.empty() ? 0 : op.args[0];
  switch (op.kind) {
    case OpKind::kEnqueue: {
      Result<uint64_t> id = queue.enqueue(body_for(seq));
      return result_of(id, id.ok() ? std::vector<uint64_t>{*id} : std::vector<uint64_t>{});
    }
    case OpKind::kEnqueueBatch: {
      std::vector<std::vector<uint8_t>> bodies;
      for (uint64_t token : op.args) bodies.push_back(body_for(token));
      Result<std::vector<uint64_t>> ids = queue.enqueue_batch(std::move(bodies));
      return result_of(ids, ids.ok() ? *ids : std::vector<uint64_t>{});
    }
    case OpKind::kDequeue: {
      SeqSink sink;
      return result_of(queue.dequeue(op.lease_ms, sink), sink.seqs);
    }
    case OpKind::kDequeueBatch: {
      SeqSink sink;
      return result_of(queue.dequeue_batch(seq, op.lease_ms, sink), sink.seqs);
    }
    case OpKind::kAck: {
      Result<bool> acked = queue.ack(seq);
      return result_of(acked, {acked.ok() && *acked ? 1u : 0u});
    }
    case OpKind::kAckBatch: {
      Result<uint64_t> count = queue.ack_batch(op.args);
      return result_of(count, {count.ok() ? *count : 0});
    }
    case OpKind::kNackRequeue:
    case OpKind::kNackDrop: {
      Result<bool> nacked = queue.nack(seq, op.kind == OpKind::kNackRequeue);
      return result_of(nacked, {nacked.ok() && *nacked ? 1u : 0u});
    }
    case OpKind::kExtendLease: {
      Result<bool> extended = queue.extend_lease(seq, op.lease_ms);
      return result_of(extended, {extended.ok() && *extended ? 1u : 0u});
    }
    case OpKind::kCompact: return result_of(queue.compact());
    case OpKind::kPurge: return result_of(queue.purge());
    case OpKind::kFlush: return result_of(queue.flush());
  }
  return OpResult{false, {}, "unknown operation"};
}

ModelState without(ModelState state, uint64_t seq) {
  state.live.erase(seq);
  return state;
}

// The pipe protocol: each message is one write of a count and that many
// u64s, well under PIPE_BUF, so a kill never leaves half a message.
void send(int fd, std::vector<uint64_t> words) {
  words.insert(words.begin(), words.size());
  const size_t len = words.size() * sizeof(uint64_t);
  if (::write(fd, words.data(), len) != static_cast<ssize_t>(len)) _exit(3);
}

constexpr uint64_t kBegin = 0, kEnd = 1, kOpened = 2, kFinished = 3;

[[noreturn]] void child_main(int fd, const std::string& dir, const ChildPlan& plan) {
  test_support::FaultyFileSystem fs(plan.seed);
  if (plan.arm) plan.arm(fs);
  // Recovery may warn about a tail that a kill or crash cut; that is expected.
  const int devnull = ::open("/dev/null", O_WRONLY);
  if (devnull >= 0) ::dup2(devnull, STDERR_FILENO);
  Result<std::unique_ptr<Queue>> opened = Queue::open(dir, plan.config);
  if (!opened.ok()) _exit(2);
  Queue& queue = **opened;
  send(fd, {kOpened});
  Workload workload(plan.seed, plan.first_token);
  for (size_t i = 0; i < plan.max_ops; ++i) {
    const Op op = workload.next(queue.state());
    std::vector<uint64_t> begin = {kBegin, static_cast<uint64_t>(op.kind), op.lease_ms};
    begin.insert(begin.end(), op.args.begin(), op.args.end());
    send(fd, std::move(begin));
    const OpResult result = run_op(queue, op);
    std::vector<uint64_t> end = {kEnd, result.ok ? 1u : 0u};
    end.insert(end.end(), result.values.begin(), result.values.end());
    send(fd, std::move(end));
  }
  opened->reset();
  send(fd, {kFinished});
  _exit(0);
}

void parse_history(const std::vector<uint64_t>& words, History& history) {
  size_t at = 0;
  while (at < words.size() && at + 1 + words[at] <= words.size()) {
    const std::vector<uint64_t> message(words.begin() + at + 1, words.begin() + at + 1 + words[at]);
    at += 1 + words[at];
    if (message.empty()) continue;
    if (message[0] == kOpened) history.opened = true;
    if (message[0] == kFinished) history.finished = true;
    if (message[0] == kBegin && message.size() >= 3) {
      history.ops.push_back(Op{static_cast<OpKind>(message[1]), {message.begin() + 3, message.end()}, message[2]});
    }
    if (message[0] == kEnd && message.size() >= 2) {
      history.results.push_back(OpResult{message[1] == 1, {message.begin() + 2, message.end()}, {}});
    }
  }
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

const char* op_name(OpKind kind) {
  static const char* const kNames[] = {"enqueue", "enqueue_batch", "dequeue", "dequeue_batch",
                                       "ack",     "ack_batch",     "nack(requeue)", "nack(drop)",
                                       "extend_lease", "compact", "purge", "flush"};
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

Op Workload::next(const QueueState& state) {
  static const uint64_t kLeases[] = {0, 1, 20, 200, 30000};
  // Weights: enqueue 18, enqueue_batch 8, dequeue 14, dequeue_batch 7, ack 12,
  // ack_batch 7, nack requeue 5, nack drop 5, extend 6, compact 2, purge 1, flush 2.
  static const uint32_t kWeights[] = {18, 8, 14, 7, 12, 7, 5, 5, 6, 2, 1, 2};
  uint64_t roll = pick(87);
  size_t kind = 0;
  while (roll >= kWeights[kind]) roll -= kWeights[kind++];
  Op op{static_cast<OpKind>(kind), {}, kLeases[pick(5)]};
  switch (op.kind) {
    case OpKind::kEnqueue: op.args = {next_token_++}; break;
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
    case OpKind::kNackDrop: op.args = {pick_seq(state)}; break;
    default: break;
  }
  return op;
}

OpResult run_op(Queue& queue, const Op& op) {
  // flush() is the one call here that does not catch up first.
  Result<CallScope> scope = queue.enter_call(op.kind == OpKind::kFlush ? CatchUp::kSkip : CatchUp::kRun);
  if (!scope.ok()) return OpResult{false, {}, scope.error().message()};
  return run_in_call(queue, op);
}

std::vector<ModelState> effects(const ModelState& before, const Op& op) {
  std::vector<ModelState> states = {before};
  switch (op.kind) {
    case OpKind::kEnqueue:
    case OpKind::kEnqueueBatch:
      for (uint64_t token : op.args) {
        ModelState next = states.back();
        next.live[next.next_seq++] = token;
        states.push_back(std::move(next));
      }
      break;
    case OpKind::kAck:
    case OpKind::kNackDrop:
    case OpKind::kAckBatch:
      for (uint64_t seq : op.args) {
        if (states.back().live.contains(seq)) states.push_back(without(states.back(), seq));
      }
      break;
    case OpKind::kPurge: states.push_back(ModelState{}); break;
    default: break;  // leases, requeues, compaction and syncs keep every message
  }
  return states;
}

std::string check_result(const ModelState& before, const Op& op, const OpResult& result) {
  if (!result.ok) return {};
  const std::vector<ModelState> after = effects(before, op);
  const auto& values = result.values;
  auto expect = [&](bool holds, const char* what) { return holds ? std::string() : std::string(op_name(op.kind)) + ": " + what; };
  switch (op.kind) {
    case OpKind::kEnqueue:
    case OpKind::kEnqueueBatch: {
      bool consecutive = values.size() == op.args.size();
      for (size_t i = 0; consecutive && i < values.size(); ++i) consecutive = values[i] == before.next_seq + i;
      return expect(consecutive, "ids are not the next ones");
    }
    case OpKind::kDequeue:
    case OpKind::kDequeueBatch: {
      bool live = std::set<uint64_t>(values.begin(), values.end()).size() == values.size();
      for (uint64_t seq : values) live = live && before.live.contains(seq);
      if (op.kind == OpKind::kDequeueBatch) live = live && values.size() <= op.args[0];
      return expect(live, "delivered a message that is not live (or twice)");
    }
    case OpKind::kAck:
    case OpKind::kNackDrop:
    case OpKind::kNackRequeue:
      return expect(values.size() == 1 && (values[0] == 1) == before.live.contains(op.args[0]),
                    "result disagrees with whether the message is live");
    case OpKind::kAckBatch:
      return expect(values.size() == 1 && values[0] == after.size() - 1, "count disagrees with the live messages");
    case OpKind::kExtendLease:
      return expect(values.size() == 1 && (values[0] == 0 || before.live.contains(op.args[0])),
                    "extended a message that is not live");
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
  for (const ModelState& candidate : possible) {
    if (candidate.next_seq != state.counters().next_seq || candidate.live.size() != state.message_count()) continue;
    bool same = true;
    for (const auto& [seq, token] : candidate.live) same = same && body_matches(seq, token);
    if (same) {
      verdict.matched = true;
      verdict.state = candidate;
      return verdict;
    }
  }
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

Verdict reopen_and_check(const std::string& dir, const QueueConfig& config, const std::vector<ModelState>& possible) {
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
  if (!opened.ok()) {
    Verdict verdict;
    verdict.unopenable = true;
    verdict.detail = "reopen failed: " + opened.error().message();
    return verdict;
  }
  Queue& queue = **opened;
  Result<IntegrityReport> report = [&]() -> Result<IntegrityReport> {
    Result<CallScope> scope = queue.enter_call(CatchUp::kSkip);
    if (!scope.ok()) return scope.take_error();
    return queue.verify_integrity();
  }();
  Verdict verdict = check_state(queue, dir, possible);
  if (!report.ok() || !report->ok || report->message != "clean") {
    verdict.damaged = true;
    verdict.detail += " verify_integrity: " + (report.ok() ? report->message : report.error().message());
  }
  return verdict;
}

History run_in_child(const std::string& dir, const ChildPlan& plan) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid < 0) return {};
  if (pid == 0) {
    ::close(fds[0]);
    child_main(fds[1], dir, plan);
  }
  ::close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + plan.kill_after.value_or(std::chrono::hours(1));
  std::vector<uint64_t> words;
  std::vector<char> bytes;
  char buffer[65536];
  bool killed = false;
  while (true) {
    int timeout_ms = -1;
    if (!killed && plan.kill_after) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        ::kill(pid, SIGKILL);
        killed = true;
      } else {
        timeout_ms = static_cast<int>(std::min<int64_t>(left.count(), 1000));
      }
    }
    pollfd poll_fd{fds[0], POLLIN, 0};
    if (::poll(&poll_fd, 1, timeout_ms) == 0) continue;
    const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  words.resize(bytes.size() / sizeof(uint64_t));
  if (!words.empty()) std::memcpy(words.data(), bytes.data(), words.size() * sizeof(uint64_t));
  History history;
  parse_history(words, history);
  return history;
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

void print_figure(const std::string& line) {
  std::printf("[campaign] %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace tollivane::campaign
