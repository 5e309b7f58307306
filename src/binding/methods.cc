// The methods of TollivaneCore. Each one binds and converts its arguments,
// runs the core operation in the call frame, and builds the Python result.
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/call_frame.h"
#include "binding/change_watch_type.h"
#include "binding/convert.h"
#include "binding/entry.h"
#include "binding/core_type.h"
#include "binding/log_scan_type.h"
#include "binding/py_ref.h"
#include "binding/results.h"
#include "binding/waiting.h"

namespace tollivane::binding {
namespace {

PyObject* new_none(std::monostate) { Py_RETURN_NONE; }

// Copies each delivered body into a bytes object while the locks still keep
// it valid; the tuples around it are built after the locks are released.
class BytesSink final : public DeliverySink {
 public:
  struct Collected {
    uint64_t seq;
    OwnedRef body;
    uint32_t deliveries;
    uint64_t enqueued_ts_ms;
  };

  bool accept(const Delivery& delivery) override {
    OwnedRef body = OwnedRef::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(delivery.body.data()), static_cast<Py_ssize_t>(delivery.body.size())));
    if (!body) return false;
    collected_.push_back(Collected{delivery.seq, std::move(body), delivery.deliveries, delivery.enqueued_ts_ms});
    return true;
  }

  std::vector<Collected>& collected() { return collected_; }

 private:
  std::vector<Collected> collected_;
};

// (seq, body, deliveries, enqueued_ts_ms)
PyObject* delivery_tuple(BytesSink::Collected& delivery) {
  OwnedRef tuple = OwnedRef::steal(PyTuple_New(4));
  if (!tuple) return nullptr;
  PyObject* items[] = {new_u64(delivery.seq), delivery.body.release(), PyLong_FromUnsignedLong(delivery.deliveries),
                       new_u64(delivery.enqueued_ts_ms)};
  bool complete = true;
  for (Py_ssize_t i = 0; i < 4; ++i) {
    complete = complete && items[i] != nullptr;
    PyTuple_SET_ITEM(tuple.get(), i, items[i]);  // a null slot is skipped when the tuple is freed
  }
  return complete ? tuple.release() : nullptr;
}

// A list of `count` items made by `make_item(i)`, or nullptr if one fails.
template <typename MakeItem>
PyObject* new_list(size_t count, MakeItem make_item) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = make_item(i);
    if (item == nullptr) return nullptr;  // the unfilled slots are null, which the list allows
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// What a dequeue of one message returns: its tuple, or None.
PyObject* delivery_or_none(BytesSink& sink, bool delivered) {
  if (!delivered) Py_RETURN_NONE;
  return delivery_tuple(sink.collected().front());
}

PyObject* delivery_list(std::vector<BytesSink::Collected>& deliveries) {
  return new_list(deliveries.size(), [&](size_t i) { return delivery_tuple(deliveries[i]); });
}

PyObject* u64_list(const std::vector<uint64_t>& values) {
  return new_list(values.size(), [&](size_t i) { return new_u64(values[i]); });
}

// --- argument binding -------------------------------------------------------

template <size_t N>
bool bind(const char* function_name, const char* const (&names)[N], Py_ssize_t required, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject* (&slots)[N]) {
  const Signature signature{function_name, names, static_cast<Py_ssize_t>(N), required};
  return bind_fastcall(signature, args, nargs, kwnames, slots);
}

// --- methods ------------------------------------------------------------------

PyObject* enqueue(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"body"};
  PyObject* slots[1];
  if (!bind("TollivaneCore.enqueue", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  BodyArgument body;
  if (!name_argument_error("body", convert_body(slots[0], &body))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.enqueue(body.view()); }, new_u64);
}

PyObject* enqueue_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"bodies"};
  PyObject* slots[1];
  if (!bind("TollivaneCore.enqueue_batch", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  std::vector<BodyArgument> bodies;
  if (!name_argument_error("bodies", convert_bodies(slots[0], &bodies))) return nullptr;
  // Nothing to append: no lock, no catch-up, no sync.
  if (bodies.empty()) return open_queue(self) != nullptr ? PyList_New(0) : nullptr;
  std::vector<std::span<const uint8_t>> views;
  views.reserve(bodies.size());
  for (const BodyArgument& body : bodies) views.push_back(body.view());
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.enqueue_batch(std::span<const std::span<const uint8_t>>(views)); },
      [](std::vector<uint64_t> seqs) { return u64_list(seqs); });
}

