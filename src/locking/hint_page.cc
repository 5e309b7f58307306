#include "locking/hint_page.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <atomic>

#include "base/system_calls.h"

namespace tollivane {
using base::system_calls;
namespace {

// The file is given its length by writing its last byte, which stays zero
// in every layout: extending a file by a write never shrinks it, whereas an
// ftruncate() by a build that reckons with a shorter page would cut the
// page under the feet of the processes that map a longer one (their next
// touch of the lost part would raise SIGBUS).
bool reaches_a_page(base::File& file) {
  Result<uint64_t> size = file.size();
  if (!size.ok()) return false;
  if (*size >= kHintPageLen) return true;
  static constexpr uint8_t kZero[1] = {0};
  return file.seek(kHintPageLen - 1).ok() && file.write_all(kZero).ok();
}

}  // namespace

std::shared_ptr<HintPage> HintPage::open(const base::Directory& directory, const char* name) {
  // Opened like every file of the queue: a symbolic link or anything but a
  // regular file planted under the name is refused, and then the hints are
  // done without.
  Result<base::File> file = directory.open_file(name, O_RDWR | O_CREAT, 0666);
  if (!file.ok() || !reaches_a_page(*file)) return nullptr;
  void* mapped = system_calls().mmap(nullptr, kHintPageLen, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd(), 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto* layout = static_cast<HintPageLayout*>(mapped);
  std::shared_ptr<HintPage> page(new HintPage(layout));
  // The first user of a new file names its layout, in one step so that a
  // build of another layout never sees half of it.
  std::atomic_ref<uint64_t> identity(layout->identity);
  uint64_t found = 0;
  if (!identity.compare_exchange_strong(found, kHintPageIdentity) && found != kHintPageIdentity) return nullptr;
  return page;
}

HintPage::~HintPage() { (void)system_calls().munmap(layout_, kHintPageLen); }

}  // namespace tollivane
