// Kelmora::internal::OSInfoProxy lives with the file-version code it reads
// the kernel library's version through; this header is its wrappers-side name.
#pragma once

#include "platform/files/OSInfo.h"