PyObject* dequeue(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"lease_ms"};
  PyObject* slots[1];
  if (!bind("TollivaneCore.dequeue", kNames, 0, args, nargs, kwnames, slots)) return nullptr;
  std::optional<uint64_t> lease_ms;
  if (!name_argument_error("lease_ms", convert_optional_u64(slots[0], &lease_ms))) return nullptr;
  BytesSink sink;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.dequeue(lease_ms, sink); },
      [&](bool delivered) { return delivery_or_none(sink, delivered); });
}

PyObject* dequeue_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"max", "lease_ms"};
  PyObject* slots[2];
  if (!bind("TollivaneCore.dequeue_batch", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  uint64_t max = 0;
  std::optional<uint64_t> lease_ms;
  if (!name_argument_error("max", convert_size(slots[0], &max))) return nullptr;
  if (!name_argument_error("lease_ms", convert_optional_u64(slots[1], &lease_ms))) return nullptr;
  BytesSink sink;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.dequeue_batch(max, lease_ms, sink); },
      [&](uint64_t) { return delivery_list(sink.collected()); });
}

PyObject* dequeue_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"timeout_ms", "lease_ms"};
  PyObject* slots[2];
  if (!bind("TollivaneCore.dequeue_wait", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  uint64_t timeout_ms = 0;
  std::optional<uint64_t> lease_ms;
  if (!name_argument_error("timeout_ms", convert_u64(slots[0], &timeout_ms))) return nullptr;
  if (!name_argument_error("lease_ms", convert_optional_u64(slots[1], &lease_ms))) return nullptr;
  BytesSink sink;
  return run_waiting_call(
      self, timeout_ms, [&](QueueCall& call, bool) { return call.dequeue(lease_ms, sink); },
      [&](bool delivered) { return delivery_or_none(sink, delivered); });
}

PyObject* dequeue_batch_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"max", "timeout_ms", "lease_ms"};
  PyObject* slots[3];
  if (!bind("TollivaneCore.dequeue_batch_wait", kNames, 2, args, nargs, kwnames, slots)) return nullptr;
  uint64_t max = 0;
  uint64_t timeout_ms = 0;
  std::optional<uint64_t> lease_ms;
  if (!name_argument_error("max", convert_size(slots[0], &max))) return nullptr;
  if (!name_argument_error("timeout_ms", convert_u64(slots[1], &timeout_ms))) return nullptr;
  if (!name_argument_error("lease_ms", convert_optional_u64(slots[2], &lease_ms))) return nullptr;
  BytesSink sink;
  // A batch of at most none can never hold a message: no point waiting.
  return run_waiting_call(
      self, max == 0 ? 0 : timeout_ms,
      [&](QueueCall& call, bool retry) {
        return call.dequeue_batch(max, lease_ms, sink, retry ? EmptyBatchSync::kByPolicy : EmptyBatchSync::kForced);
      },
      [&](uint64_t) { return delivery_list(sink.collected()); });
}

PyObject* ack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq"};
  PyObject* slots[1];
  if (!bind("TollivaneCore.ack", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.ack(seq); }, new_bool);
}

PyObject* ack_and_dequeue(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq", "deliveries", "lease_ms"};
  PyObject* slots[3];
  if (!bind("TollivaneCore.ack_and_dequeue", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  std::optional<uint64_t> deliveries;
  std::optional<uint64_t> lease_ms;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  if (!name_argument_error("deliveries", convert_optional_u64(slots[1], &deliveries))) return nullptr;
  if (!name_argument_error("lease_ms", convert_optional_u64(slots[2], &lease_ms))) return nullptr;
  BytesSink sink;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.ack_and_dequeue(seq, deliveries, lease_ms, sink); },
      [&](QueueCall::AckedAndLeased done) -> PyObject* {
        OwnedRef acked = OwnedRef::steal(new_bool(done.acked));
        OwnedRef delivery = OwnedRef::steal(delivery_or_none(sink, done.delivered));
        if (!acked || !delivery) return nullptr;
        return PyTuple_Pack(2, acked.get(), delivery.get());
      });
}

