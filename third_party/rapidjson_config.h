// Included before every RapidJSON header: a failed RapidJSON assertion throws
// instead of aborting the process.
#pragma once
#include <stdexcept>
#ifndef RAPIDJSON_ASSERT
#define RAPIDJSON_ASSERT(x) \
    ((x) ? static_cast<void>(0) : throw std::logic_error("rapidjson assertion: " #x))
#endif
#ifndef RAPIDJSON_HAS_STDSTRING
#define RAPIDJSON_HAS_STDSTRING 1
#endif
