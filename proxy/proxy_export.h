#pragma once

// The proxy core is a shared library with hidden visibility; only what carries
// this mark is reachable from the engine and from tests.
#if defined(VELTROX_PROXY_BUILD)
#define VELTROX_PROXY_API __attribute__((visibility("default")))
#else
#define VELTROX_PROXY_API
#endif
