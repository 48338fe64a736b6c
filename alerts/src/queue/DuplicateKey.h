// The duplicate key of an alert's content: what Alert::isDuplicate compares,
// hashed once when the alert is built so that a queue finds its candidate
// duplicates without reading the texts again.
#pragma once

#include "alerts/data/AlertContent.h"

#include <cstdint>

namespace Drem {

// Alert::isDuplicate holds only between contents of at most 4 actions whose
// action texts, title, default and details content are equal: the key is
// those fields, and a content with more actions has none.
bool hasDuplicateKey(const AlertContent& content);

// Equal keys give equal hashes; a content without a key gives 0.
std::uint64_t hashOfDuplicateKey(const AlertContent& content);

}  // namespace Drem
