#include "logfile/damaged_copy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

#include "logfile/crc32.h"
#include "logfile/endian.h"
#include "logfile/format.h"
#include "base/system_calls.h"

namespace tollivane::logfile {
namespace {

// The region is read, scanned and copied in pieces of this size, so that a
// damaged gigabyte costs time, not memory.
constexpr size_t kPieceLen = 64 * 1024;

// Payload bytes that may be checksummed for candidate frames. Random damage
// rarely spells the frame magic, and the first real frame behind the damage
// usually settles the question; a region crafted to be full of false
// candidates with large lengths would otherwise cost quadratic time.
constexpr uint64_t kCandidateCrcBudget = uint64_t{256} << 20;

// How many numbered names are tried when "queue.log.damaged-<offset>" is
// taken (an earlier cut at the same offset, or something planted there).
constexpr unsigned kMaxCopySuffix = 1000;

size_t piece_at(uint64_t at, uint64_t end) { return static_cast<size_t>(std::min<uint64_t>(kPieceLen, end - at)); }

// The first offset at or after `at` (and before `end`) that is not in a
// hole, or `end`. A hole reads as zeros, which hold no frame, and reading
// one byte by byte under the process lock took an open 20 s for a 13 GiB
// hole. Where the file system cannot tell (an error other than ENXIO,
// "nothing but a hole from here"), the bytes are read as before.
uint64_t next_data(base::File& log, uint64_t at, uint64_t end) {
  const off_t data = base::system_calls().lseek(log.fd(), static_cast<off_t>(at), SEEK_DATA);
  if (data >= 0) return std::min(std::max(static_cast<uint64_t>(data), at), end);
  return errno == ENXIO ? end : at;
}

// The log does not change while it is being repaired (the process lock is
// held), so a file that ends early is a failure, not a shorter region.
Status read_piece(base::File& log, uint64_t at, std::span<uint8_t> piece) {
  Result<bool> full = log.read_exact_at(at, piece);
  if (!full.ok()) return full.take_error();
  if (!*full) return IoError::custom(ErrorKind::kUnexpectedEof, "queue.log shrank while its damaged region was read");
  return Status();
}

// Whether a whole frame starts at `at`: its header fits before `end`, the
// length is sane and the payload's CRC-32 matches.
Result<bool> whole_frame_at(base::File& log, uint64_t at, uint64_t end, std::vector<uint8_t>& piece, uint64_t& budget) {
  if (end - at < kFrameHeaderLen) return false;
  uint8_t header[kFrameHeaderLen];
  if (Status read = read_piece(log, at, header); !read.ok()) return read.take_error();
  const uint32_t length = get_le<uint32_t>(header + kFrameLengthOffset);
  // An empty payload is no record any writer makes, and its CRC always matches.
  if (length == 0 || length > kMaxRecordLen || length > end - at - kFrameHeaderLen) return false;
  if (length > budget) return true;  // undecided: err on the side of keeping a copy
  budget -= length;
  uint32_t crc = 0;
  for (uint64_t done = 0; done < length;) {
    const uint64_t payload_at = at + kFrameHeaderLen + done;
    const std::span<uint8_t> chunk(piece.data(), piece_at(payload_at, payload_at + (length - done)));
    if (Status read = read_piece(log, payload_at, chunk); !read.ok()) return read.take_error();
    crc = crc32_extend(crc, chunk);
    done += chunk.size();
  }
  return crc == get_le<uint32_t>(header + kFrameCrcOffset);
}

// Opens the first free name of the copy. O_EXCL never opens what is there
// already, and a link planted under the name counts as taken.
Result<base::File> create_copy(const base::Directory& directory, const std::string& base_name, const base::FileOwnership& like,
                         std::string& name) {
  for (unsigned n = 0; n <= kMaxCopySuffix; ++n) {
    name = n == 0 ? base_name : base_name + "." + std::to_string(n);
    Result<base::File> copy = directory.create_file(name, like);
    if (copy.ok() || copy.error().io().os_errno() != EEXIST) return copy;
  }
  return IoError::from_errno(EEXIST);
}

// The copy keeps the region's holes as holes: written out, a large hole
// would need as much free space as it spans, and on a nearly full disk the
// copy, and with it the repair, would fail for zeros nobody needs.
Status copy_region(base::File& log, base::File& copy, uint64_t offset, uint64_t end) {
  std::vector<uint8_t> piece(kPieceLen);
  for (uint64_t at = offset; at < end;) {
    if (const uint64_t data = next_data(log, at, end); data != at) {
      at = data;
      if (Status sought = copy.seek(at - offset); !sought.ok()) return sought;
      continue;
    }
    const std::span<uint8_t> chunk(piece.data(), piece_at(at, end));
    if (Status read = read_piece(log, at, chunk); !read.ok()) return read;
    if (Status written = copy.write_all(chunk); !written.ok()) return written;
    at += chunk.size();
  }
  // A hole at the end is not written at all: the length gives it its place.
  if (Status sized = copy.truncate(end - offset); !sized.ok()) return sized;
  return copy.sync();
}

IoError copy_failed(const std::string& path, uint64_t offset, uint64_t end, const Error& error) {
  return IoError::custom(ErrorKind::kOther, "could not save bytes " + std::to_string(offset) + " to " +
                                                std::to_string(end) + " of a damaged queue.log to " + path + " (" +
                                                error.message() + "); the log was not cut");
}

}  // namespace

Result<bool> intact_frame_within(base::File& log, uint64_t from, uint64_t end) {
  std::vector<uint8_t> piece(kPieceLen);
  std::vector<uint8_t> payload_piece(kPieceLen);
  uint64_t budget = kCandidateCrcBudget;
  uint64_t base = from;
  while (end > base && end - base >= kFrameHeaderLen) {
    base = next_data(log, base, end);
    if (end - base < kFrameHeaderLen) break;
    const size_t got = piece_at(base, end);
    if (Status read = read_piece(log, base, std::span<uint8_t>(piece.data(), got)); !read.ok()) {
      return read.take_error();
    }
    // Every position whose four magic bytes lie inside this piece; the next
    // piece starts three bytes early, so a magic across the seam is found.
    const uint8_t* const first = piece.data();
    const uint8_t* const stop = first + got - (sizeof kFrameMagic - 1);
    for (const uint8_t* p = first; p < stop; ++p) {
      p = static_cast<const uint8_t*>(std::memchr(p, kFrameMagic[0], static_cast<size_t>(stop - p)));
      if (p == nullptr) break;
      if (std::memcmp(p, kFrameMagic, sizeof kFrameMagic) != 0) continue;
      Result<bool> whole = whole_frame_at(log, base + static_cast<uint64_t>(p - first), end, payload_piece, budget);
      if (!whole.ok() || *whole) return whole;
    }
    if (base + got == end) break;
    base += got - (sizeof kFrameMagic - 1);
  }
  return false;
}

Result<std::string> save_damaged_region(base::File& log, const base::Directory& directory, uint64_t offset) {
  Result<uint64_t> end = log.size();
  if (!end.ok()) return end.take_error();
  if (*end <= offset) return std::string();
  // A torn append leaves no whole frame behind the cut: nothing worth keeping.
  Result<bool> intact = intact_frame_within(log, offset, *end);
  if (!intact.ok()) return intact.take_error();
  if (!*intact) return std::string();

  // Readable by no one who could not read the log itself.
  Result<base::FileOwnership> ownership = log.ownership();
  if (!ownership.ok()) return ownership.take_error();
  std::string name;
  Result<base::File> copy =
      create_copy(directory, kDamagedCopyPrefix + std::to_string(offset), *ownership, name);
  if (!copy.ok()) return copy_failed(directory.describe(name), offset, *end, copy.error());
  Status saved = copy_region(log, *copy, offset, *end);
  copy->close();
  // The cut that follows is durable at once; so must the copy's name be.
  if (saved.ok()) saved = directory.sync();
  if (!saved.ok()) {
    // A partial copy under the name would pass for the real thing.
    (void)directory.remove(name);
    return copy_failed(directory.describe(name), offset, *end, saved.error());
  }
  return name;
}

}  // namespace tollivane::logfile