PyObject* ack_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seqs"};
  PyObject* slots[1];
  if (!bind("TollivaneCore.ack_batch", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  std::vector<uint64_t> seqs;
  if (!name_argument_error("seqs", convert_u64_vector(slots[0], &seqs))) return nullptr;
  // Nothing to settle: no lock, no sync, no compaction check.
  if (seqs.empty()) return open_queue(self) != nullptr ? new_u64(0) : nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.ack_batch(seqs); }, new_u64);
}

PyObject* nack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq", "requeue"};
  PyObject* slots[2];
  if (!bind("TollivaneCore.nack", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  bool requeue = true;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  if (slots[1] != nullptr && !name_argument_error("requeue", convert_bool(slots[1], &requeue))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.nack(seq, requeue); }, new_bool);
}

PyObject* extend_lease(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq", "lease_ms"};
  PyObject* slots[2];
  if (!bind("TollivaneCore.extend_lease", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  std::optional<uint64_t> lease_ms;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  if (!name_argument_error("lease_ms", convert_optional_u64(slots[1], &lease_ms))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.extend_lease(seq, lease_ms); }, new_bool);
}

PyObject* available(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return call.available(); }, new_u64);
}

PyObject* in_flight(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return Result<uint64_t>(call.in_flight()); }, new_u64);
}

PyObject* stats(PyObject* self, PyObject*) {
  // The dict is made under the locks, from one consistent snapshot.
  return run_call(
      self, CatchUp::kRun,
      [](QueueCall& call) -> Result<OwnedRef> {
        Result<QueueStats> stats = call.stats();
        if (!stats.ok()) return stats.take_error();
        OwnedRef dict = stats_dict(*stats);
        if (!dict) return Error::sink_aborted();
        return dict;
      },
      [](OwnedRef dict) { return dict.release(); });
}

PyObject* oldest_ready_ts_ms(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return call.oldest_ready_ts_ms(); },
      [](std::optional<uint64_t> ts_ms) { return ts_ms ? new_u64(*ts_ms) : new_none(std::monostate{}); });
}

PyObject* flush(PyObject* self, PyObject*) {
  // A flush only pushes out this object's own records: no catch-up.
  return run_call(
      self, CatchUp::kSkip, [](QueueCall& call) { return as_result(call.flush()); }, new_none);
}

PyObject* compact(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return as_result(call.compact()); }, new_none);
}

PyObject* purge(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return as_result(call.purge()); }, new_none);
}

PyObject* verify_integrity(PyObject* self, PyObject*) {
  Queue* queue = open_queue(self);
  if (queue == nullptr) return nullptr;
  // A queue without a log has a fixed report and nothing to lock: entering
  // its call takes nothing, and the report reads nothing of its state.
  if (!queue->persistent()) {
    Result<QueueCall> call = queue->enter_call(CatchUp::kSkip);
    Result<IntegrityReport> report = call.ok() ? call->verify_integrity() : Result<IntegrityReport>(call.take_error());
    return report.ok() ? report_dict(*report) : PendingError::from(report.error()).raise();
  }
  // Verification reads the file as it is: no catch-up, which could cut it.
  return run_call(
      self, CatchUp::kSkip, [](QueueCall& call) { return call.verify_integrity(); },
      [](IntegrityReport report) { return report_dict(report); });
}

// --- closing ------------------------------------------------------------------

PyObject* close_core(PyObject* self, PyObject*) {
  CoreData& data = core_data(self);
  // The last fsync lets other threads run.
  ReleasingInterpreterLock waits_release_it;
  PendingError failure;
  {
    // Waits for a call running in another thread; from inside a call on
    // this object (a finalizer) it is refused, as every method is.
    MutexGuard mutex;
    if (!data.lock(mutex)) return nullptr;
    failure = close_queue(data);
  }
  if (failure) return failure.raise();
  Py_RETURN_NONE;
}

PyObject* enter_context(PyObject* self, PyObject*) {
  if (open_queue(self) == nullptr) return nullptr;
  Py_INCREF(self);
  return self;
}

