#include "binding/log_scan_type.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "binding/arguments.h"
#include "binding/convert.h"
#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/results.h"
#include "logfile/format.h"
#include "queue/log_scan.h"

namespace tollivane::binding {
namespace {

struct ScanObject {
  PyObject_HEAD
  LogScan* scan;         // owned
  uint64_t body_prefix;  // how many bytes of each Enqueue body a frame carries
};

LogScan& scan_of(PyObject* self) { return *reinterpret_cast<ScanObject*>(self)->scan; }

// The type, made once per process with the module.
PyTypeObject* g_scan_type = nullptr;

PyObject* raise(const Error& error) { return PendingError::from(error).raise(); }

PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

const char* kind_name(const logfile::RecordView& record) {
  switch (logfile::tag_of(record)) {
    case logfile::RecordTag::kEnqueue: return "Enqueue";
    case logfile::RecordTag::kAck: return "Ack";
    case logfile::RecordTag::kLease: return "Lease";
    case logfile::RecordTag::kRequeue: return "Requeue";
    case logfile::RecordTag::kDeadLetter: return "DeadLetter";
  }
  return "?";
}

// The fields of a record beyond its kind and seq, in the order the
// command line prints them.
bool set_record_fields(PyObject* dict, const logfile::RecordView& record, uint64_t body_offset,
                       uint64_t body_prefix) {
  return std::visit(
      [&](const auto& rec) {
        using Kind = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<Kind, logfile::EnqueueView>) {
          const size_t kept = static_cast<size_t>(std::min<uint64_t>(body_prefix, rec.body.size()));
          return set_item(dict, "enqueued_ts_ms", new_u64(rec.enqueued_ts_ms)) &&
                 set_item(dict, "body_offset", new_u64(body_offset)) &&
                 set_item(dict, "body_len", new_u64(rec.body_len)) &&
                 set_item(dict, "body", PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rec.body.data()),
                                                                 static_cast<Py_ssize_t>(kept)));
        } else if constexpr (std::is_same_v<Kind, logfile::Lease>) {
          return set_item(dict, "deadline_ms", new_u64(rec.deadline_ms)) &&
                 set_item(dict, "deliveries", PyLong_FromUnsignedLong(rec.deliveries));
        } else if constexpr (std::is_same_v<Kind, logfile::Requeue>) {
          return set_item(dict, "deliveries", PyLong_FromUnsignedLong(rec.deliveries));
        } else {
          return true;
        }
      },
      record);
}

PyObject* frame_dict(const logfile::ScannedFrame& frame, uint64_t body_prefix) {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const logfile::RecordView& record = frame.record;
  const uint64_t seq = std::visit([](const auto& rec) { return rec.seq; }, record);
  const bool complete = set_item(dict.get(), "offset", new_u64(frame.offset)) &&
                        set_item(dict.get(), "length", new_u64(frame.length)) &&
                        set_item(dict.get(), "kind", PyUnicode_FromString(kind_name(record))) &&
                        set_item(dict.get(), "seq", new_u64(seq)) &&
                        set_record_fields(dict.get(), record, frame.offset + logfile::kEnqueueFrameOverhead,
                                          body_prefix);
  return complete ? dict.release() : nullptr;
}

PyObject* scan_next(PyObject* self) {
  Result<const logfile::ScannedFrame*> frame = scan_of(self).next();
  if (!frame.ok()) return raise(frame.error());
  if (*frame == nullptr) return nullptr;  // StopIteration
  return frame_dict(**frame, reinterpret_cast<ScanObject*>(self)->body_prefix);
}

PyObject* end_dict(const logfile::LogEnd& end) {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* reason = end.clean() ? new_none() : PyUnicode_FromStringAndSize(
                                                            end.reason.data(), static_cast<Py_ssize_t>(end.reason.size()));
  const bool complete = set_item(dict.get(), "clean", new_bool(end.clean())) &&
                        set_item(dict.get(), "offset", new_u64(end.offset)) && set_item(dict.get(), "reason", reason) &&
                        set_item(dict.get(), "undecodable",
                                 new_bool(end.kind == logfile::LogEnd::Kind::kUndecodableRecord));
  return complete ? dict.release() : nullptr;
}

PyObject* get_end(PyObject* self, void*) {
  const std::optional<logfile::LogEnd>& end = scan_of(self).end();
  if (!end) Py_RETURN_NONE;
  return end_dict(*end);
}

