#include "binding/results.h"

namespace tollivane::binding {

bool set_item(PyObject* dict, const char* key, PyObject* new_value) {
  OwnedRef value = OwnedRef::steal(new_value);
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

OwnedRef stats_dict(const QueueStats& stats) {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return dict;
  const QueueCounters& counters = stats.counters;
  PyObject* d = dict.get();
  const bool complete = set_item(d, "ready", new_u64(stats.ready)) &&
                        set_item(d, "in_flight", new_u64(stats.in_flight)) &&
                        set_item(d, "total", new_u64(stats.total)) &&
                        set_item(d, "enqueued_total", new_u64(counters.enqueued_total)) &&
                        set_item(d, "acked_total", new_u64(counters.acked_total)) &&
                        set_item(d, "requeued_total", new_u64(counters.requeued_total)) &&
                        set_item(d, "dead_total", new_u64(counters.dead_total)) &&
                        set_item(d, "next_seq", new_u64(counters.next_seq)) &&
                        set_item(d, "live_bytes", new_u64(counters.live_bytes)) &&
                        set_item(d, "log_bytes", new_u64(stats.log_bytes)) &&
                        set_item(d, "generation", new_u64(stats.generation)) &&
                        set_item(d, "persistent", new_bool(stats.persistent));
  return complete ? std::move(dict) : OwnedRef();
}

PyObject* report_dict(const IntegrityReport& report) {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool complete = set_item(d, "ok", new_bool(report.ok)) && set_item(d, "records", new_u64(report.records)) &&
                        set_item(d, "bytes", new_u64(report.bytes)) &&
                        set_item(d, "message", PyUnicode_FromStringAndSize(
                                                   report.message.data(),
                                                   static_cast<Py_ssize_t>(report.message.size())));
  return complete ? dict.release() : nullptr;
}

}  // namespace tollivane::binding
