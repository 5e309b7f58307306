#include "logfile/tail_cut.h"

#include <cassert>
#include <cstdio>
#include <string>

#include "logfile/damaged_copy.h"

namespace tollivane::logfile {
namespace {

void announce(const LogEnd& end, CutMoment moment) {
  const auto offset = static_cast<unsigned long long>(end.offset);
  if (moment == CutMoment::kCatchingUp) {
    std::fprintf(stderr, "Tollivane: truncated corrupt log tail at byte %llu\n", offset);
  } else {
    const char* what = end.kind == LogEnd::Kind::kUndecodableRecord ? "undecodable" : "corrupt";
    std::fprintf(stderr, "Tollivane: truncating %s log tail at byte %llu (%s)\n", what, offset, end.reason.c_str());
  }
  std::fflush(stderr);
}

}  // namespace

Status cut_damaged_tail(base::File& log, const base::Directory& directory, const LogEnd& end, CutMoment moment) {
  assert(!end.clean());
  Result<std::string> saved = save_damaged_region(log, directory, end.offset);
  if (!saved.ok()) return saved.take_error();
  if (moment == CutMoment::kAtOpen) announce(end, moment);
  if (Status cut = log.truncate(end.offset); !cut.ok()) return cut;
  if (Status synced = log.sync(); !synced.ok()) return synced;
  if (Status synced = directory.sync(); !synced.ok()) return synced;
  if (moment == CutMoment::kCatchingUp) announce(end, moment);
  return Status();
}

}  // namespace tollivane::logfile