// An open queue is its process's descriptors, map and locks, which pickling
// cannot carry: what another process needs is the queue's path.
PyObject* refuse_pickling(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot pickle 'tollivane.TollivaneCore' object: an open queue belongs to the process that "
                  "opened it; give the other process the queue directory's path and open it there with "
                  "TollivaneCore(path) (a \":memory:\" queue cannot be shared)");
  return nullptr;
}

PyObject* exit_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr const char* kNames[] = {"exc_type", "exc_value", "traceback"};
  PyObject* slots[3];
  if (!bind("TollivaneCore.__exit__", kNames, 3, args, nargs, nullptr, slots)) return nullptr;
  // Returns None, so an exception leaving the with block is not swallowed.
  return close_core(self, nullptr);
}

// --- for callers that wait in an event loop of their own ----------------------

// TollivaneCore._nowait(method, /, *args, **kwargs): `method(*args, **kwargs)`
// for a bound method of this object, made as a call that may not wait
// (queue.h, Waits): BlockingIOError, with nothing done, where it would have
// to. For an event loop's thread, which the asyncio face runs the calls on
// that can be had without waiting. Not a queue method: it changes how the
// object's own methods are made, not what they do.
PyObject* call_without_waiting(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "TollivaneCore._nowait() takes the method to call");
    return nullptr;
  }
  PyObject* method = args[0];
  if (!PyCFunction_Check(method) || PyCFunction_GET_SELF(method) != self) {
    PyErr_SetString(PyExc_TypeError, "TollivaneCore._nowait() calls methods of its own object only");
    return nullptr;
  }
  RefusingWaits scope(core_data(self));
  // The values of the keywords follow the positional arguments.
  return PyObject_Vectorcall(method, args + 1, static_cast<size_t>(nargs - 1), kwnames);
}

PyObject* watch_changes(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kSkip, [](QueueCall& call) { return Result<ChangeWatch>(call.watch_changes()); },
      [](ChangeWatch watch) { return new_change_watch(std::move(watch)); });
}

PyObject* next_due_ms(PyObject* self, PyObject*) {
  // The figure a waiting dequeue times its own sleep by.
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return Result<std::optional<uint64_t>>(call.ms_to_next_lease_expiry()); },
      [](std::optional<uint64_t> due_ms) { return due_ms ? new_u64(*due_ms) : new_none(std::monostate{}); });
}

// --- scheduled messages, retries, buried messages, guarded settles ------------

PyObject* enqueue_delayed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"body", "delay_ms"};
  PyObject* slots[2];
  if (!bind("TollivaneCore.enqueue_delayed", kNames, 2, args, nargs, kwnames, slots)) return nullptr;
  BodyArgument body;
  uint64_t delay_ms = 0;
  if (!name_argument_error("body", convert_body(slots[0], &body))) return nullptr;
  if (!name_argument_error("delay_ms", convert_u64(slots[1], &delay_ms))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.enqueue_delayed(body.view(), delay_ms); }, new_u64);
}

PyObject* enqueue_batch_delayed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"bodies", "delay_ms"};
  PyObject* slots[2];
  if (!bind("TollivaneCore.enqueue_batch_delayed", kNames, 2, args, nargs, kwnames, slots)) return nullptr;
  std::vector<BodyArgument> bodies;
  uint64_t delay_ms = 0;
  if (!name_argument_error("bodies", convert_bodies(slots[0], &bodies))) return nullptr;
  if (!name_argument_error("delay_ms", convert_u64(slots[1], &delay_ms))) return nullptr;
  // Nothing to append: no lock, no catch-up, no sync.
  if (bodies.empty()) return open_queue(self) != nullptr ? PyList_New(0) : nullptr;
  std::vector<std::span<const uint8_t>> views;
  views.reserve(bodies.size());
  for (const BodyArgument& body : bodies) views.push_back(body.view());
  return run_call(
      self, CatchUp::kRun,
      [&](QueueCall& call) {
        return call.enqueue_batch_delayed(std::span<const std::span<const uint8_t>>(views), delay_ms);
      },
      [](std::vector<uint64_t> seqs) { return u64_list(seqs); });
}