PyObject* get_length(PyObject* self, void*) { return new_u64(scan_of(self).file_len()); }
PyObject* get_frames(PyObject* self, void*) { return new_u64(scan_of(self).frames()); }
PyObject* get_position(PyObject* self, void*) { return new_u64(scan_of(self).position()); }
PyObject* get_version(PyObject* self, void*) {
  if (!scan_of(self).header_ok()) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(scan_of(self).version());
}
PyObject* get_scheduled(PyObject* self, void*) { return new_u64(scan_of(self).state().scheduled_count()); }
PyObject* get_buried(PyObject* self, void*) { return new_u64(scan_of(self).state().buried_count()); }
PyObject* get_generation(PyObject* self, void*) {
  if (!scan_of(self).header_ok()) Py_RETURN_NONE;
  return new_u64(scan_of(self).generation());
}

PyObject* scan_sweep(PyObject* self, PyObject* now_argument) {
  uint64_t now = 0;
  if (!name_argument_error("now_ms", convert_u64(now_argument, &now))) return nullptr;
  OwnedRef expired = OwnedRef::steal(PyDict_New());
  if (!expired) return nullptr;
  for (const LeasePair& lease : scan_of(self).sweep(now)) {
    OwnedRef seq = OwnedRef::steal(new_u64(lease.seq));
    OwnedRef deadline = OwnedRef::steal(new_u64(lease.deadline_ms));
    if (!seq || !deadline || PyDict_SetItem(expired.get(), seq.get(), deadline.get()) != 0) return nullptr;
  }
  return expired.release();
}

PyObject* scan_stats(PyObject* self, PyObject*) { return stats_dict(scan_of(self).stats()).release(); }

PyObject* scan_oldest_ready_ts_ms(PyObject* self, PyObject*) {
  const std::optional<uint64_t> ts_ms = scan_of(self).oldest_ready_ts_ms();
  return ts_ms ? new_u64(*ts_ms) : new_none();
}

PyObject* scan_integrity_report(PyObject* self, PyObject*) {
  Result<IntegrityReport> report = scan_of(self).integrity_report();
  if (!report.ok()) return raise(report.error());
  return report_dict(*report);
}

PyObject* message_dict(const LogScan::Message& message) {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const MessageEntry& entry = message.entry;
  PyObject* deadline = message.lease_deadline_ms ? new_u64(*message.lease_deadline_ms) : new_none();
  const bool complete = set_item(d, "seq", new_u64(message.seq)) &&
                        set_item(d, "deliveries", PyLong_FromUnsignedLong(entry.deliveries)) &&
                        set_item(d, "enqueued_ts_ms", new_u64(entry.enqueued_ts_ms)) &&
                        set_item(d, "body_offset", new_u64(entry.body_offset)) &&
                        set_item(d, "body_len", PyLong_FromUnsignedLong(entry.body_len)) &&
                        set_item(d, "lease_deadline_ms", deadline);
  return complete ? dict.release() : nullptr;
}

PyObject* scan_messages(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"in_flight", "scheduled", "buried"};
  static constexpr Hold kHolds[] = {Hold::kInFlight, Hold::kScheduled, Hold::kBuried};
  PyObject* slots[3];
  if (!bind_fastcall(Signature{"LogScan.messages", kNames, 3, 0}, args, nargs, kwnames, slots)) return nullptr;
  std::optional<Hold> held;
  for (size_t i = 0; i < std::size(kHolds); ++i) {
    bool wanted = false;
    if (slots[i] != nullptr && !name_argument_error(kNames[i], convert_bool(slots[i], &wanted))) return nullptr;
    if (wanted && held) {
      PyErr_SetString(PyExc_ValueError, "LogScan.messages() lists one kind of message at a time");
      return nullptr;
    }
    if (wanted) held = kHolds[i];
  }
  const std::vector<LogScan::Message> messages = scan_of(self).messages(held);
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(messages.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < messages.size(); ++i) {
    PyObject* item = message_dict(messages[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* scan_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"offset", "length"};
  PyObject* slots[2];
  if (!bind_fastcall(Signature{"LogScan.read", kNames, 2, 2}, args, nargs, kwnames, slots)) return nullptr;
  uint64_t offset = 0;
  uint64_t length = 0;
  if (!name_argument_error("offset", convert_u64(slots[0], &offset))) return nullptr;
  if (!name_argument_error("length", convert_size(slots[1], &length))) return nullptr;
  if (length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return nullptr;
  }
  OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  if (!bytes) return nullptr;
  auto* data = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get()));
  Result<bool> whole = scan_of(self).read_at(offset, std::span<uint8_t>(data, static_cast<size_t>(length)));
  if (!whole.ok()) return raise(whole.error());
  if (!*whole) {
    return raise(IoError::custom(ErrorKind::kUnexpectedEof, "queue.log ends before byte " +
                                                                std::to_string(offset + length) + " of a read"));
  }
  return bytes.release();
}

