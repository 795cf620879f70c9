#pragma once

#include <cstddef>

namespace velto {

// Asks the kernel to back the whole 2 MiB pages inside [data, data + bytes) with huge pages when
// they are first touched (madvise MADV_HUGEPAGE), where the system offers it. A step reaches a few
// elements in each of a learner's arrays at scattered places, so with ordinary pages almost every
// access of a large array also misses the address translation cache. Best effort: any refusal is
// ignored, and smaller ranges are left alone.
void advise_huge_pages(void* data, std::size_t bytes);

}  // namespace velto