PyObject* retry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq", "delay_ms", "deliveries"};
  PyObject* slots[3];
  if (!bind("TollivaneCore.retry", kNames, 2, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  uint64_t delay_ms = 0;
  std::optional<uint64_t> deliveries;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  if (!name_argument_error("delay_ms", convert_u64(slots[1], &delay_ms))) return nullptr;
  if (!name_argument_error("deliveries", convert_optional_u64(slots[2], &deliveries))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.retry(seq, delay_ms, deliveries); }, new_bool);
}

PyObject* bury(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq", "deliveries"};
  PyObject* slots[2];
  if (!bind("TollivaneCore.bury", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  std::optional<uint64_t> deliveries;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  if (!name_argument_error("deliveries", convert_optional_u64(slots[1], &deliveries))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.bury(seq, deliveries); }, new_bool);
}

PyObject* kick(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq"};
  PyObject* slots[1];
  if (!bind("TollivaneCore.kick", kNames, 1, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.kick(seq); }, new_bool);
}

PyObject* kick_all(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return call.kick_all(); }, new_u64);
}

PyObject* ack_delivery(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq", "deliveries"};
  PyObject* slots[2];
  if (!bind("TollivaneCore.ack_delivery", kNames, 2, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  uint64_t deliveries = 0;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  if (!name_argument_error("deliveries", convert_u64(slots[1], &deliveries))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.ack_delivery(seq, deliveries); }, new_bool);
}

PyObject* extend_delivery(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"seq", "deliveries", "lease_ms"};
  PyObject* slots[3];
  if (!bind("TollivaneCore.extend_delivery", kNames, 2, args, nargs, kwnames, slots)) return nullptr;
  uint64_t seq = 0;
  uint64_t deliveries = 0;
  std::optional<uint64_t> lease_ms;
  if (!name_argument_error("seq", convert_u64(slots[0], &seq))) return nullptr;
  if (!name_argument_error("deliveries", convert_u64(slots[1], &deliveries))) return nullptr;
  if (!name_argument_error("lease_ms", convert_optional_u64(slots[2], &lease_ms))) return nullptr;
  return run_call(
      self, CatchUp::kRun, [&](QueueCall& call) { return call.extend_delivery(seq, deliveries, lease_ms); },
      new_bool);
}

PyObject* scheduled(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return Result<uint64_t>(call.scheduled()); }, new_u64);
}

PyObject* buried(PyObject* self, PyObject*) {
  return run_call(
      self, CatchUp::kRun, [](QueueCall& call) { return Result<uint64_t>(call.buried()); }, new_u64);
}

}  // namespace