void scan_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ScanObject*>(self)->scan;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kScanMethods[] = {
    {"sweep", noargs_entry<scan_sweep>, METH_O,
     "sweep($self, now_ms)\n--\n\nReturn every lease expired at `now_ms` to the ready set of this copy, as the\n"
     "queue's next sweep would; the log is not written. Returns {seq: deadline}."},
    {"stats", noargs_entry<scan_stats>, METH_NOARGS,
     "stats($self)\n--\n\nThe counters of the frames read so far, as TollivaneCore.stats() reports them."},
    {"oldest_ready_ts_ms", noargs_entry<scan_oldest_ready_ts_ms>, METH_NOARGS,
     "oldest_ready_ts_ms($self)\n--\n\nThe enqueue time of the ready message of the frames read so far that has "
     "waited\nlongest, as TollivaneCore.oldest_ready_ts_ms() reports it; None when none is ready."},
    {"integrity_report", noargs_entry<scan_integrity_report>, METH_NOARGS,
     "integrity_report($self)\n--\n\nRead the rest of the log and return what TollivaneCore.verify_integrity() "
     "reports\nfor it: `{ok, records, bytes, message}`."},
    {"messages", fast_method<scan_messages>(), kFastKeywords,
     "messages($self, in_flight=False, scheduled=False, buried=False)\n--\n\nThe ready messages in delivery "
     "order; or those in flight, or scheduled,\nearliest deadline first; or the buried ones, in seq order."},
    {"read", fast_method<scan_read>(), kFastKeywords,
     "read($self, offset, length)\n--\n\nThe `length` bytes at `offset` of the log this scan reads."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kScanGetSet[] = {
    {"length", get_length, nullptr, "The log's length when the scan was opened.", nullptr},
    {"version", get_version, nullptr, "The header's format version; None when the header is damaged.", nullptr},
    {"generation", get_generation, nullptr, "The header's generation; None when the header is damaged.", nullptr},
    {"frames", get_frames, nullptr, "Valid frames read so far.", nullptr},
    {"scheduled", get_scheduled, nullptr, "Messages of the frames read so far that wait for their time.", nullptr},
    {"buried", get_buried, nullptr, "Buried messages of the frames read so far.", nullptr},
    {"position", get_position, nullptr, "The offset just past the last valid frame read so far.", nullptr},
    {"end", get_end, nullptr,
     "Where and why the valid log ends, once the iteration has stopped (at once for a damaged header); else None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kScanSlots[] = {
    {Py_tp_doc, const_cast<char*>("A read-only scan of a queue directory's log; see TollivaneCore.scan_log.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_entry<scan_next>)},
    {Py_tp_methods, kScanMethods},
    {Py_tp_getset, kScanGetSet},
    {0, nullptr},
};

// Py_TPFLAGS_DISALLOW_INSTANTIATION is 3.10+: without a tp_new the type
// cannot be called either.
PyType_Spec kScanSpec = {"tollivane.LogScan", sizeof(ScanObject), 0, Py_TPFLAGS_DEFAULT, kScanSlots};

}  // namespace

bool create_log_scan_type() {
  g_scan_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kScanSpec));
  return g_scan_type != nullptr;
}

PyObject* scan_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"path", "body_prefix"};
  PyObject* slots[2];
  if (!bind_fastcall(Signature{"TollivaneCore.scan_log", kNames, 2, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string path;
  uint64_t body_prefix = 0;
  if (!name_argument_error("path", convert_path(slots[0], &path))) return nullptr;
  if (slots[1] != nullptr && !name_argument_error("body_prefix", convert_u64(slots[1], &body_prefix))) return nullptr;
  Result<std::unique_ptr<LogScan>> scan = LogScan::open(path, body_prefix);
  if (!scan.ok()) return raise(scan.error());
  auto* self = reinterpret_cast<ScanObject*>(g_scan_type->tp_alloc(g_scan_type, 0));
  if (self == nullptr) return nullptr;
  self->scan = scan->release();
  self->body_prefix = std::min<uint64_t>(body_prefix, logfile::kMaxBodyLen);
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace tollivane::binding
