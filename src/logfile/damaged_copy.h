// Saving a damaged region of the log before it is cut off.
//
// Recovery and catch-up repair a bad frame by cutting the log at its start,
// which also removes every frame behind it. For a torn append (a crash in
// the middle of a write) there is nothing behind it, and the cut loses only
// what never became a record. Damage in the middle of the log (a bad disk
// sector, a stray write) is different: intact records follow it, and the cut
// would throw them away for good. In that case the bytes from the cut to the
// end of the file are first copied to "queue.log.damaged-<offset>" beside
// the log, fsynced with its directory, so that an operator can still recover
// the messages they hold.
#pragma once

#include <cstdint>
#include <string>

#include "base/directory.h"
#include "base/file.h"
#include "base/error.h"

namespace tollivane::logfile {

// Whether a whole frame (frame magic, a payload length from 1 to the limit
// that fits before `end`, and a matching CRC-32) starts anywhere in
// [`from`, `end`) of `log`. Reads in bounded pieces, so it needs little
// memory whatever the frames claim, and skips holes of a sparse file
// unread (which moves the file position of `log`). The CRC work spent on
// candidates that turn out false is bounded too; past that bound the answer
// is true, which only costs a copy that was not needed.
Result<bool> intact_frame_within(base::File& log, uint64_t from, uint64_t end);

// Before queue.log in `directory` (open as `log`) is cut at `offset`: when an
// intact frame lies in what the cut removes, copies that region to
// "queue.log.damaged-{offset}" (or, if that name is taken, the first free
// "queue.log.damaged-{offset}.{n}") beside it, created afresh, never through
// an existing name or link, with the log's owner and permission bits, and
// fsyncs it and the directory. Returns the copy's name, or "" when the
// region held no intact frame. On failure no partial copy is left and the
// caller must not cut: the copy may be the only one of those records.
Result<std::string> save_damaged_region(base::File& log, const base::Directory& directory, uint64_t offset);

}  // namespace tollivane::logfile