// Each doc string starts with the text signature; the interpreter splits it off
// at the "--" line into __text_signature__.
PyMethodDef kCoreMethods[] = {
    {"enqueue", fast_method<enqueue>(), kFastKeywords,
     "enqueue($self, body)\n--\n\nAppend a message; returns its monotonic sequence id (the ack/nack handle)."},
    {"enqueue_batch", fast_method<enqueue_batch>(),
     kFastKeywords,
     "enqueue_batch($self, bodies)\n--\n\nAppend many messages under a single lock + single fsync. Returns the\n"
     "assigned sequence ids in order."},
    {"dequeue", fast_method<dequeue>(), kFastKeywords,
     "dequeue($self, lease_ms=None)\n--\n\nLease the next ready message for `lease_ms` (or the queue default).\n"
     "Returns `(seq, body, deliveries, enqueued_ts_ms)` or `None` if empty.\n"
     "Expired in-flight leases are reclaimed first, so a consumer that crashed\n"
     "without acking has its messages redelivered."},
    {"dequeue_batch", fast_method<dequeue_batch>(),
     kFastKeywords, "dequeue_batch($self, max, lease_ms=None)\n--\n\nLease up to `max` ready messages at once."},
    {"ack", fast_method<ack>(), kFastKeywords,
     "ack($self, seq)\n--\n\nAcknowledge (permanently remove) a message. Returns whether it existed."},
    {"ack_batch", fast_method<ack_batch>(),
     kFastKeywords, "ack_batch($self, seqs)\n--\n\n"},
    {"nack", fast_method<nack>(), kFastKeywords,
     "nack($self, seq, requeue=True)\n--\n\nNegative-acknowledge. `requeue=true` returns the message to the ready "
     "set\nfor redelivery; `requeue=false` drops it (dead-letters). Returns whether\nit existed."},
    {"extend_lease", fast_method<extend_lease>(),
     kFastKeywords,
     "extend_lease($self, seq, lease_ms=None)\n--\n\nRenew the lease on an in-flight message without redelivering "
     "it."},
    {"available", noargs_entry<available>, METH_NOARGS,
     "available($self)\n--\n\nNumber of messages ready for immediate delivery."},
    {"in_flight", noargs_entry<in_flight>, METH_NOARGS,
     "in_flight($self)\n--\n\nNumber of leased (in-flight, not-yet-acked) messages."},
    {"stats", noargs_entry<stats>, METH_NOARGS, "stats($self)\n--\n\n"},
    {"flush", noargs_entry<flush>, METH_NOARGS, "flush($self)\n--\n\nForce a flush + fsync of any buffered records."},
    {"compact", noargs_entry<compact>, METH_NOARGS,
     "compact($self)\n--\n\nRewrite the log keeping only live messages, reclaiming acked space."},
    {"purge", noargs_entry<purge>, METH_NOARGS,
     "purge($self)\n--\n\nRemove every message and reset the log (a fresh generation so other\nprocesses reload)."},
    {"verify_integrity", noargs_entry<verify_integrity>, METH_NOARGS,
     "verify_integrity($self)\n--\n\nRe-read the whole log, CRC-verifying every record. Returns a report dict\n"
     "`{ok, records, bytes, message}`. Does not mutate state."},
    // Closing comes after the fifteen methods of the queue.
    {"close", noargs_entry<close_core>, METH_NOARGS,
     "close($self)\n--\n\nFlush and fsync what this object has buffered, then release its files, map and\n"
     "lock at once. Later calls raise ValueError; closing again does nothing."},
    {"__enter__", noargs_entry<enter_context>, METH_NOARGS,
     "__enter__($self)\n--\n\nReturn the queue itself, for a `with` block that closes it at the end."},
    {"__exit__", positional_method<exit_context>(), METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nClose the queue, as close() does. An exception "
     "raised\nin the `with` block is not suppressed."},
    // Consumers that wait for a message come after closing.
    {"dequeue_wait", fast_method<dequeue_wait>(), kFastKeywords,
     "dequeue_wait($self, timeout_ms, lease_ms=None)\n--\n\nAs `dequeue`, but wait up to `timeout_ms` for a "
     "message to become ready.\nReturns `(seq, body, deliveries, enqueued_ts_ms)`, or `None` once that time\n"
     "has passed. Holds no lock while it waits."},
    {"dequeue_batch_wait", fast_method<dequeue_batch_wait>(), kFastKeywords,
     "dequeue_batch_wait($self, max, timeout_ms, lease_ms=None)\n--\n\nAs `dequeue_batch`, but wait up to `timeout_ms` "
     "until at least one message\ncould be leased; then lease up to `max`. `[]` once that time has passed."},
    {"scan_log", fast_method<scan_log>(), kFastKeywords | METH_STATIC,
     "scan_log(path, body_prefix=0)\n--\n\nRead the log of the queue directory `path` without changing anything: "
     "no lock,\nno cut of a damaged tail, no lease sweep written. Returns an iterator over\nits valid frames (each "
     "Enqueue with the first `body_prefix` bytes of its body)\nthat also holds the queue state they add up to and "
     "where and why the valid\nlog ends."},
    // Monitoring comes after the scan.
    {"oldest_ready_ts_ms", noargs_entry<oldest_ready_ts_ms>, METH_NOARGS,
     "oldest_ready_ts_ms($self)\n--\n\nThe enqueue time (ms since the epoch, the `enqueued_ts_ms` of a delivery) of "
     "the\nready message that has waited longest, after returning expired leases to the\nready set; `None` when "
     "none is ready."},
    // What a consumer waiting in an event loop needs: what to watch, and
    // until when it may sleep.
    {"watch_changes", noargs_entry<watch_changes>, METH_NOARGS,
     "watch_changes($self)\n--\n\nA watch whose fileno() becomes readable when the queue may have changed (an\n"
     "enqueue or requeue by any object or process): for a consumer that waits in an\n"
     "event loop instead of in dequeue_wait. Clear it, then dequeue; wait again if\n"
     "nothing was ready."},
    {"next_due_ms", noargs_entry<next_due_ms>, METH_NOARGS,
     "next_due_ms($self)\n--\n\nMilliseconds until the earliest lease runs out (0 once it has), which writes\n"
     "nothing a watch could see; None while no message is leased."},
    // Jobs that wait, fail or outlive their lease.
    {"enqueue_delayed", fast_method<enqueue_delayed>(), kFastKeywords,
     "enqueue_delayed($self, body, delay_ms)\n--\n\nAppend a message that becomes ready `delay_ms` from now (0: at "
     "once, as\n`enqueue`). Returns its sequence id."},
    {"enqueue_batch_delayed", fast_method<enqueue_batch_delayed>(), kFastKeywords,
     "enqueue_batch_delayed($self, bodies, delay_ms)\n--\n\nAppend many messages that become ready `delay_ms` from "
     "now, under a single\nlock + single fsync. Returns the assigned sequence ids in order."},
    {"retry", fast_method<retry>(), kFastKeywords,
     "retry($self, seq, delay_ms, deliveries=None)\n--\n\nHand a leased message back to the ready set `delay_ms` "
     "from now, its delivery\ncount kept (a delayed nack). Returns False if it is not leased, or if\n`deliveries` "
     "is given and is not its delivery count."},
    {"bury", fast_method<bury>(), kFastKeywords,
     "bury($self, seq, deliveries=None)\n--\n\nKeep a message aside as dead: never delivered nor expired, kept by "
     "compaction,\nuntil kicked or acknowledged. Returns False if there is no such message, it\nis buried already, "
     "or `deliveries` is given and is not its delivery count."},
    {"kick", fast_method<kick>(), kFastKeywords,
     "kick($self, seq)\n--\n\nReturn a buried message to the ready set, its delivery count kept. Returns\nwhether "
     "it was buried."},
    {"kick_all", noargs_entry<kick_all>, METH_NOARGS,
     "kick_all($self)\n--\n\nReturn every buried message to the ready set. Returns how many."},
    {"ack_delivery", fast_method<ack_delivery>(), kFastKeywords,
     "ack_delivery($self, seq, deliveries)\n--\n\nAcknowledge a message only if its delivery count is still "
     "`deliveries`, the\ncount of the caller's delivery. Returns whether it did."},
    {"extend_delivery", fast_method<extend_delivery>(), kFastKeywords,
     "extend_delivery($self, seq, deliveries, lease_ms=None)\n--\n\nRenew the lease of a message only if its "
     "delivery count is still\n`deliveries`, the count of the caller's delivery. Returns whether it did."},
    {"scheduled", noargs_entry<scheduled>, METH_NOARGS,
     "scheduled($self)\n--\n\nNumber of messages enqueued with a delay that wait for their time."},
    {"buried", noargs_entry<buried>, METH_NOARGS, "buried($self)\n--\n\nNumber of buried messages."},
    // The consumer's steady step comes after the jobs methods.
    {"ack_and_dequeue", fast_method<ack_and_dequeue>(), kFastKeywords,
     "ack_and_dequeue($self, seq, deliveries=None, lease_ms=None)\n--\n\nAcknowledge `seq` as `ack` does (with "
     "`deliveries`, only while the message's\ndelivery count is still that one) and lease the next ready message "
     "as\n`dequeue` does, under one lock and with one sync. Returns `(acked, delivery)`:\nwhat `ack` would return, "
     "and the delivery tuple or `None`."},
    {"_nowait", fast_method<call_without_waiting>(), kFastKeywords,
     "_nowait($self, method, /, *args, **kwargs)\n--\n\nCall `method`, a method of this object, so that it never "
     "waits: it raises\nBlockingIOError, having done nothing, where it would wait for the object, the\n"
     "directory's lock or the disk. Batches, flush(), compact() and purge() always sync."},
    {"__reduce_ex__", noargs_entry<refuse_pickling>, METH_O,
     "__reduce_ex__($self, protocol, /)\n--\n\nRefuse pickling: open the queue by its path in the other process "
     "instead."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tollivane::binding
