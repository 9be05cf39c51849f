// Shared by the rig tests: a rig document that frees itself.
#pragma once
#include <memory>

#include "rig/rig_doc.h"

namespace rig_test {

struct DocDeleter {
  void operator()(RigDoc* d) const { rig_doc_free(d); }
};
using DocPtr = std::unique_ptr<RigDoc, DocDeleter>;

}  // namespace rig_test
